// Times the stages of one clash run on two model text files, straight through the
// engine library, and sets them beside a bare simdjson parse of every line of the same
// texts: the bound on how fast loading can be.
//
//   orvex_stage_bench MODEL_A MODEL_B [MIN_DIST] [REPEATS]
//
// Diagnostics of the engine go to standard output as usual; the last line printed is one
// JSON object with the figures (times in seconds, best of the repeats; memory in bytes:
// resident size at start, with both texts read, and at its peak).

#include <simdjson.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "clash.h"
#include "model.h"
#include "convert.h"
#include "loader.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Read at its final size: a growing buffer would raise the peak resident size before
// the pipeline starts.
std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) throw std::runtime_error(std::string("cannot open ") + path);
  std::string text(static_cast<size_t>(in.tellg()), '\0');
  in.seekg(0);
  if (!in.read(text.data(), static_cast<std::streamsize>(text.size()))) {
    throw std::runtime_error(std::string("cannot read ") + path);
  }
  return text;
}

/// Resident set size now and at its peak, from /proc/self/status, in bytes.
struct Rss {
  uint64_t now = 0;
  uint64_t peak = 0;
};

Rss read_rss() {
  std::ifstream in("/proc/self/status");
  Rss rss;
  std::string line;
  while (std::getline(in, line)) {
    unsigned long long kib = 0;
    if (std::sscanf(line.c_str(), "VmRSS: %llu kB", &kib) == 1) rss.now = kib * 1024;
    if (std::sscanf(line.c_str(), "VmHWM: %llu kB", &kib) == 1) rss.peak = kib * 1024;
  }
  return rss;
}

/// Splits `text` into lines at LF, drops a CR before the LF, and parses the part after
/// each line's first TAB as one JSON document. `text` must be followed by simdjson's
/// padding: the bytes after one line are the next lines, so every line but the last
/// is padded by its successors. Returns the number of lines that parsed.
size_t parse_every_line(simdjson::dom::parser& parser, std::string_view text) {
  size_t parsed = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t tab = line.find('\t');
    if (tab != std::string_view::npos) {
      std::string_view json = line.substr(tab + 1);
      simdjson::dom::element root;
      if (!parser.parse(json.data(), json.size(), false).get(root)) ++parsed;
    }
    start = end + 1;
  }
  return parsed;
}

struct Stages {
  double load_a = 0, convert_a = 0, load_b = 0, convert_b = 0, pass = 0;
  size_t loaded_a = 0, loaded_b = 0, meshes_a = 0, meshes_b = 0, triangles = 0, results = 0;
  orvex::PassStats stats;
};

Stages run_once(const std::string& text_a, const std::string& text_b, float min_dist) {
  Stages s;
  orvex::StdoutSink out;
  auto start = Clock::now();
  std::vector<orvex::LoadedObject> loaded_a = orvex::load_objects(text_a, out);
  s.load_a = seconds_since(start);
  s.loaded_a = loaded_a.size();
  start = Clock::now();
  std::vector<orvex::MeshObject> a = orvex::build_mesh_objects(std::move(loaded_a), out);
  s.convert_a = seconds_since(start);

  start = Clock::now();
  std::vector<orvex::LoadedObject> loaded_b = orvex::load_objects(text_b, out);
  s.load_b = seconds_since(start);
  s.loaded_b = loaded_b.size();
  start = Clock::now();
  std::vector<orvex::MeshObject> b = orvex::build_mesh_objects(std::move(loaded_b), out);
  s.convert_b = seconds_since(start);

  start = Clock::now();
  const orvex::Model model_a(std::move(a), {});
  const orvex::Model model_b(std::move(b), {});
  orvex::ClashRequest request;
  request.min_dist = min_dist;
  std::vector<orvex::CollisionRecord> records =
      orvex::records_of(orvex::clash_models(model_a, model_b, request, &s.stats), model_a, model_b);
  s.pass = seconds_since(start);

  s.meshes_a = model_a.size();
  s.meshes_b = model_b.size();
  for (const orvex::Model* m : {&model_a, &model_b}) {
    for (const orvex::MeshObject& o : m->objects()) s.triangles += o.mesh.triangles().size();
  }
  s.results = records.size();
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 5) {
    std::fprintf(stderr, "usage: %s MODEL_A MODEL_B [MIN_DIST] [REPEATS]\n", argv[0]);
    return 2;
  }
  const float min_dist = argc >= 4 ? std::stof(argv[3]) : 0.0f;
  const int repeats = argc == 5 ? std::max(1, std::stoi(argv[4])) : 1;
  try {
    const Rss start = read_rss();
    const std::string text_a = read_file(argv[1]);
    const std::string text_b = read_file(argv[2]);
    const Rss before = read_rss();

    // The pipeline runs first, so that the peak resident size is the pipeline's own.
    Stages best = run_once(text_a, text_b, min_dist);
    const Rss after = read_rss();
    for (int r = 1; r < repeats; ++r) {
      Stages s = run_once(text_a, text_b, min_dist);
      best.load_a = std::min(best.load_a, s.load_a);
      best.convert_a = std::min(best.convert_a, s.convert_a);
      best.load_b = std::min(best.load_b, s.load_b);
      best.convert_b = std::min(best.convert_b, s.convert_b);
      best.pass = std::min(best.pass, s.pass);
    }

    const simdjson::padded_string padded_a(text_a);
    const simdjson::padded_string padded_b(text_b);
    simdjson::dom::parser parser;
    double parse = 0;
    size_t parsed = 0;
    for (int r = 0; r < repeats; ++r) {
      auto start = Clock::now();
      parsed = parse_every_line(parser, padded_a) + parse_every_line(parser, padded_b);
      double t = seconds_since(start);
      parse = r == 0 ? t : std::min(parse, t);
    }

    std::fflush(stdout);
    std::printf(
        "{\"text_bytes\": %zu, \"lines_parsed\": %zu, \"simdjson_parse_s\": %.9g, "
        "\"load_a_s\": %.9g, \"convert_a_s\": %.9g, \"load_b_s\": %.9g, \"convert_b_s\": %.9g, "
        "\"pass_s\": %.9g, \"loaded\": [%zu, %zu], \"meshes\": [%zu, %zu], \"triangles\": %zu, "
        "\"results\": %zu, \"object_pairs\": %llu, \"node_pairs\": %llu, "
        "\"triangle_pairs\": %llu, \"rss_start\": %llu, \"rss_before\": %llu, \"rss_peak\": %llu, "
        "\"repeats\": %d}\n",
        text_a.size() + text_b.size(), parsed, parse, best.load_a, best.convert_a, best.load_b,
        best.convert_b, best.pass, best.loaded_a, best.loaded_b, best.meshes_a, best.meshes_b,
        best.triangles, best.results, static_cast<unsigned long long>(best.stats.object_pairs),
        static_cast<unsigned long long>(best.stats.node_pairs),
        static_cast<unsigned long long>(best.stats.triangle_pairs),
        static_cast<unsigned long long>(start.now), static_cast<unsigned long long>(before.now),
        static_cast<unsigned long long>(after.peak),
        repeats);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
