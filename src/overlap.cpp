#include "overlap.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "executor.h"
#include "geometry/point_in_mesh.h"
#include "geometry/solid.h"

namespace orvex {

namespace {

// Pairs per task: enough work to outweigh the task's start.
constexpr size_t kPairsPerTask = 32;

// Every corner of inner's finite triangles inside outer; the boxes are checked first
// since no corner can be inside a mesh beyond its box (a point outside a surface's
// convex hull sees it under less than half the sphere, so even the generalised winding
// number stays below 0.5 there).
bool inside_of(const TriMesh& inner, const TriMesh& outer, bool outer_closed) {
  if (!outer.bounds().contains(inner.bounds())) return false;
  std::optional<WindingField> field;
  if (!outer_closed) field.emplace(outer);
  std::vector<uint8_t> done(inner.points().size(), 0);
  for (uint32_t t : inner.bvh().order) {
    for (uint32_t v : inner.triangles()[t]) {
      if (done[v]) continue;
      done[v] = 1;
      const Vec3d p(inner.points()[v]);
      if (outer_closed) {
        const std::optional<int> winding = ray_winding(outer, p);
        if (!winding || *winding == 0) return false;
      } else if (!field->at_least_half(p)) {
        return false;
      }
    }
  }
  return !inner.bvh().order.empty();
}

std::optional<PairSurvey> survey(const MeshObject& object_a, const MeshObject& object_b, const ObjectPair& pair,
                                 const ClashRequest& request, float contact_reach, float tolerance) {
  const TriMesh& a = object_a.mesh;
  const TriMesh& b = object_b.mesh;
  std::optional<Contact> contact = mesh_contact(a, b, contact_reach);
  const bool kept = contact && request.min_dist > contact->dist;
  const bool apart = !contact || contact->dist > 0;

  PairSurvey s{};
  s.a = pair.first;
  s.b = pair.second;
  s.closed_a = a.closed();
  s.closed_b = b.closed();
  s.duplicate = boxes_agree(a.bounds(), b.bounds(), tolerance) && corners_near_surface(a, b, tolerance) &&
                corners_near_surface(b, a, tolerance);
  s.inside = Inside::none;
  if (!s.duplicate && apart) {
    if (inside_of(a, b, s.closed_b)) {
      s.inside = Inside::a_in_b;
    } else if (inside_of(b, a, s.closed_a)) {
      s.inside = Inside::b_in_a;
    }
  }
  const bool solids_meet = s.closed_a && s.closed_b && !apart;
  if (!kept && !s.duplicate && s.inside == Inside::none && !solids_meet) return std::nullopt;

  s.approximate = s.inside != Inside::none && !(s.closed_a && s.closed_b);
  s.volume = s.thickness = NAN;
  s.centre = {NAN, NAN, NAN};
  if (s.inside != Inside::none && !s.approximate) {
    const TriMesh& inner = s.inside == Inside::a_in_b ? a : b;
    const SolidMeasures m = solid_measures(inner.points(), inner.triangles());
    s.volume = std::fabs(m.volume);
    s.centre = m.centroid;
    s.thickness = m.thickness;
  }
  // A gap beyond the reach is measured once the pair is known to matter.
  if (!contact) contact = mesh_contact(a, b, INFINITY);
  if (contact) {
    s.dist = contact->dist;
    s.point_a = contact->point1;
    s.point_b = contact->point2;
  } else {
    // Only meshes without a finite triangle have no contact at any range.
    s.dist = NAN;
    s.point_a = s.point_b = {NAN, NAN, NAN};
  }
  return s;
}

}  // namespace

bool boxes_agree(const Aabb& a, const Aabb& b, double tolerance) {
  for (int i = 0; i < 3; ++i) {
    if (!(std::fabs(double(a.lo[i]) - b.lo[i]) <= tolerance && std::fabs(double(a.hi[i]) - b.hi[i]) <= tolerance)) {
      return false;
    }
  }
  return true;
}

std::vector<PairSurvey> survey_pairs(const Model& a, const Model& b, const ClashRequest& request,
                                     float tolerance) {
  // The contact query's reach is clash_models' own, so that the pairs it keeps come out
  // with its distances and points.
  const float min_dist = request.min_dist;
  const float contact_reach = min_dist > 0.0f ? std::min(min_dist, request.reach) : 0.0f;
  ClashRequest broad = request;
  broad.reach = std::max(contact_reach, tolerance);
  const std::vector<ObjectPair> pairs = candidate_pairs(a, b, broad);

  std::vector<std::optional<PairSurvey>> found(pairs.size());
  Executor(request.threads, request.poll).parallel_for(batch_count(pairs.size(), kPairsPerTask), [&](size_t k) {
    for (size_t i = k * kPairsPerTask; i < std::min(pairs.size(), (k + 1) * kPairsPerTask); ++i) {
      const ObjectPair& p = pairs[i];
      found[i] = survey(a.objects()[p.first], b.objects()[p.second], p, request, contact_reach, tolerance);
    }
  });
  std::vector<PairSurvey> out;
  for (const std::optional<PairSurvey>& s : found) {
    if (s) out.push_back(*s);
  }
  return out;
}

}  // namespace orvex
