#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "clash.h"
#include "geometry/mesh_contact.h"
#include "plain_pass.h"

namespace orvex {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::string key(const char* prefix, const std::string& suffix) {
  std::string k = prefix;
  k += suffix;
  return k;
}

TriMesh box_mesh(Point lo, Point hi) {
  std::vector<Point> points;
  for (int i = 0; i < 8; ++i) {
    points.push_back({(i & 1) ? hi[0] : lo[0], (i & 2) ? hi[1] : lo[1], (i & 4) ? hi[2] : lo[2]});
  }
  std::vector<Triangle> triangles = {{0, 2, 1}, {1, 2, 3}, {4, 5, 6}, {5, 7, 6}, {0, 1, 4}, {1, 5, 4},
                                     {2, 6, 3}, {3, 6, 7}, {0, 4, 2}, {2, 4, 6}, {1, 3, 5}, {3, 7, 5}};
  return TriMesh(std::move(points), std::move(triangles));
}

// A tetrahedron with random corners around `centre`: no two faces of two such meshes are
// parallel, so the nearest or deepest triangle pair is unique and so is the point.
TriMesh tetra_mesh(std::mt19937& rng, Point centre, float size) {
  std::uniform_real_distribution<float> u(-size, size);
  std::vector<Point> points;
  for (int i = 0; i < 4; ++i) points.push_back({centre[0] + u(rng), centre[1] + u(rng), centre[2] + u(rng)});
  return TriMesh(std::move(points), {{0, 2, 1}, {0, 1, 3}, {1, 2, 3}, {2, 0, 3}});
}

// Random tetrahedra in a small cube, so that many pairs cross or pass within the reach.
// Model b holds five of a's objects themselves, as when one model is clashed against
// itself, and ten more of a's ids on other meshes.
void random_scene(uint32_t seed, std::vector<MeshObject>& a, std::vector<MeshObject>& b) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> at(0.0f, 6.0f);
  std::uniform_real_distribution<float> size(0.2f, 1.2f);
  std::vector<std::pair<Point, float>> shapes;
  for (int i = 0; i < 60; ++i) shapes.push_back({{at(rng), at(rng), at(rng)}, size(rng)});
  for (int i = 0; i < 40; ++i) {
    std::mt19937 shape_rng(seed * 1000 + i);
    a.push_back({key("a", std::to_string(i)), tetra_mesh(shape_rng, shapes[i].first, shapes[i].second), uint64_t(i)});
  }
  for (int i = 0; i < 40; ++i) {
    const int shape = i < 5 ? i : 20 + i;  // b0..b4 are a0..a4 themselves
    std::mt19937 shape_rng(seed * 1000 + shape);
    // b5..b14 take ids of a with other meshes: never tested against their namesakes.
    std::string id = i < 15 ? key("a", std::to_string(i < 5 ? i : i + 5)) : key("b", std::to_string(i));
    b.push_back({id, tetra_mesh(shape_rng, shapes[shape].first, shapes[shape].second), uint64_t(i)});
  }
}

class ClashDifferential : public ::testing::TestWithParam<float> {};

TEST_P(ClashDifferential, SameRecordsAsAllPairs) {
  const float min_dist = GetParam();
  size_t reported = 0;
  for (uint32_t seed = 1; seed <= 5; ++seed) {
    std::vector<MeshObject> objects_a, objects_b;
    random_scene(seed, objects_a, objects_b);
    const Model a(std::move(objects_a), {});
    const Model b(std::move(objects_b), {});
    PassStats stats;
    ClashRequest request;
    request.min_dist = min_dist;
    const std::vector<CollisionRecord> got = records_of(clash_models(a, b, request, &stats), a, b);
    const std::vector<CollisionRecord> want = testing::plain_pass(a, b, min_dist);
    ASSERT_EQ(got.size(), want.size()) << "seed " << seed;
    for (size_t i = 0; i < got.size(); ++i) {
      SCOPED_TRACE("seed " + std::to_string(seed) + ", record " + std::to_string(i));
      EXPECT_EQ(got[i].id_a, want[i].id_a);
      EXPECT_EQ(got[i].id_b, want[i].id_b);
      EXPECT_EQ(std::memcmp(&got[i].dist, &want[i].dist, sizeof(float)), 0) << got[i].dist << " vs " << want[i].dist;
      EXPECT_EQ(got[i].point, want[i].point);
    }
    EXPECT_LT(stats.object_pairs, a.size() * b.size());
    if (!(min_dist > -kInf)) {
      EXPECT_EQ(stats.object_pairs, 0u);  // nothing can be accepted
    }
    reported += got.size();
  }
  if (min_dist >= 0.0f) {
    EXPECT_GT(reported, 0u) << "the scenes test nothing";
  }
}

