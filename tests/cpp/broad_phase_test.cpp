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
