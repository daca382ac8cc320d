// Helpers shared by the fuzz targets: the whole pipeline as one outcome, its comparison
// with a renamed model's, the plain N x M pass and the brute-force contact that the
// fast paths are checked against.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "clash.h"
#include "convert.h"
#include "diagnostics.h"
#include "overlap.h"
#include "pipeline.h"
#include "geometry/mesh_contact.h"
#include "geometry/triangle_contact.h"
#include "../tests/cpp/plain_pass.h"

namespace orvex::fuzz {

using testing::plain_pass;

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

/// The volumetric survey of the same pairs keeps the pass's pairs, in its order and
/// with its distances, and says of every pair it adds why.
inline void check_survey(const Model& a, const Model& b, const ClashRequest& request,
                         const std::vector<CollisionRecord>& records) {
  size_t kept = 0;
  for (const PairSurvey& s : survey_pairs(a, b, request, 0.001f)) {
    check(s.a < a.size() && s.b < b.size(), "the survey names no object");
    if (request.min_dist > s.dist) {
      check(kept < records.size() && records[kept].id_a == a.objects()[s.a].id &&
                records[kept].id_b == b.objects()[s.b].id && records[kept].dist == s.dist,
            "the survey differs from the pass in a pair it keeps");
      ++kept;
    } else {
      check(s.duplicate || s.inside != Inside::none || (s.closed_a && s.closed_b && s.dist <= 0),
            "the survey kept a pair for no reason");
    }
  }
  check(kept == records.size(), "the survey misses a pair the pass keeps");
}

/// Two models through the whole pipeline: load and mesh a, then b, then the pass, on
/// `threads` threads, keeping the object information when asked. A Fault ends it, as
/// it ends a call.
struct Outcome {
  bool fault = false;
  Model a, b;
  std::vector<CollisionRecord> records;
  std::vector<Diagnostic> diagnostics;
};

inline Outcome run_pipeline(std::string_view text_a, std::string_view text_b, float min_dist,
                            unsigned threads = 1, bool keep_info = false) {
  Outcome out;
  CollectingSink sink;
  ClashRequest request;
  request.min_dist = min_dist;
  request.threads = threads;
  request.keep_info = keep_info;
  try {
    out.a = build_model(text_a, request, sink);
    out.b = build_model(text_b, request, sink);
    out.records = records_of(clash_models(out.a, out.b, request), out.a, out.b);
    check_survey(out.a, out.b, request, out.records);
  } catch (const Fault&) {
    out.fault = true;
  }
  out.diagnostics = std::move(sink.items);
  return out;
}

/// `named` is the outcome of a model whose names were renamed one to one into those of
/// `renamed`'s model; `name_back(text, in_json)` maps the renamed names in a text back,
/// spelt as a warning's compact JSON shows them when `in_json`. Names mean nothing
/// beyond their identity, so both outcomes must agree to the bit once mapped: the same
/// meshes, the same records and the same diagnostics.
template <typename NameBack>
void check_same_modulo_names(const Outcome& named, const Outcome& renamed, NameBack name_back) {
  check(named.fault == renamed.fault, "a renamed model faults differently");
  for (auto [x, y] : {std::pair{&named.a, &renamed.a}, std::pair{&named.b, &renamed.b}}) {
    check(x->size() == y->size(), "a renamed model gives another number of meshes");
    for (size_t i = 0; i < x->size(); ++i) {
      const MeshObject& m = x->objects()[i];
      const MeshObject& n = y->objects()[i];
      check(m.id == name_back(n.id, false), "a renamed model's mesh has another id");
      auto points = m.mesh.points(), other_points = n.mesh.points();
      auto triangles = m.mesh.triangles(), other_triangles = n.mesh.triangles();
      check(points.size() == other_points.size() && triangles.size() == other_triangles.size() &&
                std::memcmp(points.data(), other_points.data(), points.size_bytes()) == 0 &&
                std::memcmp(triangles.data(), other_triangles.data(), triangles.size_bytes()) == 0,
            "a renamed model's mesh differs");
    }
  }
  check(named.records.size() == renamed.records.size(), "a renamed model gives another number of pairs");
  for (size_t i = 0; i < named.records.size(); ++i) {
    const CollisionRecord& r = named.records[i];
    const CollisionRecord& s = renamed.records[i];
    check(r.id_a == name_back(s.id_a, false) && r.id_b == name_back(s.id_b, false),
          "a renamed model gives another pair");
    check(std::memcmp(&r.dist, &s.dist, sizeof r.dist) == 0 &&
              std::memcmp(r.point.data(), s.point.data(), sizeof r.point) == 0,
          "a renamed model gives another distance or point");
  }
  check(named.diagnostics.size() == renamed.diagnostics.size(), "a renamed model gives another number of diagnostics");
  for (size_t i = 0; i < named.diagnostics.size(); ++i) {
    const Diagnostic& d = named.diagnostics[i];
    const Diagnostic& e = renamed.diagnostics[i];
    bool warning = e.code == DiagnosticCode::NoFaces || e.code == DiagnosticCode::NoVertices;
    check(d.code == e.code && d.object == name_back(e.object, false) && d.text == name_back(e.text, warning),
          "a renamed model gives another diagnostic");
  }
}

/// The same texts on another number of threads, keeping the object information, give
/// the same outcome to the bit, and information for every object.
inline void check_same_on_threads(const Outcome& one, std::string_view text_a, std::string_view text_b,
                                  float min_dist, unsigned threads) {
  Outcome other = run_pipeline(text_a, text_b, min_dist, threads, true);
  check_same_modulo_names(one, other, [](std::string_view text, bool) { return std::string(text); });
  check(other.fault || (other.a.info().size() == other.a.size() && other.b.info().size() == other.b.size()),
        "a model built keeping information lacks some");
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
