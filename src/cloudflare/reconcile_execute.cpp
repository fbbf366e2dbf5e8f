#include "cloudflare/reconcile_execute.h"

#include <json-c/json.h>

#include <algorithm>
#include <span>
#include <string_view>
#include <vector>

#include "cloudflare/name_listing.h"
#include "cloudflare/record_match.h"
#include "common/json_build.h"
#include "common/json_tree.h"
#include "transport/trace.h"

namespace nuv {

namespace {

bool succeeded(const HttpResult& result) { return result.status >= 200 && result.status <= 299; }

// The id the service gave a created record, if its answer names one.
std::string created_id(const HttpResult& created, const std::string& fallback) {
  JsonTree root(json_tokener_parse(created.body.c_str()));
  json_object* result = nullptr;
  json_object* id = nullptr;
  if (json_object_object_get_ex(root.get(), "result", &result) &&
      json_object_object_get_ex(result, "id", &id) && json_object_is_type(id, json_type_string)) {
    return json_object_get_string(id);
  }
  return fallback;
}

constexpr char kTracePerhapsDeleted[] = "record perhaps deleted: %s %s, %s, %s, %d\n";
constexpr char kTraceNotDeleted[] = "record not deleted: %s %s, %s, %s, %d\n";

void announce(const char* format, const ListedRecord& r) {
  trace(format, r.id.c_str(), r.name.c_str(), r.type.c_str(), r.content.c_str(), r.proxied ? 1 : 0);
}

RecordFields fields_of(const ListedRecord& r) {
  RecordFields fields{r.type, r.name, r.content, r.proxied, r.ttl, r.comment};
  // A listed MX holds its host alone; the write wants "host|priority".
  if (r.type == "MX") {
    fields.content += '|';
    fields.content += std::to_string(r.priority);
  }
  return fields;
}

// The service's "an identical record already exists" (81057, 81058): a
// restore answered so finds the record there.
bool identical_record_exists(const HttpResult& answer) {
  if (!answer.answered || answer.status != 400) return false;
  JsonTree root(json_tokener_parse(answer.body.c_str()));
  json_object* errors = nullptr;
  if (!json_object_object_get_ex(root.get(), "errors", &errors) ||
      !json_object_is_type(errors, json_type_array)) {
    return false;
  }
  for (size_t i = 0; i < json_object_array_length(errors); ++i) {
    json_object* code = nullptr;
    if (json_object_object_get_ex(json_object_array_get_idx(errors, i), "code", &code)) {
      const int value = json_object_get_int(code);
      if (value == 81057 || value == 81058) return true;
    }
  }
  return false;
}

// Rounds of restoring at least: a restore is what keeps a record from being
// lost, so it gets them whatever `retries` says.
constexpr int kMinRestoreRounds = 3;

// Records deleted (or perhaps deleted) to make room for the wanted one:
// re-created as they were listed when finish() runs, or when the guard goes
// before dismiss() whatever the path out (an early return, a C++
// exception), so a failed swap never loses a record unnoticed.
class RestoreOnFailure {
 public:
  RestoreOnFailure(const ApiContext& context, std::string_view zone_id, const RecordFields& wanted,
                   size_t capacity)
      : context_(context), zone_id_(zone_id), wanted_(wanted) {
    deleted_.reserve(capacity);  // add() must not allocate once a delete is done
  }
  RestoreOnFailure(const RestoreOnFailure&) = delete;
  RestoreOnFailure& operator=(const RestoreOnFailure&) = delete;
  ~RestoreOnFailure() {
    CarriedOut ignored;
    finish(ignored);
  }

  void add(const ListedRecord& deleted) noexcept { deleted_.push_back(&deleted); }
  // A write whose outcome is unknown: the name is listed again before
  // anything is restored.
  void uncertain() noexcept { uncertain_ = true; }
  void dismiss() noexcept { deleted_.clear(); }