INSTANTIATE_TEST_SUITE_P(Thresholds, ClashDifferential,
                         ::testing::Values(0.0f, 0.1f, 0.5f, 2.0f, -0.05f, kNaN, kInf, -kInf));

// Building floors of square bays: model a has a slab, a column and two walls per bay,
// model b a duct per bay that runs through the bay's west wall.
void building(int bays_x, int bays_y, int floors, std::vector<MeshObject>& a, std::vector<MeshObject>& b) {
  for (int f = 0; f < floors; ++f) {
    for (int i = 0; i < bays_x; ++i) {
      for (int j = 0; j < bays_y; ++j) {
        const float x = 6.0f * i, y = 6.0f * j, z = 3.5f * f;
        const std::string bay = std::to_string((f * bays_x + i) * bays_y + j);
        a.push_back({key("slab", bay), box_mesh({x, y, z - 0.25f}, {x + 6, y + 6, z}), a.size()});
        a.push_back({key("column", bay), box_mesh({x - 0.2f, y - 0.2f, z}, {x + 0.2f, y + 0.2f, z + 3.25f}), a.size()});
        a.push_back({key("wallx", bay), box_mesh({x + 0.2f, y - 0.1f, z}, {x + 5.8f, y + 0.1f, z + 3.25f}), a.size()});
        a.push_back({key("wally", bay), box_mesh({x - 0.1f, y + 0.2f, z}, {x + 0.1f, y + 5.8f, z + 3.25f}), a.size()});
        b.push_back({key("duct", bay), box_mesh({x - 1, y + 2, z + 2.3f}, {x + 4, y + 2.6f, z + 2.6f}), b.size()});
      }
    }
  }
}

TEST(ClashPass, ObjectPairsGrowLinearlyWithTheBuilding) {
  std::vector<uint64_t> pairs, tests;
  for (int scale : {1, 2, 4}) {
    std::vector<MeshObject> objects_a, objects_b;
    building(8 * scale, 8, 3, objects_a, objects_b);
    const Model a(std::move(objects_a), {});
    const Model b(std::move(objects_b), {});
    PassStats stats;
    ClashRequest request;
    request.min_dist = 0.05f;
    const size_t clashes = clash_models(a, b, request, &stats).size();
    EXPECT_EQ(clashes, b.size());  // every duct crosses one wall
    pairs.push_back(stats.object_pairs);
    tests.push_back(stats.box_tests);
  }
  EXPECT_GE(pairs[0], 192u);
  EXPECT_LE(pairs[2], 4 * pairs[0] + pairs[0] / 4);       // quadratic growth would be 16x
  EXPECT_LE(tests[2], 6 * tests[0]);                      // n log n, far below 16x
}

// The plain loop over every pair under the request's selection, self and equal-id rules:
// the pairs the pass and candidate_pairs must consider.
template <class Keep>
void plain_pairs(const Model& a, const Model& b, const ClashRequest& request, Keep&& keep) {
  for (uint32_t i = 0; i < a.size(); ++i) {
    if (!request.select_a.empty() && !request.select_a[i]) continue;
    for (uint32_t j = request.self ? i + 1 : 0; j < b.size(); ++j) {
      if (!request.select_b.empty() && !request.select_b[j]) continue;
      if (a.objects()[i].id != b.objects()[j].id) keep(i, j);
    }
  }
}

bool same_bits(float x, float y) { return std::memcmp(&x, &y, sizeof x) == 0; }

