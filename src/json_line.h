// Strict parsing of one model line's JSON part with one reused simdjson parser.
#pragma once

#include <string>
#include <string_view>

#include <simdjson.h>

namespace orvex {

/// Arrays and objects may nest this deep; one level more rejects the line.
inline constexpr size_t kMaxJsonDepth = 127;

/// Parses JSON parts one after another; each result stays valid until the next parse.
class JsonLineParser {
 public:
  JsonLineParser();

  /// Parses `json` as one complete RFC 8259 value with only JSON whitespace around it.
  /// `readable_after` is how many bytes after json's end may be read: with at least
  /// SIMDJSON_PADDING the text is parsed in place, otherwise the parser copies it.
  /// Integers beyond 64 bits become doubles. simdjson reads the integer -0 as 0:
  /// callers that saw an integer 0 check has_negative_zero_integer and, when it
  /// holds, use parse_rewritten to get the double -0.0 instead.
  simdjson::error_code parse(std::string_view json, size_t readable_after,
                             simdjson::dom::element& value);

  /// Parses a copy of `json` rewritten by rewrite_integers_as_doubles.
  simdjson::error_code parse_rewritten(std::string_view json, simdjson::dom::element& value);

 private:
  simdjson::dom::parser parser_;
  std::string rewritten_;
};

/// Copies `json` into `out`, turning every integer literal that fits neither u64 nor
/// i64 into a fractional literal of the same value ("…0" -> "…0.0") and "-0" into
/// "-0.0". Returns whether anything was rewritten. Text inside strings is untouched.
bool rewrite_integers_as_doubles(std::string_view json, std::string& out);

/// Whether `json` holds the integer literal -0 (not "-0" inside a string, nor an
/// exponent's "-0"). `json` must have been accepted by JsonLineParser::parse.
bool has_negative_zero_integer(std::string_view json);

}  // namespace orvex