  // Puts back what is gone; what cannot be goes into `out.unrestored`.
  void finish(CarriedOut& out) noexcept {
    if (deleted_.empty()) return;
    // An interrupt that ended the writes goes up once the records are back;
    // the restore's transfers are not interrupted, its waits are.
    PyObject* pending = PyErr_GetRaisedException();
    std::vector<const ListedRecord*> left = std::move(deleted_);
    deleted_.clear();
    try {
      left = restore(left, out);
    } catch (...) {
      // Out of memory while restoring: what is left is reported below;
      // nothing may escape a destructor that runs while another exception
      // unwinds.
    }
    for (const ListedRecord* r : left) {
      announce("record not restored: %s %s, %s, %s, %d\n", *r);
      try {
        out.unrestored.push_back(*r);
      } catch (...) {
      }
    }
    if (pending != nullptr) {
      // A second signal during a wait raised anew: the first goes up.
      PyErr_Clear();
      PyErr_SetRaisedException(pending);  // steals 'pending'
    }
  }

 private:
  // The records of `gone` it could not put back.
  std::vector<const ListedRecord*> restore(std::vector<const ListedRecord*> gone, CarriedOut& out) {
    ApiContext restoring = context_;
    restoring.interruptible = false;
    restoring.admitted = true;
    const int rounds = std::max(kMinRestoreRounds, context_.settings.retries + 1);
    std::vector<const ListedRecord*> refused;
    for (int round = 0; !gone.empty(); ++round) {
      if (uncertain_) {
        trace("write outcome unknown: listing %s again before restoring\n", wanted_.name.c_str());
        const NameRecords now = list_name_records(restoring, zone_id_, dns_name_key(wanted_.name));
        if (now.status == ListingStatus::kComplete) {
          gone = records_to_restore(gone, wanted_, now.records);
        } else if (now.last_answer.interrupted) {
          break;
        }
        // A listing that could not be read restores everything: a record
        // still there is refused as identical, and counted as there.
      }
      uncertain_ = false;
      std::vector<const ListedRecord*> again;
      for (size_t i = 0; i < gone.size(); ++i) {
        const ListedRecord& old = *gone[i];
        const HttpResult answer = create_record(restoring, zone_id_, fields_of(old));
        if (succeeded(answer)) {
          ListedRecord back = old;
          back.id = created_id(answer, old.id);
          announce("record restored: %s %s, %s, %s, %d\n", back);
        } else if (identical_record_exists(answer)) {
          announce("record still there: %s %s, %s, %s, %d\n", old);
        } else if (answer.interrupted) {
          // A signal during a wait: the caller is told what is left.
          out.restore_failure = answer;
          again.insert(again.end(), gone.begin() + static_cast<std::ptrdiff_t>(i), gone.end());
          refused.insert(refused.end(), again.begin(), again.end());
          return refused;
        } else {
          out.restore_failure = answer;
          // A restore perhaps made, or refused unprocessed: another round.
          if (write_outcome_unknown(answer)) {
            uncertain_ = true;
            again.push_back(&old);
          } else if (classify_failure(answer) == Failure::kTooManyRequests) {
            again.push_back(&old);
          } else {
            refused.push_back(&old);
          }
        }
      }
      gone = std::move(again);
      if (round + 1 >= rounds) break;
    }
    refused.insert(refused.end(), gone.begin(), gone.end());
    return refused;
  }

