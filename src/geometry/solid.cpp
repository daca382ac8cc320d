#include "geometry/solid.h"

#include <algorithm>
#include <cmath>

#include "geometry/bvh.h"

namespace orvex {

namespace {

bool coordinates_less(const Point& p, const Point& q) {
  return p[0] < q[0] || (p[0] == q[0] && (p[1] < q[1] || (p[1] == q[1] && p[2] < q[2])));
}

uint64_t edge_key(uint32_t from, uint32_t to) { return uint64_t(from) << 32 | to; }

// Cosine below which two triangles' normals count as facing different ways.
constexpr double kSameFacing = 1 - 5e-5;

// The points the triangles use, each once, in ascending index order.
std::vector<uint32_t> used_points(std::span<const Point> points, std::span<const Triangle> triangles) {
  std::vector<uint8_t> used(points.size(), 0);
  for (const Triangle& t : triangles)
    for (uint32_t v : t) used[v] = 1;
  std::vector<uint32_t> out;
  for (uint32_t i = 0; i < used.size(); ++i)
    if (used[i]) out.push_back(i);
  return out;
}

}  // namespace

WeldedMesh weld(std::span<const Point> points, std::span<const Triangle> triangles) {
  WeldedMesh out;
  std::vector<Triangle> finite;
  finite.reserve(triangles.size());
  for (const Triangle& t : triangles) {
    if (finite_triangle(points, t)) {
      finite.push_back(t);
    } else {
      ++out.non_finite;
    }
  }
  // Equal corners become adjacent once the used points are sorted by coordinates; each
  // run of equal ones is one group.
  std::vector<uint32_t> order = used_points(points, finite);
  std::sort(order.begin(), order.end(),
            [&](uint32_t i, uint32_t j) { return coordinates_less(points[i], points[j]); });
  constexpr uint32_t kNone = UINT32_MAX;
  std::vector<uint32_t> group(points.size(), kNone);
  uint32_t groups = 0;
  for (size_t k = 0; k < order.size(); ++k) {
    if (k > 0 && points[order[k]] != points[order[k - 1]]) ++groups;
    group[order[k]] = groups;
  }
  // Numbered by first use, so the result does not depend on the sort.
  std::vector<uint32_t> number(order.size(), kNone);
  for (const Triangle& t : finite) {
    const Triangle g{group[t[0]], group[t[1]], group[t[2]]};
    if (g[0] == g[1] || g[1] == g[2] || g[2] == g[0]) continue;
    Triangle kept;
    for (int k = 0; k < 3; ++k) {
      if (number[g[k]] == kNone) {
        number[g[k]] = static_cast<uint32_t>(out.points.size());
        out.points.push_back(points[t[k]]);
      }
      kept[k] = number[g[k]];
    }
    out.triangles.push_back(kept);
  }
  return out;
}

bool is_closed(const WeldedMesh& mesh) {
  if (mesh.non_finite != 0 || mesh.triangles.empty()) return false;
  // Each directed edge once, and its reverse once: the sorted list of directed edges has
  // no repeat and equals the sorted list of reversed ones.
  std::vector<uint64_t> edges, reversed;
  edges.reserve(3 * mesh.triangles.size());
  reversed.reserve(3 * mesh.triangles.size());
  for (const Triangle& t : mesh.triangles) {
    for (int k = 0; k < 3; ++k) {
      edges.push_back(edge_key(t[k], t[(k + 1) % 3]));
      reversed.push_back(edge_key(t[(k + 1) % 3], t[k]));
    }
  }
  std::sort(edges.begin(), edges.end());
  if (std::adjacent_find(edges.begin(), edges.end()) != edges.end()) return false;
  std::sort(reversed.begin(), reversed.end());
  return edges == reversed;
}

SolidMeasures solid_measures(std::span<const Point> points, std::span<const Triangle> triangles) {
  SolidMeasures m;
  const std::vector<uint32_t> used = used_points(points, triangles);
  if (used.empty()) return m;
  for (uint32_t i : used) {
    for (float c : points[i]) {
      if (!std::isfinite(c)) return {NAN, {NAN, NAN, NAN}, NAN, NAN};
    }
  }
  // Relative to the box centre, so that the rounding follows the solid's size rather
  // than its distance from the origin.
  Vec3d lo(points[used[0]]), hi = lo;
  for (uint32_t i : used) {
    const Vec3d p(points[i]);
    lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
    hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
  }
  const Vec3d origin = (lo + hi) * 0.5;

  // Each triangle with the origin spans a tetrahedron of signed volume det / 6 and
  // centroid (origin + a + b + c) / 4.
  double six_volume = 0;
  Vec3d moment;
  struct Face {
    double area2;
    uint32_t index;
    Vec3d normal;
  };
  std::vector<Face> faces;
  faces.reserve(triangles.size());
  for (uint32_t i = 0; i < triangles.size(); ++i) {
    const Triangle& t = triangles[i];
    const Vec3d a = Vec3d(points[t[0]]) - origin, b = Vec3d(points[t[1]]) - origin,
                c = Vec3d(points[t[2]]) - origin;
    const double det = dot(a, cross(b, c));
    six_volume += det;
    moment = moment + (a + b + c) * det;
    const Vec3d n = cross(b - a, c - a);
    const double area2 = dot(n, n);
    m.area += std::sqrt(area2) / 2;
    if (area2 > 0) faces.push_back({area2, i, n * (1 / std::sqrt(area2))});
  }
  m.volume = six_volume / 6;
  m.centroid = six_volume != 0 ? origin + moment * (1 / (4 * six_volume)) : Vec3d{NAN, NAN, NAN};

  // Largest first, ties by index, so the directions tried never depend on the sort.
  const size_t tried = std::min<size_t>(faces.size(), kNormalsTried);
  std::partial_sort(faces.begin(), faces.begin() + static_cast<std::ptrdiff_t>(tried), faces.end(),
                    [](const Face& x, const Face& y) {
                      return x.area2 > y.area2 || (x.area2 == y.area2 && x.index < y.index);
                    });
  std::vector<Vec3d> directions{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  for (size_t k = 0; k < tried; ++k) {
    // A large triangle may still be a sliver whose normal the float corners tilt by
    // their rounding over its height. The vector areas of all triangles facing the same
    // way (within about 0.01 radians) add up to the face's, which its outline fixes.
    Vec3d sum;
    for (const Face& f : faces) {
      if (dot(f.normal, faces[k].normal) >= kSameFacing) sum = sum + f.normal * std::sqrt(f.area2);
    }
    directions.push_back(sum * (1 / norm(sum)));
  }
  m.thickness = INFINITY;
  for (const Vec3d& u : directions) {
    double low = INFINITY, high = -INFINITY;
    for (uint32_t i : used) {
      const double s = dot(Vec3d(points[i]) - origin, u);
      low = std::min(low, s);
      high = std::max(high, s);
    }
    m.thickness = std::min(m.thickness, high - low);
  }
  return m;
}

std::vector<uint32_t> pieces_of(size_t point_count, std::span<const Triangle> triangles) {
  // Union-find over the corners, with path halving.
  std::vector<uint32_t> parent(point_count);
  for (uint32_t i = 0; i < parent.size(); ++i) parent[i] = i;
  auto root = [&](uint32_t v) {
    while (parent[v] != v) v = parent[v] = parent[parent[v]];
    return v;
  };
  for (const Triangle& t : triangles) {
    parent[root(t[1])] = root(t[0]);
    parent[root(t[2])] = root(t[0]);
  }
  constexpr uint32_t kNone = UINT32_MAX;
  std::vector<uint32_t> number(point_count, kNone);
  std::vector<uint32_t> piece(triangles.size());
  uint32_t count = 0;
  for (size_t i = 0; i < triangles.size(); ++i) {
    uint32_t& n = number[root(triangles[i][0])];
    if (n == kNone) n = count++;
    piece[i] = n;
  }
  return piece;
}

std::vector<SolidMeasures> piece_measures(std::span<const Point> points, std::span<const Triangle> triangles) {
  std::vector<std::vector<Triangle>> pieces;
  const std::vector<uint32_t> piece = pieces_of(points.size(), triangles);
  for (size_t i = 0; i < triangles.size(); ++i) {
    if (piece[i] == pieces.size()) pieces.emplace_back();
    pieces[piece[i]].push_back(triangles[i]);
  }
  std::vector<SolidMeasures> out;
  out.reserve(pieces.size());
  for (const std::vector<Triangle>& p : pieces) out.push_back(solid_measures(points, p));
  return out;
}

}  // namespace orvex
