// Clash rows of the orvex command's JSON and CSV reports, spelled byte for byte as the
// command's Python writers spell them (json.JSONEncoder with ensure_ascii=False and its
// default separators; csv.writer with minimal quoting and CRLF), so that a report is the
// same whichever writes it.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace orvex {

/// One object of a clash as reports show it; text in UTF-8.
struct RowObject {
  std::string_view model, key, type;
  std::optional<std::string_view> name, level;
};

/// One clash as reports show it. Numbers in model units; a number that is not finite
/// is unknown (null in JSON, an empty cell in CSV).
struct ClashRow {
  std::string_view id, check, kind, status;
  std::optional<std::string_view> group;
  double dist = 0, previous_dist = 0;
  std::array<double, 3> point_a{}, point_b{};
  RowObject a, b;
  // Volumetric measures: absent ones are left out of JSON, empty cells in CSV.
  std::optional<double> volume, thickness;
  std::optional<std::array<double, 3>> centre;
  std::optional<std::string_view> contained;
  bool approximate = false;
};

/// Appends the clash as one JSON object on one line:
/// {"id": ..., "check": ..., "kind": ..., "status": ..., "group": ..., "dist": ...,
///  "previous_dist": ..., "point_a": [x, y, z], "point_b": [...], "a": {"model": ...,
///  "key": ..., "type": ..., "name": ..., "level": ...}, "b": {...}} with "volume",
/// "thickness", "centre", "contained" when present and "approximate": true when set.
void append_json_row(std::string& out, const ClashRow& row);

/// Appends the clash as one CSV record ending in CRLF, in the columns id, check, kind,
/// status, group, dist, previous_dist, a_model, a_key, a_type, a_name, a_level, b_...,
/// point_a_x..z, point_b_x..z, volume, thickness, centre_x..z, contained.
void append_csv_row(std::string& out, const ClashRow& row);

}  // namespace orvex
