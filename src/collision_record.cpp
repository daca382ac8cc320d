#include "collision_record.h"

#include <cmath>
#include <cstdio>

namespace orvex {
namespace {

// glibc's %.2f rounds the exact binary value, ties to even, and keeps the sign of
// values that round to zero; only NaN needs its own spelling.
void append_fixed2(std::string& out, float value) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  char buf[64];  // FLT_MAX has 39 integer digits
  int n = std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(value));
  out.append(buf, static_cast<size_t>(n));
}

}  // namespace

std::string collision_text(const CollisionRecord& r) {
  std::string out;
  out.reserve(r.id_a.size() + r.id_b.size() + 80);
  out += "Collision(ids:('";
  out += r.id_a;
  out += "', '";
  out += r.id_b;
  out += "'),dist: ";
  append_fixed2(out, r.dist);
  out += ", point: (";
  append_fixed2(out, r.point[0]);
  out += ", ";
  append_fixed2(out, r.point[1]);
  out += ", ";
  append_fixed2(out, r.point[2]);
  out += "))";
  return out;
}

}  // namespace orvex
