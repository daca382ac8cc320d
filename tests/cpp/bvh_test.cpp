#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "geometry/bvh.h"
#include "geometry/trimesh.h"
#include "random_meshes.h"

namespace orvex {
namespace {

using testing::MeshData;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kMax = std::numeric_limits<float>::max();

struct BuildCase {
  std::string name;
  std::function<MeshData()> make;
};

MeshData with_nonfinite_corners() {
  MeshData m = testing::soup(7, 200, 0, 10, 1);
  // Every fifth triangle gets one bad coordinate, some of them sharing a point with a
  // finite triangle that must stay in the hierarchy.
  for (size_t t = 0; t < m.triangles.size(); t += 5) {
    float bad = t % 3 == 0 ? kNaN : t % 3 == 1 ? kInf : -kInf;
    m.points[m.triangles[t][t % 3]][t % 3 == 2 ? 2 : 0] = bad;
  }
  m.triangles.push_back({m.triangles[0][1], m.triangles[0][2], m.triangles[1][0]});
  return m;
}

MeshData degenerate() {
  MeshData m;
  for (int i = 0; i < 50; ++i) {
    float x = static_cast<float>(i % 7);
    m.add({x, 0, 0}, {x, 0, 0}, {x, 0, 0});          // a point
    m.add({x, 1, 0}, {x + 1, 2, 0}, {x + 2, 3, 0});  // a segment
  }
  m.triangles.push_back({0, 0, 0});  // repeated index
  return m;
}

MeshData duplicates(int copies) {
  MeshData m;
  m.points = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  m.triangles.assign(copies, {0, 1, 2});
  return m;
}

MeshData exponential_spacing() {
  MeshData m;
  float x = 1e-30f;
  for (int i = 0; i < 2000; ++i, x *= 1.05f) m.add({x, 0, 0}, {x, 1, 0}, {x, 0, 1});
  return m;
}

MeshData near_float_range() {
  MeshData m;
  m.add({-kMax, -kMax, -kMax}, {kMax, kMax, kMax}, {kMax, -kMax, 0});
  m.add({kMax, kMax, 0}, {kMax, kMax, 1}, {kMax, 0, kMax});
  m.add({-kMax, 0, 0}, {-kMax, 1, 0}, {-kMax, 0, 1});
  m.add({0, 0, 0}, {1, 0, 0}, {0, 1, 0});
  return m;
}

MeshData all_nonfinite() {
  MeshData m;
  m.add({kNaN, 0, 0}, {1, 0, 0}, {0, 1, 0});
  m.add({0, kInf, 0}, {1, 0, 0}, {0, 1, 0});
  return m;
}

const BuildCase kBuildCases[] = {
    {"OneTriangle", [] { return testing::soup(1, 1, 0, 1, 1); }},
    {"TwoTriangles", [] { return testing::soup(2, 2, 0, 1, 1); }},
    {"FiveTriangles", [] { return testing::soup(3, 5, 0, 1, 1); }},
    {"Soup1k", [] { return testing::soup(4, 1000, -50, 100, 2); }},
    {"Grid", [] { return testing::grid(60, 40, -3, 5, 0.25f, 1); }},
    {"Degenerate", degenerate},
    {"Duplicates", [] { return duplicates(1000); }},
    {"NonFiniteCorners", with_nonfinite_corners},
    {"AllNonFinite", all_nonfinite},
    {"ExponentialSpacing", exponential_spacing},
    {"NearFloatRange", near_float_range},
    {"Soup100k", [] { return testing::soup(5, 100000, 0, 1000, 3); }},
};

class Build : public ::testing::TestWithParam<BuildCase> {};

TEST_P(Build, Validates) {
  MeshData data = GetParam().make();
  TriMesh mesh = data.build();
  ASSERT_NO_THROW(mesh.validate());

  // The mesh keeps its input as given.
  ASSERT_EQ(mesh.triangles().size(), data.triangles.size());
  for (size_t i = 0; i < data.triangles.size(); ++i) EXPECT_EQ(mesh.triangles()[i], data.triangles[i]);
  size_t finite = 0;
  for (const Triangle& t : data.triangles) finite += finite_triangle(data.points, t);
  EXPECT_EQ(mesh.bvh().order.size(), finite);
}

INSTANTIATE_TEST_SUITE_P(Meshes, Build, ::testing::ValuesIn(kBuildCases),
                         [](const auto& info) { return info.param.name; });

TEST(Build, NonFiniteTrianglesLeaveTheHierarchyAndBounds) {
  MeshData m;
  m.add({0, 0, 0}, {1, 0, 0}, {0, 1, 0});
  m.add({5, 5, 5}, {6, 5, 5}, {5, kNaN, 5});
  m.add({-kInf, 0, 0}, {1, 0, 0}, {0, 1, 0});
  TriMesh mesh = m.build();
  mesh.validate();
  EXPECT_EQ(mesh.bvh().order, std::vector<uint32_t>{0});
  EXPECT_EQ(mesh.bounds().lo, (Point{0, 0, 0}));
  EXPECT_EQ(mesh.bounds().hi, (Point{1, 1, 0}));

  TriMesh none = all_nonfinite().build();
  none.validate();
  EXPECT_TRUE(none.bvh().nodes.empty());
  EXPECT_TRUE(none.bounds().empty());
}

TEST(Build, EmptyTriangleListIsRejected) {
  try {
    TriMesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {});
    FAIL() << "no MeshError";
  } catch (const MeshError& e) {
    EXPECT_STREQ(e.what(), "A triangle mesh must contain at least one triangle.");
  }
}


size_t depth_of(const Bvh& bvh) {
  size_t depth = 0;
  std::vector<std::pair<uint32_t, size_t>> stack{{0, 1}};
  while (!stack.empty() && !bvh.nodes.empty()) {
    auto [at, d] = stack.back();
    stack.pop_back();
    depth = std::max(depth, d);
    const BvhNode& node = bvh.nodes[at];
    if (!node.leaf()) stack.insert(stack.end(), {{node.index, d + 1}, {node.index + 1, d + 1}});
  }
  return depth;
}

// The median build over object boxes: empty and non-finite boxes stay out, and equal
// boxes (stacked copies of one element) still give a depth of log2(n) + 1 at most.
TEST(BoxBuild, ValidatesAndStaysShallow) {
  const MeshData soup = testing::soup(9, 3000, -100, 200, 5);
  std::vector<Aabb> boxes;
  for (const Triangle& t : soup.triangles) boxes.push_back(triangle_box(soup.points, t));
  boxes[5] = Aabb{};
  boxes[6].hi[1] = kInf;
  boxes[7].lo[2] = kNaN;
  boxes.insert(boxes.end(), 1000, Aabb{{1, 1, 1}, {2, 2, 2}});
  const Bvh bvh = build_box_bvh(boxes);
  ASSERT_NO_THROW(validate_bvh(bvh, boxes));
  EXPECT_EQ(bvh.order.size(), boxes.size() - 3);
  EXPECT_LE(depth_of(bvh), 13u);  // log2(3997) + 1
  EXPECT_TRUE(build_box_bvh(std::vector<Aabb>(3)).nodes.empty());
}

TEST(Build, CoincidentCentroidsStillGiveSmallLeavesAndLogDepth) {
  EXPECT_LE(depth_of(duplicates(4096).build().bvh()), 12u);
}

// Each corruption of a valid hierarchy must be reported by validate_bvh.
struct Corruption {
  std::string name;
  std::function<void(Bvh&)> apply;
};

BvhNode& first_inner(Bvh& b) {
  for (BvhNode& n : b.nodes)
    if (!n.leaf()) return n;
  throw std::runtime_error("no inner node");
}
BvhNode& first_leaf(Bvh& b) {
  for (BvhNode& n : b.nodes)
    if (n.leaf()) return n;
  throw std::runtime_error("no leaf");
}

const Corruption kCorruptions[] = {
    {"ChildOutsideParent", [](Bvh& b) { b.nodes[first_inner(b).index].box.hi[0] += 1000; }},
    {"LeafBoxMissesTriangle", [](Bvh& b) { first_leaf(b).box.hi = first_leaf(b).box.lo; }},
    {"TriangleTwice",
     [](Bvh& b) {
       for (BvhNode& n : b.nodes)
         if (n.count > 1) return void(b.order[n.index + 1] = b.order[n.index]);
     }},
    {"TriangleMissing", [](Bvh& b) { b.order.pop_back(); }},
    {"ChildIndexOutOfRange", [](Bvh& b) { first_inner(b).index = static_cast<uint32_t>(b.nodes.size()); }},
    {"Cycle",
     [](Bvh& b) {
       BvhNode& child = b.nodes[first_inner(b).index];
       child.index = 0;
       child.count = 0;
       child.box = b.nodes[0].box;
     }},
    {"OrphanNode", [](Bvh& b) { b.nodes.push_back(b.nodes.back()); }},
    {"LeafPastOrder", [](Bvh& b) { first_leaf(b).index = static_cast<uint32_t>(b.order.size()); }},
    {"LeafTooLarge", [](Bvh& b) { first_leaf(b).count = kMaxLeafItems + 1; }},
    {"TriangleIndexOutOfRange", [](Bvh& b) { b.order[0] = 1u << 30; }},
    {"NonFiniteBox", [](Bvh& b) { b.nodes[0].box.lo[1] = -kInf; }},
    {"NoRoot", [](Bvh& b) { b.nodes.clear(); }},
};

class Corrupt : public ::testing::TestWithParam<Corruption> {};

TEST_P(Corrupt, IsReported) {
  MeshData data = testing::soup(11, 300, 0, 10, 1);
  TriMesh mesh = data.build();
  Bvh bvh = mesh.bvh();
  GetParam().apply(bvh);
  EXPECT_THROW(validate_bvh(bvh, data.points, data.triangles), std::logic_error);
}

INSTANTIATE_TEST_SUITE_P(Hierarchy, Corrupt, ::testing::ValuesIn(kCorruptions),
                         [](const auto& info) { return info.param.name; });

TEST(Validate, NonFiniteTriangleInALeafIsReported) {
  MeshData data = testing::soup(12, 50, 0, 10, 1);
  TriMesh mesh = data.build();
  data.points[data.triangles[mesh.bvh().order[0]][0]][0] = kNaN;
  EXPECT_THROW(validate_bvh(mesh.bvh(), data.points, data.triangles), std::logic_error);
}

}  // namespace
}  // namespace orvex
