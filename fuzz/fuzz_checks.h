// Helpers shared by the fuzz targets: quiet diagnostics, the plain N x M pass and
// the brute-force contact that the fast paths are checked against.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "clash.h"
#include "convert.h"
#include "geometry/mesh_contact.h"
#include "geometry/triangle_contact.h"
#include "../tests/cpp/plain_pass.h"

namespace orvex::fuzz {

using testing::plain_pass;

/// Diagnostics go to file descriptor 1; send them to /dev/null so that libFuzzer's
/// own report on standard error stays readable and the runs are not slowed by output.
inline void silence_stdout() {
  int null = ::open("/dev/null", O_WRONLY);
  if (null < 0 || ::dup2(null, 1) < 0) std::abort();
  ::close(null);
}

/// A broken expectation is a finding: say which and abort, so libFuzzer keeps the input.
inline void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "orvex fuzz check failed: %s\n", what);
  std::abort();
}

/// The pass's records equal the plain pass's: same pairs in the same order, same
/// distances, and each distance below the threshold.
inline void check_same_records(const std::vector<CollisionRecord>& fast,
                               const std::vector<CollisionRecord>& plain, float min_dist) {
  check(fast.size() == plain.size(), "pass and plain pass report different numbers of pairs");
  for (size_t i = 0; i < fast.size(); ++i) {
    const CollisionRecord& f = fast[i];
    const CollisionRecord& p = plain[i];
    check(f.id_a == p.id_a && f.id_b == p.id_b, "pass and plain pass differ in a pair's ids");
    check(f.id_a != f.id_b, "a pair of equal ids was tested");
    check(f.dist == p.dist, "pass and plain pass differ in a distance");
    check(min_dist > f.dist, "a distance not below the threshold was reported");
    check(f.dist <= kPrediction, "a distance beyond the reach was reported");
  }
}

/// Minimum signed contact over every triangle pair with finite corners, strictly
/// smaller replacing, as the contact query promises it.
inline std::optional<TrianglePairContact> brute_contact(const TriMesh& m1, const TriMesh& m2,
                                                        double prediction) {
  auto corners = [](const TriMesh& m, const Triangle& t, Triangle3d& out) {
    for (int k = 0; k < 3; ++k) {
      const Point& p = m.points()[t[k]];
      if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) return false;
      out[k] = Vec3d(p);
    }
    return true;
  };
  std::optional<TrianglePairContact> best;
  for (const Triangle& t1 : m1.triangles()) {
    Triangle3d c1;
    if (!corners(m1, t1, c1)) continue;
    for (const Triangle& t2 : m2.triangles()) {
      Triangle3d c2;
      if (!corners(m2, t2, c2)) continue;
      auto c = triangle_contact(c1, c2, prediction);
      if (c && (!best || c->dist < best->dist)) best = c;
    }
  }
  return best;
}

/// mesh_contact agrees with the brute force on whether there is a contact and on its
/// distance (rounded to float as the query reports it).
inline void check_contact(const TriMesh& m1, const TriMesh& m2) {
  std::optional<Contact> fast = mesh_contact(m1, m2, kPrediction);
  std::optional<TrianglePairContact> slow = brute_contact(m1, m2, kPrediction);
  check(fast.has_value() == slow.has_value(), "mesh_contact and brute force disagree on contact");
  if (!fast) return;
  check(fast->dist == static_cast<float>(slow->dist), "mesh_contact and brute force differ in distance");
  check(!std::isnan(fast->point1[0]) && !std::isnan(fast->point1[1]) && !std::isnan(fast->point1[2]),
        "contact point is NaN");
}

}  // namespace orvex::fuzz
