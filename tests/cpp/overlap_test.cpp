#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "overlap.h"
#include "solids.h"

namespace orvex {
namespace {

using testing::MeshData;

// A box without its top face.
MeshData open_box(Point lo, Point hi) {
  MeshData m = testing::box(lo, hi);
  m.triangles.erase(m.triangles.begin() + 2, m.triangles.begin() + 4);
  return m;
}

Model model_of(const std::vector<MeshData>& meshes, const char* prefix) {
  std::vector<MeshObject> objects;
  for (size_t i = 0; i < meshes.size(); ++i) objects.push_back({prefix + std::to_string(i), meshes[i].build(), i});
  return Model(std::move(objects), {});
}

// Field by field, floats bit for bit (NaN included).
bool same(const PairSurvey& x, const PairSurvey& y) {
  auto bits = [](const auto& u, const auto& v) { return std::memcmp(&u, &v, sizeof u) == 0; };
  return x.a == y.a && x.b == y.b && bits(x.dist, y.dist) && bits(x.point_a, y.point_a) &&
         bits(x.point_b, y.point_b) && x.closed_a == y.closed_a && x.closed_b == y.closed_b &&
         x.duplicate == y.duplicate && x.inside == y.inside && x.approximate == y.approximate &&
         bits(x.volume, y.volume) && bits(x.centre, y.centre) && bits(x.thickness, y.thickness);
}

const PairSurvey* find(const std::vector<PairSurvey>& found, uint32_t a, uint32_t b) {
  for (const PairSurvey& s : found)
    if (s.a == a && s.b == b) return &s;
  return nullptr;
}

TEST(Survey, KindsOfHandBuiltPairs) {
  std::mt19937 rng(2);
  // Pair i is a[i] with b[i]; the pairs lie 10 apart.
  auto at = [](float x, Point lo, Point hi) {
    return testing::box({lo[0] + x, lo[1], lo[2]}, {hi[0] + x, hi[1], hi[2]});
  };
  const Model a = model_of({at(0, {0, 0, 0}, {8, 8, 8}), at(20, {0, 0, 0}, {2, 1, 1}), at(40, {0, 0, 0}, {8, 8, 8}),
                            open_box({60, 0, 0}, {68, 8, 8}), at(80, {0, 0, 0}, {1, 1, 1}),
                            open_box({100, 0, 0}, {108, 8, 8})},
                           "a");
  const Model b = model_of({at(0, {2, 2, 2}, {4, 4, 4}),                                  // inside a0
                            testing::moved(testing::copied(at(20, {0, 0, 0}, {2, 1, 1}), rng), 0.0004f, 0, 0),
                            at(40, {0, 2, 2}, {2, 4, 4}),                                 // flush in a2
                            at(60, {2, 2, 2}, {4, 4, 4}),                                 // in the open a3
                            at(82, {0, 0, 0}, {1, 1, 1}),                                 // 1 from a4
                            at(100, {7, 2, 2}, {9, 4, 4})},                               // through a5's side
                           "b");
  ClashRequest request;
  const std::vector<PairSurvey> found = survey_pairs(a, b, request, 0.001f);
  ASSERT_EQ(found.size(), 5u);

  const PairSurvey* s = find(found, 0, 0);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->inside, Inside::b_in_a);
  EXPECT_FALSE(s->approximate);
  EXPECT_FALSE(s->duplicate);
  EXPECT_FLOAT_EQ(s->dist, 2);
  EXPECT_DOUBLE_EQ(s->volume, 8);
  EXPECT_DOUBLE_EQ(s->centre.x, 3);
  EXPECT_DOUBLE_EQ(s->thickness, 2);

  s = find(found, 1, 1);
  ASSERT_NE(s, nullptr);
  EXPECT_TRUE(s->duplicate);
  EXPECT_TRUE(s->closed_a && s->closed_b);
  EXPECT_EQ(s->inside, Inside::none);
  EXPECT_TRUE(std::isnan(s->volume));
  EXPECT_TRUE(survey_pairs(a, b, request, 0.0003f).size() == 5);  // still met as solids
  EXPECT_FALSE(find(survey_pairs(a, b, request, 0.0003f), 1, 1)->duplicate);

