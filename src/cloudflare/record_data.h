// The records the service describes with structured `data` (CAA, SRV, DS,
// TLSA, ...): their fields, how two of them compare once in the form the
// service stores, and the content the service makes of them. The service
// refuses `content` for these types on a create and on a change of data, so
// a record that carries data is written by its data.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nuv {

// How one field of a record's data is compared.
enum class DataFieldKind {
  kNumber,  // a number, whether written 5, 5.0 or "5"
  kText,    // byte for byte
  kLower,   // without ASCII case, stored in lower case (a CAA tag)
  kUpper,   // without ASCII case, stored in upper case (a LOC direction)
  kHost,    // a name: as dns_name_key compares names
  kHex,     // hexadecimal: without case or blanks (digests, fingerprints)
  kBase64,  // without blanks (keys and certificates)
};

struct DataField {
  const char* name;
  DataFieldKind kind;
  bool quoted;  // shown in double quotes in the content
};

// One member of a record's data.
struct DataValue {
  bool is_number = false;
  double number = 0;
  std::string text;
};

// A record's data: its members in the order given (or listed).
using RecordData = std::vector<std::pair<std::string, DataValue>>;

// The fields of `type` (upper case) in the order the service shows them in
// the content (an SRV's priority, which it does not show, last); empty for a
// type the service does not describe with data.
std::span<const DataField> data_fields(std::string_view type);

// The member `key` of `data`, or nullptr.
const DataValue* data_member(const RecordData& data, std::string_view key);

// The number a member stands for: a number, or a text that is one number
// in full; nullopt otherwise (NaN and infinities included).
std::optional<double> data_number(const DataValue& value);

// A text field in the form the service stores it: a CAA tag in lower case,
// a LOC direction in upper case, a name without its final dot ("." stays).
std::string stored_text(DataFieldKind kind, std::string_view text);

// Whether listed data is the wanted one: each field of `type` compared by
// its kind; a field missing on one side only is a difference. Members that
// are not fields of the type are not compared.
bool same_record_data(std::string_view type, const RecordData& listed, const RecordData& wanted);

// The content the service shows for `data`, e.g. CAA `0 issue "ca.example"`
// (SRV and URI without a priority: the service shows it as the record's).
std::string data_content(std::string_view type, const RecordData& data);

}  // namespace nuv
