#include "geometry/point_groups.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <unordered_map>

namespace orvex {
namespace {

// Union by smaller root, so that every root is the smallest index of its group.
class Groups {
 public:
  explicit Groups(size_t n) : parent_(n) { std::iota(parent_.begin(), parent_.end(), 0u); }

  uint32_t find(uint32_t i) {
    while (parent_[i] != i) {
      parent_[i] = parent_[parent_[i]];
      i = parent_[i];
    }
    return i;
  }

  void join(uint32_t i, uint32_t j) {
    i = find(i);
    j = find(j);
    if (i != j) parent_[std::max(i, j)] = std::min(i, j);
  }

  std::vector<uint32_t> labels() {
    for (uint32_t i = 0; i < parent_.size(); ++i) parent_[i] = find(i);
    return std::move(parent_);
  }

 private:
  std::vector<uint32_t> parent_;
};

bool close(const std::array<double, 3>& p, const std::array<double, 3>& q, double limit) {
  const double dx = p[0] - q[0], dy = p[1] - q[1], dz = p[2] - q[2];
  return (dx * dx + dy * dy) + dz * dz <= limit;
}

// Cells of side a little over the distance: two close points lie in the same or in
// neighbouring cells as long as each coordinate over the side stays below 2^30, where
// its rounding is far below the margin.
constexpr double kCellMargin = 1.0 + 0x1p-20;
constexpr double kMaxCell = 0x1p30;

struct CellHash {
  size_t operator()(const std::array<int64_t, 3>& c) const {
    uint64_t h = 0x9e3779b97f4a7c15u;
    for (int64_t v : c) h = (h ^ static_cast<uint64_t>(v)) * 0xff51afd7ed558ccdu;
    return static_cast<size_t>(h ^ (h >> 29));
  }
};

void join_by_cells(std::span<const std::array<double, 3>> points, const std::vector<uint32_t>& finite,
                   double side, double limit, Groups& groups) {
  std::unordered_map<std::array<int64_t, 3>, std::vector<uint32_t>, CellHash> cells;
  std::vector<std::array<int64_t, 3>> cell_of(points.size());
  for (uint32_t i : finite) {
    for (int k = 0; k < 3; ++k) cell_of[i][k] = static_cast<int64_t>(std::floor(points[i][k] / side));
    cells[cell_of[i]].push_back(i);
  }
  for (uint32_t i : finite) {
    const std::array<int64_t, 3> c = cell_of[i];
    for (int64_t x = c[0] - 1; x <= c[0] + 1; ++x) {
      for (int64_t y = c[1] - 1; y <= c[1] + 1; ++y) {
        for (int64_t z = c[2] - 1; z <= c[2] + 1; ++z) {
          auto at = cells.find({x, y, z});
          if (at == cells.end()) continue;
          for (uint32_t j : at->second) {
            if (j > i && groups.find(i) != groups.find(j) && close(points[i], points[j], limit)) groups.join(i, j);
          }
        }
      }
    }
  }
}

// Sorted by x, each point against those after it until the x gap alone is too far.
void join_by_sweep(std::span<const std::array<double, 3>> points, std::vector<uint32_t> order, double limit,
                   Groups& groups) {
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return points[a][0] < points[b][0]; });
  for (size_t s = 0; s < order.size(); ++s) {
    const uint32_t i = order[s];
    for (size_t t = s + 1; t < order.size(); ++t) {
      const uint32_t j = order[t];
      const double dx = points[j][0] - points[i][0];
      if (dx * dx > limit) break;  // and so for every later point: the sum is no smaller
      if (groups.find(i) != groups.find(j) && close(points[i], points[j], limit)) groups.join(i, j);
    }
  }
}

}  // namespace

std::vector<uint32_t> distance_groups(std::span<const std::array<double, 3>> points, double distance) {
  Groups groups(points.size());
  std::vector<uint32_t> finite;
  for (uint32_t i = 0; i < points.size(); ++i) {
    const auto& p = points[i];
    if (std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2])) finite.push_back(i);
  }
  const double limit = distance * distance;
  if (finite.size() < 2) return groups.labels();
  if (limit == INFINITY) {
    for (uint32_t i : finite) groups.join(finite[0], i);
    return groups.labels();
  }
  if (distance == 0) {
    // Equal points, which squares that underflow to 0 would not tell from near ones.
    std::sort(finite.begin(), finite.end(), [&](uint32_t a, uint32_t b) { return points[a] < points[b]; });
    for (size_t k = 1; k < finite.size(); ++k) {
      if (points[finite[k]] == points[finite[k - 1]]) groups.join(finite[k], finite[k - 1]);
    }
    return groups.labels();
  }
  const double side = distance * kCellMargin;
  bool cells_fit = side > 0 && std::isfinite(side);
  for (size_t k = 0; cells_fit && k < finite.size(); ++k) {
    for (double v : points[finite[k]]) cells_fit = cells_fit && std::abs(v / side) < kMaxCell;
  }
  if (cells_fit) {
    join_by_cells(points, finite, side, limit, groups);
  } else {
    join_by_sweep(points, std::move(finite), limit, groups);
  }
  return groups.labels();
}

}  // namespace orvex