  // Flush: the surfaces touch, so only a boolean can tell how much the solids share.
  s = find(found, 2, 2);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->inside, Inside::none);
  EXPECT_EQ(s->dist, 0.0f);

  s = find(found, 3, 3);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->inside, Inside::b_in_a);
  EXPECT_TRUE(s->approximate);
  EXPECT_FALSE(s->closed_a);
  EXPECT_TRUE(std::isnan(s->volume));

  EXPECT_EQ(find(found, 4, 4), nullptr);

  // An open mesh crossed: the surface pair clash_models keeps, nothing more.
  s = find(found, 5, 5);
  ASSERT_NE(s, nullptr);
  EXPECT_LT(s->dist, 0);
  EXPECT_EQ(s->inside, Inside::none);
}

// Random tetrahedra, some copied (split, shuffled, moved by under the tolerance), some
// shrunk inside others: the surveyed pairs that clash_models keeps are its hits with
// its distances and points, in its order; the others are there for a volumetric
// reason; and no thread count changes anything.
TEST(Survey, SurfacePairsAreTheClashPassOwnOnEveryThreadCount) {
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> at(0, 6), size(0.3f, 1.2f), noise(-0.0004f, 0.0004f);
    std::vector<MeshData> ma, mb;
    for (int i = 0; i < 40; ++i) ma.push_back(testing::tetrahedron(rng, {at(rng), at(rng), at(rng)}, size(rng)));
    for (int i = 0; i < 40; ++i) {
      if (i < 8) {
        MeshData copy = testing::copied(ma[i], rng);
        for (Point& p : copy.points) p = {p[0] + noise(rng), p[1] + noise(rng), p[2] + noise(rng)};
        mb.push_back(copy);
      } else if (i < 16) {
        // Shrunk by half towards a's centroid: inside it.
        MeshData inner = ma[i];
        const Vec3d c = solid_measures(inner.points, inner.triangles).centroid;
        for (Point& p : inner.points) p = to_point(c + (Vec3d(p) - c) * 0.5);
        mb.push_back(inner);
      } else {
        mb.push_back(testing::tetrahedron(rng, {at(rng), at(rng), at(rng)}, size(rng)));
      }
    }
    mb.push_back(open_box({1, 1, 1}, {5, 5, 5}));
    const Model a = model_of(ma, "a");
    const Model b = model_of(mb, "b");
    for (float min_dist : {0.0f, 0.1f}) {
      for (bool self : {false, true}) {
        const Model& other = self ? a : b;
        ClashRequest request;
        request.min_dist = min_dist;
        request.self = self;
        const std::vector<Hit> hits = clash_models(a, other, request);
        const std::vector<PairSurvey> found = survey_pairs(a, other, request, 0.001f);
        size_t h = 0, duplicates = 0, inside = 0;
        for (const PairSurvey& s : found) {
          if (min_dist > s.dist) {
            ASSERT_LT(h, hits.size());
            EXPECT_EQ(s.a, hits[h].a);
            EXPECT_EQ(s.b, hits[h].b);
            EXPECT_EQ(std::memcmp(&s.dist, &hits[h].dist, sizeof(float)), 0);
            EXPECT_EQ(s.point_a, hits[h].point_a);
            EXPECT_EQ(s.point_b, hits[h].point_b);
            ++h;
          } else {
            EXPECT_TRUE(s.duplicate || s.inside != Inside::none || (s.closed_a && s.closed_b && s.dist <= 0));
          }
          duplicates += s.duplicate;
          inside += s.inside != Inside::none;
        }
        EXPECT_EQ(h, hits.size());
        if (!self) {
          EXPECT_GE(duplicates, 8u);
          EXPECT_GE(inside, 8u);
        }
        request.threads = 3;
        const std::vector<PairSurvey> threaded = survey_pairs(a, other, request, 0.001f);
        ASSERT_EQ(threaded.size(), found.size());
        for (size_t i = 0; i < found.size(); ++i) {
          EXPECT_TRUE(same(threaded[i], found[i])) << i;
        }
      }
    }
  }
}

}  // namespace
}  // namespace orvex
