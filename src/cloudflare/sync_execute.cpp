#include "cloudflare/sync_execute.h"

#include <json-c/json.h>

#include <algorithm>
#include <string_view>

#include "cloudflare/reconcile_execute.h"
#include "cloudflare/records.h"
#include "common/json_build.h"
#include "common/json_tree.h"
#include "transport/retry_policy.h"
#include "transport/service_quota.h"
#include "transport/trace.h"

namespace nuv {

namespace {

constexpr long kTooLargeCode = 81069;
constexpr int kPayloadTooLarge = 413;
// The Free plan's batch: the first step down from a paid plan's.
constexpr size_t kFreeBatch = 200;
constexpr double kMaxQuotaWaitSeconds = kCloudflareWindowSeconds;

bool succeeded(const HttpResult& answer) {
  if (answer.status < 200 || answer.status > 299) return false;
  JsonTree root(json_tokener_parse(answer.body.c_str()));
  json_object* success = nullptr;
  return !json_object_object_get_ex(root.get(), "success", &success) ||
         json_object_get_boolean(success);
}

JsonTree tags_array(const std::vector<std::string>& tags) {
  JsonTree array = json_new_array();
  for (const std::string& tag : tags) json_add_item(array, json_new_string(tag));
  return array;
}

// A record's data: the fields of its type, as read (record_data).
JsonTree data_object(const SyncWanted& w) {
  JsonTree object = json_new_object();
  for (const auto& [key, value] : *w.data) {
    json_add_member(object, key.c_str(),
                    value.is_number ? json_new_number(value.number) : json_new_string(value.text));
  }
  return object;
}

// The members of a created record, or of an update's differing fields. A
// record with data is written by its data: the service refuses a content
// for it.
JsonTree write_members(const SyncWrite& write, const std::optional<std::string>& owner_marker) {
  JsonTree item = json_new_object();
  if (write.action == SyncAction::kDelete) {
    json_add_member(item, "id", json_new_string(write.listed->id));
    return item;
  }
  const SyncWanted& w = *write.wanted;
  const bool create = write.action == SyncAction::kCreate;
  const unsigned fields = create ? ~0u : write.fields;
  if (!create) json_add_member(item, "id", json_new_string(write.listed->id));
  if (create) {
    json_add_member(item, "type", json_new_string(w.type));
    json_add_member(item, "name", json_new_string(w.name));
  }
  if (w.data && (fields & kSyncData)) json_add_member(item, "data", data_object(w));
  if (!w.data && (fields & kSyncContent)) {
    json_add_member(item, "content", json_new_string(w.content));
  }
  if ((fields & kSyncTtl) && (create || w.ttl)) {
    json_add_member(item, "ttl", json_new_int(static_cast<int32_t>(w.ttl.value_or(kDefaultTtl))));
  }
  if ((fields & kSyncProxied) && is_proxiable_type(w.type)) {
    json_add_member(item, "proxied", json_new_bool(w.proxied.value_or(false)));
  }
  if ((fields & kSyncPriority) && has_priority_field(w.type)) {
    json_add_member(item, "priority", json_new_int(w.priority.value_or(kDefaultPriority)));
  }
  const std::optional<std::string>& comment = create && !w.comment ? owner_marker : w.comment;
  if ((fields & kSyncComment) && comment) {
    json_add_member(item, "comment", json_new_string(*comment));
  }
  if ((fields & kSyncTags) && w.tags) json_add_member(item, "tags", tags_array(*w.tags));
  return item;
}

// Whether the answer leaves the batch's fate open: it may have been
// applied although no success came back.
bool outcome_unknown(const HttpResult& answer) {
  const Failure failed = classify_failure(answer);
  return failed == Failure::kServerError || failed == Failure::kAnswerLost;
}

// A batch in the service's order (deletes, updates, creates), stable.
std::vector<const SyncWrite*> in_service_order(std::vector<const SyncWrite*> writes) {
  std::stable_partition(writes.begin(), writes.end(),
                        [](const SyncWrite* w) { return w->action == SyncAction::kDelete; });
  std::stable_partition(writes.begin(), writes.end(),
                        [](const SyncWrite* w) { return w->action != SyncAction::kCreate; });
  return writes;
}

class SyncSender {
 public:
  SyncSender(const ApiContext& context, const std::string& zone_id,
             const std::optional<std::string>& owner_marker, SyncOutcome& out)
      : context_(context),
        path_(records_path(zone_id) + "/batch"),
        owner_marker_(owner_marker),
        out_(out) {}

