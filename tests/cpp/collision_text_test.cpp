#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "collision_record.h"

namespace orvex {
namespace {

std::string dist_text(float dist) {
  CollisionRecord r{"A", "B", dist, {0, 0, 0}};
  std::string s = collision_text(r);
  size_t at = s.find("dist: ") + 6;
  return s.substr(at, s.find(',', at) - at);
}

TEST(CollisionText, Template) {
  CollisionRecord r{"A-1", "B-7", -0.125f, {1.0f, 2.5f, -3.14159f}};
  EXPECT_EQ(collision_text(r), "Collision(ids:('A-1', 'B-7'),dist: -0.12, point: (1.00, 2.50, -3.14))");
}

TEST(CollisionText, IdsVerbatim) {
  CollisionRecord r{"it's", "", 2.0f, {0, 0, 0}};
  EXPECT_EQ(collision_text(r), "Collision(ids:('it's', ''),dist: 2.00, point: (0.00, 0.00, 0.00))");
}

TEST(CollisionText, RoundsExactValueHalfToEven) {
  EXPECT_EQ(dist_text(0.125f), "0.12");
  EXPECT_EQ(dist_text(0.375f), "0.38");
  EXPECT_EQ(dist_text(1.005f), "1.00");  // stored as 1.00499999523
  EXPECT_EQ(dist_text(-0.001f), "-0.00");
  EXPECT_EQ(dist_text(-0.0f), "-0.00");
  EXPECT_EQ(dist_text(1e20f), "100000002004087734272.00");
  EXPECT_EQ(dist_text(std::numeric_limits<float>::max()),
            "340282346638528859811704183484516925440.00");
}

TEST(CollisionText, NonFinite) {
  EXPECT_EQ(dist_text(std::numeric_limits<float>::quiet_NaN()), "NaN");
  EXPECT_EQ(dist_text(-std::numeric_limits<float>::quiet_NaN()), "NaN");
  EXPECT_EQ(dist_text(INFINITY), "inf");
  EXPECT_EQ(dist_text(-INFINITY), "-inf");
}

}  // namespace
}  // namespace orvex
