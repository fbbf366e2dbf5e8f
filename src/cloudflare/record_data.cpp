#include "cloudflare/record_data.h"

#include <cmath>
#include <cstdlib>

#include "cloudflare/record_match.h"
#include "common/json_build.h"

namespace nuv {

namespace {

using K = DataFieldKind;

// The fields of each type as the service's schema names them, in the order
// of its content.
constexpr DataField kCaa[] = {
    {"flags", K::kNumber, false}, {"tag", K::kLower, false}, {"value", K::kText, true}};
constexpr DataField kCert[] = {{"type", K::kNumber, false},
                               {"key_tag", K::kNumber, false},
                               {"algorithm", K::kNumber, false},
                               {"certificate", K::kBase64, false}};
constexpr DataField kDnskey[] = {{"flags", K::kNumber, false},
                                 {"protocol", K::kNumber, false},
                                 {"algorithm", K::kNumber, false},
                                 {"public_key", K::kBase64, false}};
constexpr DataField kDs[] = {{"key_tag", K::kNumber, false},
                             {"algorithm", K::kNumber, false},
                             {"digest_type", K::kNumber, false},
                             {"digest", K::kHex, false}};
constexpr DataField kSvcb[] = {
    {"priority", K::kNumber, false}, {"target", K::kHost, false}, {"value", K::kText, false}};
constexpr DataField kLoc[] = {
    {"lat_degrees", K::kNumber, false},    {"lat_minutes", K::kNumber, false},
    {"lat_seconds", K::kNumber, false},    {"lat_direction", K::kUpper, false},
    {"long_degrees", K::kNumber, false},   {"long_minutes", K::kNumber, false},
    {"long_seconds", K::kNumber, false},   {"long_direction", K::kUpper, false},
    {"altitude", K::kNumber, false},       {"size", K::kNumber, false},
    {"precision_horz", K::kNumber, false}, {"precision_vert", K::kNumber, false}};
constexpr DataField kNaptr[] = {{"order", K::kNumber, false}, {"preference", K::kNumber, false},
                                {"flags", K::kText, true},    {"service", K::kText, true},
                                {"regex", K::kText, true},    {"replacement", K::kHost, false}};
constexpr DataField kAssociation[] = {{"usage", K::kNumber, false},
                                      {"selector", K::kNumber, false},
                                      {"matching_type", K::kNumber, false},
                                      {"certificate", K::kHex, false}};
// The priority of an SRV record is in its data (the record's own priority
// field follows it); the content shows the rest.
constexpr DataField kSrv[] = {{"weight", K::kNumber, false},
                              {"port", K::kNumber, false},
                              {"target", K::kHost, false},
                              {"priority", K::kNumber, false}};
constexpr size_t kSrvShown = 3;
constexpr DataField kSshfp[] = {
    {"algorithm", K::kNumber, false}, {"type", K::kNumber, false}, {"fingerprint", K::kHex, false}};
// A URI's priority is a field of the record, not of its data.
constexpr DataField kUri[] = {{"weight", K::kNumber, false}, {"target", K::kText, true}};

struct TypeFields {
  std::string_view type;
  std::span<const DataField> fields;
};

constexpr TypeFields kTypes[] = {
    {"CAA", kCaa},    {"CERT", kCert},   {"DNSKEY", kDnskey}, {"DS", kDs},
    {"HTTPS", kSvcb}, {"LOC", kLoc},     {"NAPTR", kNaptr},   {"SMIMEA", kAssociation},
    {"SRV", kSrv},    {"SSHFP", kSshfp}, {"SVCB", kSvcb},     {"TLSA", kAssociation},
    {"URI", kUri},
};

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
char ascii_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// A text in the form compared for `kind`.
std::string text_key(DataFieldKind kind, std::string_view text) {
  std::string key;
  switch (kind) {
    case K::kHost:
      return text == "." ? std::string(".") : dns_name_key(text);
    case K::kLower:
    case K::kUpper:
      for (char c : text) key += ascii_lower(c);
      return key;
    case K::kHex:
    case K::kBase64:
      for (char c : text) {
        if (!is_blank(c)) key += kind == K::kHex ? ascii_lower(c) : c;
      }
      return key;
    case K::kNumber:
    case K::kText:
      break;
  }
  return std::string(text);
}

bool same_value(const DataField& field, const DataValue& listed, const DataValue& wanted) {
  if (field.kind == K::kNumber) {
    const std::optional<double> a = data_number(listed);
    const std::optional<double> b = data_number(wanted);
    if (a && b) return *a == *b;
  }
  if (listed.is_number || wanted.is_number) return false;
  return text_key(field.kind, listed.text) == text_key(field.kind, wanted.text);
}

std::string shown_value(const DataValue* value) {
  if (value == nullptr) return std::string();
  return value->is_number ? json_number_text(value->number) : value->text;
}

}  // namespace

std::span<const DataField> data_fields(std::string_view type) {
  for (const TypeFields& entry : kTypes) {
    if (entry.type == type) return entry.fields;
  }
  return {};
}

std::string stored_text(DataFieldKind kind, std::string_view text) {
  std::string stored(text);
  if (kind == K::kLower) {
    for (char& c : stored) c = ascii_lower(c);
  } else if (kind == K::kUpper) {
    for (char& c : stored) c = ascii_upper(c);
  } else if (kind == K::kHost && stored.size() > 1 && stored.back() == '.') {
    stored.pop_back();
  }
  return stored;
}

const DataValue* data_member(const RecordData& data, std::string_view key) {
  // The last of a repeated key counts, as in a JSON tree.
  for (auto it = data.rbegin(); it != data.rend(); ++it) {
    if (it->first == key) return &it->second;
  }
  return nullptr;
}

std::optional<double> data_number(const DataValue& value) {
  if (value.is_number) {
    if (!std::isfinite(value.number)) return std::nullopt;
    return value.number;
  }
  const std::string& text = value.text;
  if (text.empty() || is_blank(text.front()) || is_blank(text.back())) return std::nullopt;
  char* end = nullptr;
  const double number = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(number)) return std::nullopt;
  return number;
}

bool same_record_data(std::string_view type, const RecordData& listed, const RecordData& wanted) {
  for (const DataField& field : data_fields(type)) {
    const DataValue* a = data_member(listed, field.name);
    const DataValue* b = data_member(wanted, field.name);
    if (a == nullptr || b == nullptr) {
      if (a != b) return false;
      continue;
    }
    if (!same_value(field, *a, *b)) return false;
  }
  return true;
}

std::string data_content(std::string_view type, const RecordData& data) {
  const auto shown = [&](const char* key) { return shown_value(data_member(data, key)); };
  if (type == "LOC") {
    return shown("lat_degrees") + " " + shown("lat_minutes") + " " + shown("lat_seconds") + " " +
           shown("lat_direction") + " " + shown("long_degrees") + " " + shown("long_minutes") +
           " " + shown("long_seconds") + " " + shown("long_direction") + " " + shown("altitude") +
           "m " + shown("size") + "m " + shown("precision_horz") + "m " + shown("precision_vert") +
           "m";
  }
  std::span<const DataField> fields = data_fields(type);
  if (type == "SRV") fields = fields.first(kSrvShown);
  std::string content;
  for (const DataField& field : fields) {
    if (&field != fields.data()) content += ' ';
    const std::string value = shown(field.name);
    content += field.quoted ? "\"" + value + "\"" : value;
  }
  return content;
}

}  // namespace nuv