  // Sends one batch; the answer is kept for pacing the next.
  HttpResult send(const std::vector<const SyncWrite*>& writes) {
    if (last_ && !pace_by_service_quota(*last_, kMaxQuotaWaitSeconds)) {
      HttpResult interrupted{-1, "interrupted"};
      interrupted.interrupted = true;
      return interrupted;
    }
    const std::string body = sync_batch_body(writes, owner_marker_);
    ++out_.batches;
    HttpResult answer = cloudflare_request(context_, RequestKind::kCreate, "POST", &path_, &body);
    last_ = answer;
    return answer;
  }

  void applied(const std::vector<const SyncWrite*>& writes) {
    out_.applied.insert(out_.applied.end(), writes.begin(), writes.end());
  }

  // `units` failed as one batch with `answer`: halves are sent as batches of
  // their own until the refused unit is left. A half that passes is
  // applied; the search stops at the first half refused.
  void find_refused(std::vector<std::vector<const SyncWrite*>> units, HttpResult answer) {
    while (units.size() > 1) {
      const size_t half = units.size() / 2;
      std::vector<std::vector<const SyncWrite*>> left(units.begin(),
                                                      units.begin() + static_cast<long>(half));
      std::vector<std::vector<const SyncWrite*>> right(units.begin() + static_cast<long>(half),
                                                       units.end());
      trace("sync: batch refused (%d): sending %zu of its %zu parts on their own\n", answer.status,
            left.size(), units.size());
      HttpResult first = send(flatten(left));
      if (!settled(first)) return;
      if (!succeeded(first)) {
        units = std::move(left);
        answer = std::move(first);
        continue;
      }
      applied(flatten(left));
      HttpResult second = send(flatten(right));
      if (!settled(second)) return;
      if (succeeded(second)) {
        applied(flatten(right));
        return;  // refused together, applied apart: nothing is refused
      }
      units = std::move(right);
      answer = std::move(second);
    }
    out_.refused = flatten(units);
    out_.failure = std::move(answer);
  }

  static std::vector<const SyncWrite*> flatten(
      const std::vector<std::vector<const SyncWrite*>>& units) {
    std::vector<const SyncWrite*> writes;
    for (const auto& unit : units) writes.insert(writes.end(), unit.begin(), unit.end());
    return in_service_order(std::move(writes));
  }

  // False (and the failure kept) when the answer ends every further send:
  // an interrupt, an unknown outcome, no answer at all, or an answer that
  // is about the service, not about the records (a 429 left after the
  // retries, a 5xx).
  bool settled(const HttpResult& answer) {
    if (answer.interrupted || !answer.answered || answer.status == 429 || answer.status >= 500) {
      out_.outcome_unknown = outcome_unknown(answer);
      out_.failure = answer;
      return false;
    }
    return true;
  }

