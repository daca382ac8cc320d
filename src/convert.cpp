#include "convert.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "diagnostics.h"

namespace orvex {
namespace {

// Double -> integer conversions cut off the fraction, send negative values and NaN
// to 0 and clamp at the type's maximum; they never fail.
uint64_t to_u64(double x) {
  if (!(x > 0)) return 0;
  if (x >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(x);
}

uint32_t to_u32(double x) {
  if (!(x > 0)) return 0;
  if (x >= 4294967296.0) return std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(x);
}

/// Appends the points of one mesh's vertex numbers. A trailing group of one or two
/// numbers is reported with its group number (counted within this mesh) and dropped.
void decode_points(const double* v, size_t count, const std::string& id, std::vector<Point>& out,
                   DiagnosticSink& sink) {
  size_t whole = count / 3;
  for (size_t k = 0; k < whole; ++k) {
    out.push_back({static_cast<float>(v[3 * k]), static_cast<float>(v[3 * k + 1]),
                   static_cast<float>(v[3 * k + 2])});
  }
  if (count % 3 != 0) {
    sink.report({DiagnosticCode::PartialPoint, id,
                 "ERROR: chunk " + std::to_string(whole + 1) + " has invalid size. Obj id: " + id});
  }
}

/// A corner index that names no point of its own mesh: the first one met is kept for
/// the report, and the object is left out.
struct BadIndex {
  uint32_t index;
  size_t mesh_points;
};

/// Appends the fan triangles of one mesh's count-prefixed faces. Corner indices are
/// shifted by `first_point`, the points that the object's earlier meshes contributed.
/// A face whose indices run past the end ends this mesh's faces; a count below 3 is a
/// fault.
void decode_triangles(const double* f, size_t length, uint32_t first_point, size_t mesh_points,
                      std::vector<Triangle>& out, std::optional<BadIndex>& bad) {
  size_t p = 0;
  while (p < length) {
    uint64_t n = to_u64(f[p]);
    if (n < 3) throw Fault(FaultKind::Input, "Invalid face size: " + std::to_string(n));
    if (n >= length - p) return;  // its last index would stand at p + n, past the end
    const double* corners = f + p + 1;
    auto corner = [&](size_t i) -> uint32_t {
      uint32_t c = to_u32(corners[i]);
      if (c >= mesh_points) {
        if (!bad) bad = BadIndex{c, mesh_points};
        return first_point;  // never used: the object is dropped
      }
      return first_point + c;
    };
    uint32_t c0 = corner(0);
    uint32_t prev = corner(1);
    for (size_t i = 2; i < n; ++i) {
      uint32_t next = corner(i);
      out.push_back({c0, prev, next});
      prev = next;
    }
    p += static_cast<size_t>(n) + 1;
  }
}

/// One object's collision mesh, or nothing after printing why it is left out.
std::optional<TriMesh> build_collision_mesh(const LoadedObject& object, DiagnosticSink& sink) {
  std::vector<Point> points;
  points.reserve(object.vertices.size() / 3);
  std::vector<size_t> first_point(object.meshes.size());
  for (size_t m = 0; m < object.meshes.size(); ++m) {
    const MeshRange& r = object.meshes[m];
    first_point[m] = points.size();
    decode_points(object.vertices.data() + r.vertex_begin, r.vertex_end - r.vertex_begin, object.id,
                  points, sink);
  }
  if (points.size() > std::numeric_limits<uint32_t>::max()) {
    throw Fault(FaultKind::Input, "object " + object.id + " has more points than 32-bit indices can address");
  }

  std::vector<Triangle> triangles;
  std::optional<BadIndex> bad;
  for (size_t m = 0; m < object.meshes.size(); ++m) {
    const MeshRange& r = object.meshes[m];
    size_t end = m + 1 < first_point.size() ? first_point[m + 1] : points.size();
    decode_triangles(object.faces.data() + r.face_begin, r.face_end - r.face_begin,
                     static_cast<uint32_t>(first_point[m]), end - first_point[m], triangles, bad);
  }

  if (points.size() < 3) {
    sink.report({DiagnosticCode::TooFewPoints, object.id,
                 "ERROR: Object id " + object.id + " has " + std::to_string(points.size()) + " vertices."});
    return std::nullopt;
  }
  if (bad) {
    sink.report({DiagnosticCode::FaceIndexOutOfRange, object.id,
                 "ERROR: Object id " + object.id + " has face index " + std::to_string(bad->index) +
                     " but only " + std::to_string(bad->mesh_points) + " vertices."});
    return std::nullopt;
  }
  try {
    return TriMesh(std::move(points), std::move(triangles));
  } catch (const MeshError& e) {
    sink.report({DiagnosticCode::MeshRejected, object.id, std::string("Error creating mesh: ") + e.what()});
    return std::nullopt;
  }
}

}  // namespace

std::vector<MeshObject> build_mesh_objects(std::vector<LoadedObject> objects, DiagnosticSink& sink) {
  std::vector<MeshObject> out;
  out.reserve(objects.size());
  for (size_t p = 0; p < objects.size(); ++p) {
    LoadedObject& object = objects[p];
    if (std::optional<TriMesh> mesh = build_collision_mesh(object, sink)) {
      out.push_back(MeshObject{std::move(object.id), std::move(*mesh), p});
    }
    // Give the numbers back as soon as they are decoded: peak memory holds one model's
    // numbers or its meshes, not both.
    object = LoadedObject{};
  }
  return out;
}

}  // namespace orvex
