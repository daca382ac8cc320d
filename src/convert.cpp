#include "convert.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>

#include "diagnostics.h"

namespace orvex {
namespace {

// A corner index: to_index, clamped at UINT32_MAX.
uint32_t to_u32(double x) {
  return static_cast<uint32_t>(std::min<uint64_t>(loader::to_index(x), std::numeric_limits<uint32_t>::max()));
}

/// Reads the numbers of consecutive runs one after another.
class NumberReader {
 public:
  explicit NumberReader(std::span<const NumberRun> runs) : runs_(runs) {}
  double next() {
    while (at_ == runs_[run_].size) {
      ++run_;
      at_ = 0;
    }
    return runs_[run_][at_++];
  }

 private:
  std::span<const NumberRun> runs_;
  size_t run_ = 0;
  size_t at_ = 0;
};

size_t count_of(std::span<const NumberRun> runs) {
  size_t n = 0;
  for (const NumberRun& r : runs) n += r.size;
  return n;
}

/// Appends the points of one mesh's vertex numbers, each narrowed to the nearest float.
/// A trailing group of one or two numbers is reported with its group number (counted
/// within this mesh) and dropped.
void decode_points(std::span<const NumberRun> runs, const std::string& id, std::vector<Point>& out,
                   DiagnosticSink& sink) {
  float group[3];
  size_t have = 0;
  auto add = [&](const auto* values, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      group[have++] = static_cast<float>(values[i]);
      if (have == 3) {
        out.push_back({group[0], group[1], group[2]});
        have = 0;
      }
    }
  };
  for (const NumberRun& r : runs) r.visit(add);
  if (have != 0) {
    sink.report({DiagnosticCode::PartialPoint, id,
                 "ERROR: chunk " + std::to_string(count_of(runs) / 3 + 1) + " has invalid size. Obj id: " + id});
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
void decode_triangles(std::span<const NumberRun> runs, uint32_t first_point, size_t mesh_points,
                      std::vector<Triangle>& out, std::optional<BadIndex>& bad) {
  const size_t length = count_of(runs);
  NumberReader f(runs);
  size_t p = 0;
  while (p < length) {
    uint64_t n = loader::to_index(f.next());
    if (n < 3) throw Fault(FaultKind::Input, "Invalid face size: " + std::to_string(n));
    if (n >= length - p) return;  // its last index would stand at p + n, past the end
    auto corner = [&]() -> uint32_t {
      uint32_t c = to_u32(f.next());
      if (c >= mesh_points) {
        if (!bad) bad = BadIndex{c, mesh_points};
        return first_point;  // never used: the object is dropped
      }
      return first_point + c;
    };
    uint32_t c0 = corner();
    uint32_t prev = corner();
    for (size_t i = 2; i < n; ++i) {
      uint32_t next = corner();
      out.push_back({c0, prev, next});
      prev = next;
    }
    p += static_cast<size_t>(n) + 1;
  }
}

/// One object's collision mesh, or nothing after reporting why it is left out.
std::optional<TriMesh> build_collision_mesh(const LoadedBatch& batch, const LoadedObject& object,
                                            DiagnosticSink& sink) {
  const std::span<const NumberRun> runs(batch.runs);
  const std::span<const LoadedMesh> meshes(batch.meshes.data() + object.meshes_begin,
                                           object.meshes_end - object.meshes_begin);
  auto faces = [&](const LoadedMesh& m) { return runs.subspan(m.faces_begin, m.vertices_begin - m.faces_begin); };
  auto vertices = [&](const LoadedMesh& m) {
    return runs.subspan(m.vertices_begin, m.vertices_end - m.vertices_begin);
  };

  size_t numbers = 0;
  for (const LoadedMesh& m : meshes) numbers += count_of(vertices(m));
  std::vector<Point> points;
  points.reserve(numbers / 3);
  std::vector<size_t> first_point(meshes.size());
  for (size_t m = 0; m < meshes.size(); ++m) {
    first_point[m] = points.size();
    decode_points(vertices(meshes[m]), object.id, points, sink);
  }
  if (points.size() > std::numeric_limits<uint32_t>::max()) {
    throw Fault(FaultKind::Input, "object " + object.id + " has more points than 32-bit indices can address");
  }

  std::vector<Triangle> triangles;
  std::optional<BadIndex> bad;
  for (size_t m = 0; m < meshes.size(); ++m) {
    size_t end = m + 1 < first_point.size() ? first_point[m + 1] : points.size();
    decode_triangles(faces(meshes[m]), static_cast<uint32_t>(first_point[m]), end - first_point[m], triangles, bad);
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

std::vector<MeshObject> build_mesh_objects(LoadedModel& loaded, Executor& executor, DiagnosticSink& sink) {
  std::vector<std::vector<MeshObject>> converted(loaded.batches.size());
  std::vector<size_t> first(loaded.batches.size() + 1, 0);
  for (size_t b = 0; b < loaded.batches.size(); ++b) first[b + 1] = first[b] + loaded.batches[b].objects.size();
  for_each_ordered(executor, loaded.batches.size(), sink, [&](size_t b, DiagnosticSink& batch_sink) {
    LoadedBatch& batch = loaded.batches[b];
    // Filled apart and moved in once: neighbouring batches' vectors share cache lines.
    std::vector<MeshObject> meshes;
    meshes.reserve(batch.objects.size());
    for (size_t i = 0; i < batch.objects.size(); ++i) {
      LoadedObject& object = batch.objects[i];
      if (std::optional<TriMesh> mesh = build_collision_mesh(batch, object, batch_sink)) {
        meshes.push_back(MeshObject{std::move(object.id), std::move(*mesh), first[b] + i});
      }
    }
    converted[b] = std::move(meshes);
    // What the batch's meshes were read from goes as soon as they are built.
    batch.runs = {};
    batch.meshes = {};
  });
  std::vector<MeshObject> out;
  out.reserve(first.back());
  for (std::vector<MeshObject>& part : converted) {
    for (MeshObject& m : part) out.push_back(std::move(m));
  }
  return out;
}

}  // namespace orvex
