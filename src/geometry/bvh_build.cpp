#include <algorithm>
#include <array>
#include <cmath>

#include "diagnostics.h"
#include "geometry/bvh.h"

namespace orvex {

namespace {

constexpr int kBins = 16;
// Small nodes are split at the centroid median of their longest axis, which is much
// cheaper to find than the binned split and as good for so few triangles.
constexpr uint32_t kMedianSplitBelow = 32;

struct Ref {
  Aabb box;
  Point centroid;
  uint32_t item;
};

struct Task {
  uint32_t node, begin, end;
};

struct Split {
  int axis = -1;
  int bin = 0;  // refs in bins below this one go left
  double cost = INFINITY;
};

// Bin of a centroid coordinate over [lo, lo + extent], extent > 0. Computed in double so
// that extents up to twice the float range stay finite; the lowest centroid falls in bin 0
// and the highest in the last bin, so every split between them leaves both sides non-empty.
int bin_of(float c, double lo, double scale) {
  return std::min(kBins - 1, static_cast<int>((double(c) - lo) * scale));
}

Split best_split(std::span<const Ref> refs, const Aabb& centroids) {
  Split best;
  for (int axis = 0; axis < 3; ++axis) {
    double lo = centroids.lo[axis];
    double extent = double(centroids.hi[axis]) - lo;
    if (!(extent > 0)) continue;
    double scale = kBins / extent;
    std::array<Aabb, kBins> boxes{};
    std::array<uint32_t, kBins> counts{};
    for (const Ref& r : refs) {
      int b = bin_of(r.centroid[axis], lo, scale);
      boxes[b].grow(r.box);
      ++counts[b];
    }
    // right_cost[b]: area times count of bins b.. kBins-1.
    std::array<double, kBins> right_cost{};
    Aabb acc;
    uint32_t n = 0;
    for (int b = kBins - 1; b > 0; --b) {
      acc.grow(boxes[b]);
      n += counts[b];
      right_cost[b] = n ? acc.half_area() * n : INFINITY;
    }
    acc = Aabb{};
    n = 0;
    for (int b = 1; b < kBins; ++b) {
      acc.grow(boxes[b - 1]);
      n += counts[b - 1];
      if (n == 0 || n == refs.size()) continue;
      double cost = acc.half_area() * n + right_cost[b];
      if (cost < best.cost) best = {axis, b, cost};
    }
  }
  return best;
}

Ref ref_of(const Aabb& box, uint32_t item) {
  Point c;
  // Halving before adding keeps the centroid finite for boxes near the float range.
  for (int k = 0; k < 3; ++k) c[k] = box.lo[k] * 0.5f + box.hi[k] * 0.5f;
  return {box, c, item};
}

// The build over finite item boxes: nodes of more than `median_below` items are split
// by the binned surface-area heuristic, smaller ones at their centroid median.
Bvh build(std::vector<Ref> refs, uint32_t median_below) {
  Bvh bvh;
  if (refs.empty()) return bvh;
  bvh.nodes.reserve(2 * refs.size() - 1);
  bvh.nodes.push_back({});
  std::vector<Task> stack{{0, 0, static_cast<uint32_t>(refs.size())}};
  while (!stack.empty()) {
    Task task = stack.back();
    stack.pop_back();
    std::span<Ref> span(refs.data() + task.begin, task.end - task.begin);
    Aabb box, centroids;
    for (const Ref& r : span) {
      box.grow(r.box);
      centroids.grow(r.centroid);
    }
    uint32_t count = task.end - task.begin;
    uint32_t mid = task.begin;  // start of the right half; task.begin while a leaf
    if (count <= kMaxLeafItems) {
      // A leaf at once: binning a handful of items costs more than any split saves
      // the query, and most building elements are meshes of a dozen triangles.
    } else if (count <= median_below) {
      int axis = 0;
      for (int k = 1; k < 3; ++k) {
        if (centroids.hi[k] - centroids.lo[k] > centroids.hi[axis] - centroids.lo[axis]) axis = k;
      }
      mid = task.begin + count / 2;
      std::nth_element(span.begin(), span.begin() + count / 2, span.end(),
                       [axis](const Ref& x, const Ref& y) { return x.centroid[axis] < y.centroid[axis]; });
    } else {
      Split split = best_split(span, centroids);
      if (split.axis < 0) {
        // Every centroid coincides (duplicate or stacked triangles): no plane separates
        // them, so halve the run to keep leaves small.
        mid = task.begin + count / 2;
      } else {
        // More than kMaxLeafItems here, so the node is split whatever the costs say.
        int axis = split.axis;
        double lo = centroids.lo[axis];
        double scale = kBins / (double(centroids.hi[axis]) - lo);
        auto right = std::partition(span.begin(), span.end(), [&](const Ref& r) {
          return bin_of(r.centroid[axis], lo, scale) < split.bin;
        });
        mid = task.begin + static_cast<uint32_t>(right - span.begin());
      }
    }
    BvhNode& node = bvh.nodes[task.node];
    node.box = box;
    if (mid == task.begin) {
      node.index = task.begin;
      node.count = count;
      continue;
    }
    uint32_t left = static_cast<uint32_t>(bvh.nodes.size());
    node.index = left;
    node.count = 0;
    bvh.nodes.push_back({});
    bvh.nodes.push_back({});
    stack.push_back({left + 1, mid, task.end});
    stack.push_back({left, task.begin, mid});
  }

  // The reservation covered single-item leaves; most leaves hold more.
  bvh.nodes.shrink_to_fit();
  bvh.order.reserve(refs.size());
  for (const Ref& r : refs) bvh.order.push_back(r.item);
  return bvh;
}

// Node and slot indices are u32; a list this large could not be held in memory anyway.
void check_size(size_t items) {
  if (items > UINT32_MAX / 2) throw Fault(FaultKind::Input, "too many items for a hierarchy");
}

}  // namespace

bool finite_triangle(std::span<const Point> points, const Triangle& t) {
  for (uint32_t v : t)
    for (float c : points[v])
      if (!std::isfinite(c)) return false;
  return true;
}

Aabb triangle_box(std::span<const Point> points, const Triangle& t) {
  Aabb box;
  for (uint32_t v : t) box.grow(points[v]);
  return box;
}

Bvh build_bvh(std::span<const Point> points, std::span<const Triangle> triangles) {
  check_size(triangles.size());
  std::vector<Ref> refs;
  refs.reserve(triangles.size());
  for (uint32_t i = 0; i < triangles.size(); ++i) {
    if (finite_triangle(points, triangles[i])) refs.push_back(ref_of(triangle_box(points, triangles[i]), i));
  }
  return build(std::move(refs), kMedianSplitBelow);
}

Bvh build_box_bvh(std::span<const Aabb> boxes) {
  check_size(boxes.size());
  std::vector<Ref> refs;
  refs.reserve(boxes.size());
  for (uint32_t i = 0; i < boxes.size(); ++i) {
    if (boxes[i].finite()) refs.push_back(ref_of(boxes[i], i));
  }
  return build(std::move(refs), UINT32_MAX);
}

}  // namespace orvex