 private:
  const ApiContext& context_;
  const std::string path_;
  const std::optional<std::string>& owner_marker_;
  SyncOutcome& out_;
  std::optional<HttpResult> last_;
};

// The writes of `batch` in units that may be sent apart.
std::vector<std::vector<const SyncWrite*>> units_of(const std::vector<const SyncWrite*>& batch) {
  std::vector<const SyncWrite*> by_unit = batch;
  std::stable_sort(by_unit.begin(), by_unit.end(),
                   [](const SyncWrite* a, const SyncWrite* b) { return a->unit < b->unit; });
  std::vector<std::vector<const SyncWrite*>> units;
  for (const SyncWrite* w : by_unit) {
    if (units.empty() || units.back().front()->unit != w->unit) units.emplace_back();
    units.back().push_back(w);
  }
  return units;
}

}  // namespace

std::string sync_batch_body(const std::vector<const SyncWrite*>& writes,
                            const std::optional<std::string>& owner_marker) {
  JsonTree deletes = json_new_array();
  JsonTree patches = json_new_array();
  JsonTree posts = json_new_array();
  for (const SyncWrite* write : writes) {
    const JsonTree& section = write->action == SyncAction::kDelete   ? deletes
                              : write->action == SyncAction::kUpdate ? patches
                                                                     : posts;
    json_add_item(section, write_members(*write, owner_marker));
  }
  JsonTree body = json_new_object();
  json_add_member(body, "deletes", std::move(deletes));
  json_add_member(body, "patches", std::move(patches));
  json_add_member(body, "posts", std::move(posts));
  return json_text(body, JSON_C_TO_STRING_PLAIN);
}

bool batch_too_large(const HttpResult& answer) {
  if (answer.status == kPayloadTooLarge) return true;
  if (answer.status < 400 || answer.status > 499) return false;
  JsonTree root(json_tokener_parse(answer.body.c_str()));
  json_object* errors = nullptr;
  if (!json_object_object_get_ex(root.get(), "errors", &errors) ||
      !json_object_is_type(errors, json_type_array)) {
    return false;
  }
  auto says_too_large = [](json_object* entry, auto& self) -> bool {
    json_object* code = nullptr;
    json_object* message = nullptr;
    if (json_object_object_get_ex(entry, "code", &code) &&
        json_object_get_int64(code) == kTooLargeCode) {
      return true;
    }
    if (json_object_object_get_ex(entry, "message", &message) &&
        json_object_is_type(message, json_type_string)) {
      std::string text = json_object_get_string(message);
      for (char& c : text) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
      if (text.find("too many records") != std::string::npos) return true;
    }
    json_object* chain = nullptr;
    if (json_object_object_get_ex(entry, "error_chain", &chain) &&
        json_object_is_type(chain, json_type_array)) {
      for (size_t i = 0; i < json_object_array_length(chain); ++i) {
        if (self(json_object_array_get_idx(chain, i), self)) return true;
      }
    }
    return false;
  };
  for (size_t i = 0; i < json_object_array_length(errors); ++i) {
    if (says_too_large(json_object_array_get_idx(errors, i), says_too_large)) return true;
  }
  return false;
}

SyncOutcome carry_out_sync(const SyncPlan& plan, const ApiContext& context,
                           const std::string& zone_id, size_t limit,
                           const std::optional<std::string>& owner_marker) {
  SyncOutcome out;
  out.limit = limit;
  SyncSender sender(context, zone_id, owner_marker, out);
  std::vector<const SyncWrite*> writes;
  for (const SyncWrite& w : plan.writes) writes.push_back(&w);
  std::vector<std::vector<const SyncWrite*>> batches = batches_of(writes, limit);
  for (size_t i = 0; i < batches.size(); ++i) {
    const std::vector<const SyncWrite*>& batch = batches[i];
    const auto count = [&](SyncAction action) {
      return std::count_if(batch.begin(), batch.end(),
                           [&](const SyncWrite* w) { return w->action == action; });
    };
    trace("sync batch %zu/%zu: %ld deletes, %ld updates, %ld creates\n", i + 1, batches.size(),
          static_cast<long>(count(SyncAction::kDelete)),
          static_cast<long>(count(SyncAction::kUpdate)),
          static_cast<long>(count(SyncAction::kCreate)));
    HttpResult answer = sender.send(batch);
    if (!sender.settled(answer)) return out;
    if (succeeded(answer)) {
      sender.applied(batch);
      continue;
    }
    if (batch_too_large(answer) && limit > 1) {
      // What is left goes again in smaller batches, in plan order.
      limit = limit > kFreeBatch ? kFreeBatch : limit / 2;
      trace(
          "sync: the service refused a batch of %zu as too large (%d): %zu a batch from now "
          "on\n",
          batch.size(), answer.status, limit);
      std::vector<const SyncWrite*> rest;
      for (size_t j = i; j < batches.size(); ++j) {
        rest.insert(rest.end(), batches[j].begin(), batches[j].end());
      }
      std::sort(rest.begin(), rest.end());  // pointers into plan.writes: plan order
      batches = batches_of(rest, limit);
      out.limit = limit;
      i = static_cast<size_t>(-1);
      continue;
    }
    if (batch_unavailable(answer)) {
      out.unavailable = true;
      out.failure = std::move(answer);
      return out;
    }
    sender.find_refused(units_of(batch), std::move(answer));
    if (out.failure) return out;
  }
  out.limit = limit;
  return out;
}

}  // namespace nuv
