// Times one mesh contact query on two meshes read from files written by bench/dense.py,
// straight through the engine library: no model text, no loading, no host.
//
//   orvex_contact_bench MESH1 MESH2 [REPEATS]
//
// Prints one JSON object: build and query times in seconds (query: best and median of
// the repeats), the contact found, and the query's work counters.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "clash.h"
#include "geometry/mesh_contact.h"
#include "geometry/trimesh.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct RawMesh {
  std::vector<orvex::Point> points;
  std::vector<orvex::Triangle> triangles;
};

RawMesh read_mesh(const char* path) {
  std::ifstream in(path, std::ios::binary);
  uint32_t counts[2];
  if (!in.read(reinterpret_cast<char*>(counts), sizeof counts)) {
    throw std::runtime_error(std::string("cannot read ") + path);
  }
  RawMesh mesh;
  mesh.points.resize(counts[0]);
  mesh.triangles.resize(counts[1]);
  in.read(reinterpret_cast<char*>(mesh.points.data()),
          static_cast<std::streamsize>(mesh.points.size() * sizeof(orvex::Point)));
  in.read(reinterpret_cast<char*>(mesh.triangles.data()),
          static_cast<std::streamsize>(mesh.triangles.size() * sizeof(orvex::Triangle)));
  if (!in) throw std::runtime_error(std::string("truncated mesh file ") + path);
  for (const orvex::Triangle& t : mesh.triangles) {
    for (uint32_t c : t) {
      if (c >= mesh.points.size()) throw std::runtime_error(std::string("bad index in ") + path);
    }
  }
  return mesh;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: %s MESH1 MESH2 [REPEATS]\n", argv[0]);
    return 2;
  }
  const int repeats = argc == 4 ? std::max(1, std::stoi(argv[3])) : 5;
  try {
    RawMesh raw1 = read_mesh(argv[1]);
    RawMesh raw2 = read_mesh(argv[2]);
    const size_t triangles1 = raw1.triangles.size();
    const size_t triangles2 = raw2.triangles.size();

    auto start = Clock::now();
    orvex::TriMesh mesh1(std::move(raw1.points), std::move(raw1.triangles));
    orvex::TriMesh mesh2(std::move(raw2.points), std::move(raw2.triangles));
    const double build = seconds_since(start);

    std::vector<double> times;
    std::optional<orvex::Contact> contact;
    orvex::ContactStats stats;
    for (int r = 0; r < repeats; ++r) {
      stats = {};
      start = Clock::now();
      contact = orvex::mesh_contact(mesh1, mesh2, orvex::kPrediction, &stats);
      times.push_back(seconds_since(start));
    }
    std::sort(times.begin(), times.end());

    std::printf("{\"triangles\": [%zu, %zu], \"build_s\": %.9g, \"query_best_s\": %.9g, "
                "\"query_median_s\": %.9g, \"repeats\": %d, \"node_pairs\": %llu, "
                "\"triangle_pairs\": %llu, ",
                triangles1, triangles2, build, times.front(), times[times.size() / 2], repeats,
                static_cast<unsigned long long>(stats.node_pairs),
                static_cast<unsigned long long>(stats.triangle_pairs));
    if (contact) {
      std::printf("\"contact\": {\"dist\": %.9g, \"point1\": [%.9g, %.9g, %.9g], "
                  "\"point2\": [%.9g, %.9g, %.9g]}}\n",
                  contact->dist, contact->point1[0], contact->point1[1], contact->point1[2],
                  contact->point2[0], contact->point2[1], contact->point2[2]);
    } else {
      std::printf("\"contact\": null}\n");
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
