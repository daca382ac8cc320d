// Valid random models from the fuzz bytes, checked against slower truths: the pass
// against the plain N x M pass over the same contact query, and the contact query
// against the brute force over all triangle pairs. Coordinates lie on a grid of
// sixteenths so that touching, coplanar and shared-edge cases come up often.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "diagnostics.h"
#include "fuzz_checks.h"
#include "pipeline.h"

namespace {

struct Mesh {
  std::vector<double> vertices;
  std::vector<double> faces;
};

std::string number(double x) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", x);
  return buf;
}

std::string numbers(const std::vector<double>& xs, size_t begin, size_t end) {
  std::string out = "[";
  for (size_t i = begin; i < end; ++i) out += (i > begin ? "," : "") + number(xs[i]);
  return out + "]";
}

double coordinate(FuzzedDataProvider& in) { return in.ConsumeIntegralInRange<int>(0, 64) / 16.0; }

void add_triangle(Mesh& m, uint32_t i, uint32_t j, uint32_t k) { m.faces.insert(m.faces.end(), {3.0, double(i), double(j), double(k)}); }

Mesh random_mesh(FuzzedDataProvider& in) {
  Mesh m;
  switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0: {  // closed box, faces as quads
      double lo[3], hi[3];
      for (int k = 0; k < 3; ++k) {
        lo[k] = coordinate(in);
        hi[k] = lo[k] + in.ConsumeIntegralInRange<int>(1, 32) / 16.0;
      }
      for (int c = 0; c < 8; ++c)
        for (int k = 0; k < 3; ++k) m.vertices.push_back(c >> k & 1 ? hi[k] : lo[k]);
      const int quads[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4}, {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
      for (const auto& q : quads) m.faces.insert(m.faces.end(), {4.0, double(q[0]), double(q[1]), double(q[2]), double(q[3])});
      break;
    }
    case 1: {  // triangle soup over shared points, degenerate triangles included
      int points = in.ConsumeIntegralInRange<int>(3, 10);
      for (int i = 0; i < 3 * points; ++i) m.vertices.push_back(coordinate(in));
      int triangles = in.ConsumeIntegralInRange<int>(1, 10);
      for (int t = 0; t < triangles; ++t) {
        add_triangle(m, in.ConsumeIntegralInRange<uint32_t>(0, points - 1), in.ConsumeIntegralInRange<uint32_t>(0, points - 1),
                     in.ConsumeIntegralInRange<uint32_t>(0, points - 1));
      }
      break;
    }
    default: {  // flat grid at one height
      int nx = in.ConsumeIntegralInRange<int>(1, 3), ny = in.ConsumeIntegralInRange<int>(1, 3);
      double x0 = coordinate(in), y0 = coordinate(in), z = coordinate(in);
      double step = in.ConsumeIntegralInRange<int>(1, 8) / 16.0;
      for (int j = 0; j <= ny; ++j)
        for (int i = 0; i <= nx; ++i) m.vertices.insert(m.vertices.end(), {x0 + i * step, y0 + j * step, z});
      for (int j = 0; j < ny; ++j) {
        for (int i = 0; i < nx; ++i) {
          uint32_t v = j * (nx + 1) + i, w = v + nx + 1;
          add_triangle(m, v, v + 1, w + 1);
          add_triangle(m, v, w + 1, w);
        }
      }
    }
  }
  return m;
}

/// One displayed object of `meshes` meshes, written inline or as references to mesh
/// lines whose number lists are split into chunk lines.
std::string random_object(FuzzedDataProvider& in, const std::string& key, int& chunk_serial) {
  std::string lines, elements;
  int meshes = in.ConsumeIntegralInRange<int>(1, 2);
  bool referenced = in.ConsumeBool();
  size_t chunk = in.ConsumeIntegralInRange<size_t>(1, 9);
  for (int n = 0; n < meshes; ++n) {
    Mesh m = random_mesh(in);
    std::string mesh_key = key + "-mesh" + std::to_string(n);
    if (!elements.empty()) elements += ",";
    if (!referenced) {
      elements += "{\"speckle_type\":\"Objects.Geometry.Mesh\",\"id\":\"" + mesh_key + "\",\"vertices\":" +
                  numbers(m.vertices, 0, m.vertices.size()) + ",\"faces\":" + numbers(m.faces, 0, m.faces.size()) + "}";
      continue;
    }
    std::string members;
    for (auto [name, list] : {std::pair{"vertices", &m.vertices}, std::pair{"faces", &m.faces}}) {
      std::string refs;
      for (size_t start = 0; start < list->size(); start += chunk) {
        std::string chunk_key = "chunk" + std::to_string(chunk_serial++);
        lines += chunk_key + "\t{\"speckle_type\":\"Speckle.Core.Models.DataChunk\",\"data\":" +
                 numbers(*list, start, std::min(start + chunk, list->size())) + "}\n";
        refs += std::string(refs.empty() ? "" : ",") + "{\"speckle_type\":\"reference\",\"referencedId\":\"" + chunk_key + "\"}";
      }
      members += std::string(",\"") + name + "\":[" + refs + "]";
    }
    lines += mesh_key + "\t{\"speckle_type\":\"Objects.Geometry.Mesh\",\"id\":\"" + mesh_key + "\"" + members + "}\n";
    elements += "{\"speckle_type\":\"reference\",\"referencedId\":\"" + mesh_key + "\"}";
  }
  lines += key + "\t{\"speckle_type\":\"Objects.BuiltElements.Wall\",\"id\":\"" + key +
           "\",\"displayValue\":[" + elements + "]}\r\n";
  return lines;
}

/// A model of distinct keys drawn from a pool shared by both models, so that equal ids
/// across the models come up; returns the model text and its number of objects.
std::string random_model(FuzzedDataProvider& in, size_t& objects, int& chunk_serial) {
  std::string text;
  uint32_t used = 0;
  int count = in.ConsumeIntegralInRange<int>(1, 5);
  objects = 0;
  for (int i = 0; i < count; ++i) {
    int k = in.ConsumeIntegralInRange<int>(0, 7);
    if (used >> k & 1) continue;
    used |= 1u << k;
    ++objects;
    text += random_object(in, "o" + std::to_string(k), chunk_serial);
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  orvex::fuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvex;
  FuzzedDataProvider in(data, size);
  const float thresholds[] = {0.0f, 0.0625f, 0.25f, 0.5f, 1.0f, INFINITY};
  const float min_dist = in.PickValueInArray(thresholds);
  int chunk_serial = 0;
  size_t count_a = 0, count_b = 0;
  std::string text_a = random_model(in, count_a, chunk_serial);
  std::string text_b = random_model(in, count_b, chunk_serial);

  StdoutSink out;
  ClashRequest request;
  request.min_dist = min_dist;
  const Model a = build_model(text_a, request, out);
  const Model b = build_model(text_b, request, out);
  fuzz::check(a.size() == count_a && b.size() == count_b, "a valid object did not become a mesh");
  for (const MeshObject& m : a.objects()) m.mesh.validate();
  for (const MeshObject& m : b.objects()) m.mesh.validate();

  fuzz::check_same_records(records_of(clash_models(a, b, request), a, b), fuzz::plain_pass(a, b, min_dist),
                           min_dist);
  for (const MeshObject& p : a.objects())
    for (const MeshObject& q : b.objects()) fuzz::check_contact(p.mesh, q.mesh);
  return 0;
}