  const ApiContext& context_;
  std::string_view zone_id_;
  const RecordFields& wanted_;
  std::vector<const ListedRecord*> deleted_;
  bool uncertain_ = false;
};

HttpResult send_write(const PlannedWrite& write, const ApiContext& context,
                      const std::string& zone_id, const RecordFields& wanted) {
  switch (write.kind) {
    case WriteKind::kCreate:
      return create_record(context, zone_id, wanted);
    case WriteKind::kUpdate:
      return patch_record(context, zone_id, write.listed->id, wanted, write.fields);
    case WriteKind::kDelete:
      break;
  }
  return delete_record(context, zone_id, write.listed->id);
}

const char* section_of(WriteKind kind) {
  switch (kind) {
    case WriteKind::kCreate:
      return "posts";
    case WriteKind::kUpdate:
      return "patches";
    case WriteKind::kDelete:
      break;
  }
  return "deletes";
}

// "TYPE name content" of the wanted record, for the batch's trace line.
std::string describe(const RecordFields& record) {
  std::string text = record.type;
  text.append(" ").append(record.name).append(" ").append(record.content);
  return text;
}

// One batch request: its body, its trace line, and where each write sits
// in the service's answer.
struct Batch {
  std::string body;
  std::string summary;                   // "delete ...; update ...; create ..."
  std::vector<size_t> index_in_section;  // by position in the part
};

Batch build_batch(std::span<const PlannedWrite* const> part, const RecordFields& wanted) {
  JsonTree deletes = json_new_array();
  JsonTree patches = json_new_array();
  JsonTree posts = json_new_array();
  std::string deleted, updated, created;
  auto list = [](std::string& into, const std::string& item) {
    if (!into.empty()) into += ", ";
    into += item;
  };
  Batch batch;
  for (const PlannedWrite* write : part) {
    switch (write->kind) {
      case WriteKind::kDelete: {
        batch.index_in_section.push_back(json_object_array_length(deletes.get()));
        JsonTree item = json_new_object();
        json_add_member(item, "id", json_new_string(write->listed->id));
        json_add_item(deletes, std::move(item));
        list(deleted, write->listed->id);
        break;
      }
      case WriteKind::kUpdate:
        batch.index_in_section.push_back(json_object_array_length(patches.get()));
        json_add_item(patches, record_members(wanted, write->fields, &write->listed->id));
        list(updated, write->listed->id);
        break;
      case WriteKind::kCreate:
        batch.index_in_section.push_back(json_object_array_length(posts.get()));
        json_add_item(posts, record_members(wanted, kAllRecordFields));
        list(created, describe(wanted));
        break;
    }
  }
  JsonTree body = json_new_object();
  json_add_member(body, "deletes", std::move(deletes));
  json_add_member(body, "patches", std::move(patches));
  json_add_member(body, "posts", std::move(posts));
  batch.body = json_text(body, JSON_C_TO_STRING_PLAIN);
  auto or_none = [](const std::string& items) { return items.empty() ? std::string("-") : items; };
  batch.summary.append("delete ").append(or_none(deleted));
  batch.summary.append("; update ").append(or_none(updated));
  batch.summary.append("; create ").append(or_none(created));
  return batch;
}

// The batch's answer as the answer of one of its writes: its status, and
// its envelope with "result" holding that write's record. The batch's own
// answer when it does not hold that record.
HttpResult answer_of_item(const HttpResult& batch, WriteKind kind, size_t index) {
  JsonTree root(json_tokener_parse(batch.body.c_str()));
  json_object* result = nullptr;
  json_object* section = nullptr;
  if (!json_object_is_type(root.get(), json_type_object) ||
      !json_object_object_get_ex(root.get(), "result", &result) ||
      !json_object_object_get_ex(result, section_of(kind), &section) ||
      !json_object_is_type(section, json_type_array) ||
      index >= json_object_array_length(section)) {
    return batch;
  }
  json_object* record = json_object_array_get_idx(section, index);
  JsonTree item;
  if (kind == WriteKind::kDelete) {
    // A single DELETE answers with the id alone.
    json_object* id = nullptr;
    item = json_new_object();
    if (json_object_object_get_ex(record, "id", &id)) {
      json_add_member(item, "id", JsonTree(json_object_get(id)));
    }
  } else {
    item = JsonTree(json_object_get(record));
  }
  json_object_object_del(root.get(), "result");
  json_add_member(root, "result", std::move(item));
  return HttpResult{batch.status, json_text(root, JSON_C_TO_STRING_PLAIN)};
}

}  // namespace

bool write_outcome_unknown(const HttpResult& failure) {
  if (failure.interrupted) return true;
  const Failure failed = classify_failure(failure);
  return failed == Failure::kServerError || failed == Failure::kAnswerLost;
}

bool batch_unavailable(const HttpResult& answer) {
  if (answer.status < 400 || answer.status > 499) return false;
  JsonTree root(json_tokener_parse(answer.body.c_str()));
  json_object* errors = nullptr;
  json_object* code = nullptr;
  if (json_object_object_get_ex(root.get(), "errors", &errors) &&
      json_object_is_type(errors, json_type_array) && json_object_array_length(errors) > 0 &&
      json_object_object_get_ex(json_object_array_get_idx(errors, 0), "code", &code) &&
      json_object_is_type(code, json_type_int)) {
    const int value = json_object_get_int(code);
    return value == 7000 || value == 7001 || value == 7003 || value == 10000;
  }
  return answer.status == 404 || answer.status == 405;
}

CarriedOut carry_out(const ReconcilePlan& plan, const ApiContext& context,
                     const std::string& zone_id, const RecordFields& wanted) {
  for (const Announcement& line : plan.announcements) announce(line.format, *line.listed);
  CarriedOut out;
  const std::vector<const PlannedWrite*> order = one_at_a_time(plan);
  const PlannedWrite* result_write =
      plan.outcome == Outcome::kWriteResult ? &plan.writes[plan.result_index] : nullptr;
  RestoreOnFailure restore(context, zone_id, wanted, order.size());

  bool batches = order.size() > 1;
  const size_t parts = (order.size() + kMaxBatchWrites - 1) / kMaxBatchWrites;
  if (batches && parts > 1) {
    trace("batch split: %zu writes in %zu batches of at most %zu, each all or nothing\n",
          order.size(), parts, kMaxBatchWrites);
  }
  size_t next = 0;
  size_t part_number = 0;
  while (next < order.size()) {
    const size_t count = batches ? std::min(kMaxBatchWrites, order.size() - next) : 1;
    const std::span<const PlannedWrite* const> part(order.data() + next, count);
    HttpResult answer;
    Batch batch;
    if (batches) {
      batch = build_batch(part, wanted);
      trace("batch %zu/%zu: %s\n", ++part_number, parts, batch.summary.c_str());
      const std::string path = records_path(zone_id) + "/batch";
      answer = cloudflare_request(context, "POST", &path, &batch.body);
      if (batch_unavailable(answer)) {
        // Nothing of a refused batch was applied: the same writes go out
        // one at a time instead.
        trace("batch unavailable (%d): sending the %zu writes one at a time\n", answer.status,
              order.size() - next);
        batches = false;
        continue;
      }
    } else {
      answer = send_write(*part.front(), context, zone_id, wanted);
    }
    if (!succeeded(answer)) {
      out.outcome_unknown = write_outcome_unknown(answer);
      if (batches && out.outcome_unknown) {
        trace("batch %zu/%zu outcome unknown (%d): all or none of its writes was made\n",
              part_number, parts, answer.status);
      } else if (batches) {
        trace("batch %zu/%zu not applied (%d): none of its writes was made\n", part_number, parts,
              answer.status);
      } else if (part.front()->kind == WriteKind::kDelete) {
        announce(out.outcome_unknown ? kTracePerhapsDeleted : kTraceNotDeleted,
                 *part.front()->listed);
      }
      if (out.outcome_unknown) {
        // Perhaps applied: a record perhaps deleted may need restoring, and
        // a wanted record perhaps written makes restoring needless.
        if (!batches && part.front()->step == WriteStep::kClearConflict) {
          restore.add(*part.front()->listed);
        }
        restore.uncertain();
      }
      out.failure = std::move(answer);
      restore.finish(out);  // puts back what this plan deleted
      return out;
    }
    bool wanted_written = false;
    for (size_t i = 0; i < part.size(); ++i) {
      const PlannedWrite* write = part[i];
      if (write->step == WriteStep::kClearConflict) {
        restore.add(*write->listed);
      } else {
        wanted_written = true;
      }
      if (write == result_write) {
        out.result = batches ? answer_of_item(answer, write->kind, batch.index_in_section[i])
                             : std::move(answer);
      }
    }
    if (wanted_written) restore.dismiss();  // the wanted record is in place
    next += count;
  }
  return out;
}

}  // namespace nuv