// Every way of running the pass: thread counts, selections, self-clash, thresholds.
// Hits, their order and the work counters must equal the plain loop's and each other's.
TEST(ClashThreads, PassAndCandidatesEqualThePlainLoopForEveryThreadCount) {
  size_t compared = 0;
  for (uint32_t seed = 1; seed <= 3; ++seed) {
    std::vector<MeshObject> objects_a, objects_b;
    random_scene(seed, objects_a, objects_b);
    building(4, 4, 2, objects_a, objects_b);  // enough objects for several full batches
    const Model a(std::move(objects_a), {});
    const Model b(std::move(objects_b), {});
    std::mt19937 rng(seed);
    std::vector<uint8_t> mask_a(a.size()), mask_b(b.size());
    for (uint8_t& f : mask_a) f = rng() % 3 != 0;
    for (uint8_t& f : mask_b) f = rng() % 3 != 0;

    for (int variant = 0; variant < 3; ++variant) {
      const bool self = variant == 2;
      const Model& other = self ? a : b;
      ClashRequest request;
      request.self = self;
      if (variant == 1) {
        request.select_a = mask_a;
        request.select_b = mask_b;
      }
      for (float min_dist : {0.0f, 0.3f, kInf}) {
        request.min_dist = min_dist;
        std::vector<Hit> want;
        plain_pairs(a, other, request, [&](uint32_t i, uint32_t j) {
          auto c = mesh_contact(a.objects()[i].mesh, other.objects()[j].mesh, kPrediction);
          if (c && min_dist > c->dist) want.push_back({i, j, c->dist, c->point1, c->point2});
        });
        std::vector<ObjectPair> near;
        plain_pairs(a, other, request, [&](uint32_t i, uint32_t j) {
          if (within_reach(a.objects()[i].mesh.bounds(), other.objects()[j].mesh.bounds(), kPrediction))
            near.emplace_back(i, j);
        });
        PassStats first;
        for (unsigned threads : {1u, 2u, 3u, 8u}) {
          SCOPED_TRACE("seed " + std::to_string(seed) + ", variant " + std::to_string(variant) + ", min_dist " +
                       std::to_string(min_dist) + ", threads " + std::to_string(threads));
          request.threads = threads;
          PassStats stats;
          const std::vector<Hit> got = clash_models(a, other, request, &stats);
          ASSERT_EQ(got.size(), want.size());
          for (size_t k = 0; k < got.size(); ++k) {
            EXPECT_EQ(got[k].a, want[k].a);
            EXPECT_EQ(got[k].b, want[k].b);
            EXPECT_TRUE(same_bits(got[k].dist, want[k].dist)) << got[k].dist << " vs " << want[k].dist;
            EXPECT_EQ(got[k].point_a, want[k].point_a);
            EXPECT_EQ(got[k].point_b, want[k].point_b);
          }
          if (threads == 1) first = stats;
          EXPECT_EQ(stats.object_pairs, first.object_pairs);
          EXPECT_EQ(stats.triangle_pairs, first.triangle_pairs);
          EXPECT_EQ(stats.box_tests, first.box_tests);
          EXPECT_EQ(candidate_pairs(a, other, request), near);
          compared += got.size();
        }
      }
    }
  }
  EXPECT_GT(compared, 1000u) << "the scenes test too little";
}

TEST(ClashThreads, ContactsOfAPairListInPairOrder) {
  std::vector<MeshObject> objects_a, objects_b;
  random_scene(4, objects_a, objects_b);
  const Model a(std::move(objects_a), {});
  const Model b(std::move(objects_b), {});
  std::vector<ObjectPair> pairs;
  for (uint32_t k = 0; k < 500; ++k) pairs.emplace_back(k * 7 % a.size(), k * 13 % b.size());
  ClashRequest request;
  size_t found = 0;
  for (unsigned threads : {1u, 3u}) {
    request.threads = threads;
    const std::vector<std::optional<Contact>> got = contacts(a, b, pairs, request);
    ASSERT_EQ(got.size(), pairs.size());
    for (size_t k = 0; k < pairs.size(); ++k) {
      auto want = mesh_contact(a.objects()[pairs[k].first].mesh, b.objects()[pairs[k].second].mesh, kPrediction);
      ASSERT_EQ(got[k].has_value(), want.has_value()) << k;
      if (!want) continue;
      ++found;
      EXPECT_TRUE(same_bits(got[k]->dist, want->dist));
      EXPECT_EQ(got[k]->point1, want->point1);
      EXPECT_EQ(got[k]->point2, want->point2);
    }
  }
  EXPECT_GT(found, 20u);
  pairs.emplace_back(0, static_cast<uint32_t>(b.size()));
  EXPECT_THROW(contacts(a, b, pairs, request), Fault);
}

TEST(ClashThreads, NoCandidatesForAReachBelowZero) {
  std::vector<MeshObject> objects_a, objects_b;
  random_scene(5, objects_a, objects_b);
  const Model a(std::move(objects_a), {});
  const Model b(std::move(objects_b), {});
  ClashRequest request;
  for (float reach : {-0.5f, kNaN, -kInf}) {
    request.reach = reach;
    EXPECT_TRUE(candidate_pairs(a, b, request).empty()) << reach;
  }
  request.reach = kInf;
  size_t all = 0;
  plain_pairs(a, b, request, [&](uint32_t, uint32_t) { ++all; });
  EXPECT_EQ(candidate_pairs(a, b, request).size(), all);
}

}  // namespace
}  // namespace orvex
