#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "convert.h"
#include "diagnostics.h"
#include "stdout_capture.h"

namespace orvex {
namespace {

using testing::capture_stdout;

/// An object displayed by the given meshes, each (vertices, faces), laid out as the
/// loader lays them out.
LoadedObject object(std::string id, const std::vector<std::pair<std::vector<double>, std::vector<double>>>& meshes) {
  LoadedObject o;
  o.id = std::move(id);
  for (const auto& [v, f] : meshes) {
    MeshRange r{o.faces.size(), o.faces.size() + f.size(), o.vertices.size(), o.vertices.size() + v.size()};
    o.faces.insert(o.faces.end(), f.begin(), f.end());
    o.vertices.insert(o.vertices.end(), v.begin(), v.end());
    o.meshes.push_back(r);
  }
  return o;
}

const std::vector<double> kTriangle = {0, 0, 0, 1, 0, 0, 0, 1, 0};
const std::vector<double> kSquare = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0};

struct Converted {
  std::vector<MeshObject> meshes;
  std::string out;
};

Converted convert(std::vector<LoadedObject> objects) {
  Converted c;
  c.out = capture_stdout([&] {
    StdoutSink out;
    c.meshes = build_mesh_objects(std::move(objects), out);
  });
  for (const MeshObject& m : c.meshes) m.mesh.validate();
  return c;
}

std::vector<Triangle> triangles_of(std::vector<double> vertices, std::vector<double> faces) {
  std::vector<LoadedObject> list;
  list.push_back(object("k", {{std::move(vertices), std::move(faces)}}));
  Converted c = convert(std::move(list));
  if (c.meshes.empty()) return {};
  auto t = c.meshes[0].mesh.triangles();
  return {t.begin(), t.end()};
}

TEST(Convert, FanTriangulation) {
  std::vector<double> six(18, 0.0);
  EXPECT_EQ(triangles_of(kTriangle, {3, 0, 1, 2}), (std::vector<Triangle>{{0, 1, 2}}));
  EXPECT_EQ(triangles_of(kSquare, {4, 0, 1, 2, 3}), (std::vector<Triangle>{{0, 1, 2}, {0, 2, 3}}));
  EXPECT_EQ(triangles_of(six, {5, 4, 3, 2, 1, 0}), (std::vector<Triangle>{{4, 3, 2}, {4, 2, 1}, {4, 1, 0}}));
  // The second face announces four corners but only two follow.
  EXPECT_EQ(triangles_of(kSquare, {3, 0, 1, 2, 4, 2, 3}), (std::vector<Triangle>{{0, 1, 2}}));
  // Counts and indices are cut off, clamped, negative and NaN to 0; 1e30 ends decoding.
  EXPECT_EQ(triangles_of(kSquare, {3.7, 1.9, -4, NAN, 1e30, 0, 1, 2}), (std::vector<Triangle>{{1, 0, 0}}));
}

TEST(Convert, PointsNarrowToNearestFloat) {
  std::vector<LoadedObject> list;
  list.push_back(object("k", {{{0.1, 0, 0, 1, 0, 0, 1e39, 1, 0}, {3, 0, 1, 2}}}));
  Converted c = convert(std::move(list));
  ASSERT_EQ(c.meshes.size(), 1u);
  auto p = c.meshes[0].mesh.points();
  EXPECT_EQ(p[0][0], 0.1f);
  EXPECT_TRUE(std::isinf(p[2][0]));
}

struct MessageCase {
  const char* name;
  std::vector<double> vertices;
  std::vector<double> faces;
  std::string out;
  bool kept;
};

class ConvertMessages : public ::testing::TestWithParam<MessageCase> {};

TEST_P(ConvertMessages, ExactLines) {
  const MessageCase& c = GetParam();
  std::vector<LoadedObject> list;
  list.push_back(object("obj-1", {{c.vertices, c.faces}}));
  Converted got = convert(std::move(list));
  EXPECT_EQ(got.out, c.out);
  EXPECT_EQ(got.meshes.size(), c.kept ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConvertMessages,
    ::testing::Values(
        MessageCase{"trailing_number", {0, 0, 0, 1, 0, 0, 0, 1, 0, 5}, {3, 0, 1, 2},
                    "ERROR: chunk 4 has invalid size. Obj id: obj-1\n", true},
        MessageCase{"two_numbers", {1, 2}, {3, 0, 1, 2},
                    "ERROR: chunk 1 has invalid size. Obj id: obj-1\nERROR: Object id obj-1 has 0 vertices.\n", false},
        MessageCase{"two_points", {0, 0, 0, 1, 0, 0}, {3, 0, 1, 2}, "ERROR: Object id obj-1 has 2 vertices.\n", false},
        MessageCase{"incomplete_face", kTriangle, {3, 0, 1},
                    "Error creating mesh: A triangle mesh must contain at least one triangle.\n", false},
        MessageCase{"no_faces_decoded", kTriangle, {3, 0, 1, 2, 4},
                    "", true},
        MessageCase{"degenerate_triangle", kTriangle, {3, 0, 0, 1}, "", true},
        MessageCase{"index_without_point", kTriangle, {3, 0, 1, 7},
                    "ERROR: Object id obj-1 has face index 7 but only 3 vertices.\n", false},
        MessageCase{"huge_index", kTriangle, {3, 0, 1, 5e9},
                    "ERROR: Object id obj-1 has face index 4294967295 but only 3 vertices.\n", false},
        // Fewer than 3 points is reported before an index without a point.
        MessageCase{"too_few_points_first", {0, 0, 0}, {3, 0, 1, 2}, "ERROR: Object id obj-1 has 1 vertices.\n",
                    false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Convert, BadFaceCountIsAFaultAfterThePointMessage) {
  for (double count : {2.9, -1.0, 0.0, 0.5}) {
    std::vector<LoadedObject> list;
    list.push_back(object("k", {{{0, 0, 0, 1}, {3, 0, 1, 2, count, 0, 1, 2}}}));
    std::string message;
    std::string out = capture_stdout([&] {
      try {
        StdoutSink out;
        build_mesh_objects(std::move(list), out);
      } catch (const Fault& f) {
        message = f.what();
      }
    });
    EXPECT_EQ(out, "ERROR: chunk 2 has invalid size. Obj id: k\n");
    EXPECT_EQ(message, "Invalid face size: " + std::to_string(static_cast<int>(count > 0 ? count : 0)));
  }
}

TEST(Convert, SourceIndexCountsEveryEntry) {
  std::vector<LoadedObject> list;
  list.push_back(object("a", {{kTriangle, {3, 0, 1, 2}}}));
  list.push_back(object("b", {{{0, 0, 0, 1, 1, 1}, {3, 0, 1, 2}}}));
  list.push_back(object("c", {{kTriangle, {3, 0, 1, 2}}}));
  Converted c = convert(std::move(list));
  ASSERT_EQ(c.meshes.size(), 2u);
  EXPECT_EQ(c.meshes[0].id, "a");
  EXPECT_EQ(c.meshes[0].source_index, 0u);
  EXPECT_EQ(c.meshes[1].id, "c");
  EXPECT_EQ(c.meshes[1].source_index, 2u);
  EXPECT_EQ(c.out, "ERROR: Object id b has 2 vertices.\n");
}

TEST(Convert, EachMeshIndexesItsOwnPoints) {
  std::vector<LoadedObject> list;
  // The second mesh's chunk message carries its own group number; its trailing number
  // is dropped without shifting the third mesh's points.
  list.push_back(object("k", {{kTriangle, {3, 0, 1, 2}},
                              {{0, 0, 5, 1, 0, 5, 0, 1, 5, 9}, {3, 2, 1, 0, 4}},
                              {kSquare, {4, 0, 1, 2, 3}}}));
  Converted c = convert(std::move(list));
  EXPECT_EQ(c.out, "ERROR: chunk 4 has invalid size. Obj id: k\n");
  ASSERT_EQ(c.meshes.size(), 1u);
  auto t = c.meshes[0].mesh.triangles();
  EXPECT_EQ(std::vector<Triangle>(t.begin(), t.end()),
            (std::vector<Triangle>{{0, 1, 2}, {5, 4, 3}, {6, 7, 8}, {6, 8, 9}}));
  EXPECT_EQ(c.meshes[0].mesh.points().size(), 10u);
}

TEST(Convert, IndexBeyondItsOwnMeshIsReportedWithThatMeshsCount) {
  std::vector<LoadedObject> list;
  // Index 3 would name a point of the object, but not of the second mesh's own three.
  list.push_back(object("k", {{kSquare, {3, 0, 1, 2}}, {kTriangle, {3, 0, 1, 3}}}));
  Converted c = convert(std::move(list));
  EXPECT_EQ(c.out, "ERROR: Object id k has face index 3 but only 3 vertices.\n");
  EXPECT_TRUE(c.meshes.empty());
}

}  // namespace
}  // namespace orvex
