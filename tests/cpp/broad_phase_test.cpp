#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "geometry/broad_phase.h"

namespace orvex {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(BroadPhase, QueryMatchesAllBoxes) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> at(-50.0f, 50.0f), size(0.0f, 8.0f);
  std::vector<Aabb> boxes(500);
  for (size_t i = 0; i < boxes.size(); ++i) {
    if (i % 50 == 0) continue;  // an empty box, as for a mesh without finite triangles
    for (int k = 0; k < 3; ++k) {
      boxes[i].lo[k] = at(rng);
      boxes[i].hi[k] = boxes[i].lo[k] + size(rng);
    }
  }
  const BroadPhase tree(boxes);
  tree.validate();
  std::vector<uint32_t> stack;
  for (float reach : {0.0f, 0.3f, 0.5f}) {
    for (size_t q = 0; q < boxes.size(); q += 7) {
      std::vector<uint32_t> got, want;
      tree.query(boxes[q], reach, got, stack, nullptr);
      for (size_t i = 0; i < boxes.size() && !boxes[q].empty(); ++i) {
        bool near = !boxes[i].empty();
        for (int k = 0; k < 3; ++k) {
          near = near && std::max(double(boxes[i].lo[k]) - boxes[q].hi[k], double(boxes[q].lo[k]) - boxes[i].hi[k]) <= reach;
        }
        if (near) want.push_back(i);
      }
      std::sort(got.begin(), got.end());
      EXPECT_EQ(got, want) << "query " << q << " reach " << reach;
    }
  }
}

// Against a scan of every box: boxes on a coarse grid so that distances tie, repeated
// boxes, empty and non-finite ones, points inside and far out, every limit and radius.
int64_t nearest_item(const std::vector<Aabb>& boxes, const std::array<double, 3>& p) {
  Neighbour best{INFINITY, 0};
  for (uint32_t i = 0; i < boxes.size(); ++i) {
    if (boxes[i].finite()) best = std::min(best, Neighbour{point_box_distance(p, boxes[i]), i});
  }
  return best.item;
}

TEST(BroadPhase, NearestMatchesAScan) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> cell(-6, 6), extent(0, 3);
  std::vector<Aabb> boxes(400);
  for (size_t i = 0; i < boxes.size(); ++i) {
    if (i % 37 == 0) continue;  // empty
    if (i % 41 == 0) {
      boxes[i] = boxes[i - 1];
      continue;
    }
    for (int k = 0; k < 3; ++k) {
      boxes[i].lo[k] = 0.5f * float(cell(rng));
      boxes[i].hi[k] = boxes[i].lo[k] + 0.5f * float(extent(rng));
    }
    if (i % 43 == 0) boxes[i].hi[1] = kInf;
  }
  const BroadPhase tree(boxes);
  std::uniform_real_distribution<double> at(-5.0, 5.0);
  std::vector<Neighbour> got, heap, want;
  for (int q = 0; q < 300; ++q) {
    std::array<double, 3> p{std::round(at(rng)) * 0.5, at(rng), q % 5 == 0 ? 1e9 : std::round(at(rng))};
    for (double radius : {0.0, 0.75, 2.0, double(kInf)}) {
      for (size_t limit : {size_t{0}, size_t{1}, size_t{7}, size_t{1000}}) {
        // Every other query leaves out items numbered from 1000: the scan's nearest and
        // one at random; -1 and a number without the offset leave out nothing.
        const bool skipping = q % 2 == 1;
        const std::array<int64_t, 4> skip{-1, 1000 + q % 400, 1000 + nearest_item(boxes, p), q % 400};
        want.clear();
        for (uint32_t i = 0; i < boxes.size(); ++i) {
          const double d = point_box_distance(p, boxes[i]);
          const bool left_out = skipping && std::find(skip.begin(), skip.end(), 1000 + int64_t(i)) != skip.end();
          if (boxes[i].finite() && d <= radius && !left_out) want.push_back({d, i});
        }
        std::sort(want.begin(), want.end());
        want.resize(std::min(want.size(), limit));
        tree.nearest(p, radius, limit, got, heap, skipping ? std::span<const int64_t>(skip) : std::span<const int64_t>(),
                     1000);
        ASSERT_EQ(got.size(), want.size()) << q << " " << radius << " " << limit;
        for (size_t k = 0; k < got.size(); ++k) {
          ASSERT_EQ(got[k].item, want[k].item) << q << " " << radius << " " << limit << " #" << k;
          ASSERT_EQ(got[k].dist, want[k].dist);
        }
      }
    }
  }
  for (auto p : {std::array<double, 3>{NAN, 0, 0}, std::array<double, 3>{0, kInf, 0}}) {
    tree.nearest(p, 10, 5, got, heap);
    EXPECT_TRUE(got.empty());
  }
  tree.nearest({0, 0, 0}, NAN, 5, got, heap);
  EXPECT_TRUE(got.empty());
}

// The largest float gap not above the reach must pass, whatever rounding hi + reach
// would suffer in float, and the next float must fail: the slack stays below its ulp.
TEST(WithinReach, ExactAtTheReach) {
  for (auto [hi, reach] : {std::pair{1.0f, 0.3f}, {1.0f, 0.1f}, {-7.3f, 0.5f}, {1e7f, 0.5f}, {3.0e5f, 0.01f}}) {
    float lo = static_cast<float>(double(hi) + double(reach));
    while (double(lo) - double(hi) > double(reach)) lo = std::nextafter(lo, -kInf);
    while (double(std::nextafter(lo, kInf)) - double(hi) <= double(reach)) lo = std::nextafter(lo, kInf);
    const Aabb a{{hi - 1, 0, 0}, {hi, 1, 1}};
    const Aabb near{{lo, 0, 0}, {lo + 1, 1, 1}};
    const Aabb far{{std::nextafter(lo, kInf), 0, 0}, {lo + 1, 1, 1}};
    EXPECT_TRUE(within_reach(a, near, reach)) << hi << " " << reach;
    EXPECT_TRUE(within_reach(near, a, reach)) << hi << " " << reach;
    EXPECT_FALSE(within_reach(a, far, reach)) << hi << " " << reach;
  }
}

}  // namespace
}  // namespace orvex
