// Compact JSON text of parsed values, as the loader's warnings show a root's "id".
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <simdjson.h>

namespace orvex {

/// Appends `s` as a JSON string: quoted; '"', '\\' and control characters escaped
/// (\b \f \n \r \t, others as \u00xx); everything else, non-ASCII included, raw.
void append_json_string(std::string& out, std::string_view s);

/// The shortest decimal digits that read back as a finite double (what std::to_chars
/// gives), with v = ±0.d1d2..dn × 10^point.
struct ShortestDigits {
  bool negative = false;
  char digits[24];  // 17 at most
  int count = 0;
  int point = 0;
  std::string_view view() const { return {digits, static_cast<size_t>(count)}; }
};
ShortestDigits shortest_digits(double v);

/// Appends the shortest round-trip spelling of a finite double: "7.0", "1.5",
/// "0.001", "1e21", "1e-7", "1.25e-9", "-0.0".
void append_json_double(std::string& out, double v);

/// Appends a finite double as Python's repr() spells it (the same digits): positional
/// for 1e-4 <= |v| < 1e16, else "1e-05", "1.5e+16"; "7.0", "-0.0".
void append_python_double(std::string& out, double v);

/// Compact JSON of a parsed value: no whitespace, object keys sorted by their UTF-8
/// bytes with the last of repeated keys kept, integers in decimal, doubles as
/// append_json_double. Nesting is walked with an explicit stack.
std::string compact_json(simdjson::dom::element value);

/// The value of member `name` of `object` (the JSON text of an object, such as
/// compact_json writes) when it is a string; nullopt when it is absent or not a string,
/// or `object` is no JSON object. `parser` is reused between calls.
std::optional<std::string> string_member(simdjson::dom::parser& parser, std::string_view object,
                                         std::string_view name);

}  // namespace orvex
