// Times the stages of one clash run on two model text files, through the engine's own
// stage order (clash_texts with a StageTimes), for each thread count given, and sets
// them beside a bare simdjson parse of every line of the same texts: the bound on how
// fast loading can be.
//
//   orvex_stage_bench MODEL_A MODEL_B [MIN_DIST] [REPEATS] [THREADS,...]   (threads: 1,2)
//
// Diagnostics of the engine go to standard output as usual; the last line printed is one
// JSON object with the figures: per thread count ("threads"), each stage's time in
// seconds, best of the repeats ("mesh" includes the model's key index and broad-phase
// hierarchy), the first thread count's also at the top level; memory in bytes: resident
// size at start, with both texts read, at its peak after the first run and after all.

#include <simdjson.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "clash.h"
#include "diagnostics.h"
#include "pipeline.h"

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

using Figures = std::map<std::string, double>;

/// One clash run through the engine's stages on `threads` threads: each stage's seconds
/// under its key ("load_a", "mesh_a", "load_b", "mesh_b", "pass": a stage name that
/// recurs gets the model's letter), and the pass's counters.
Figures run_once(const std::string& text_a, const std::string& text_b, float min_dist, unsigned threads,
                 orvex::PassStats& stats, size_t& results) {
  orvex::StdoutSink out;
  orvex::StageTimes times;
  orvex::ClashRequest request;
  request.min_dist = min_dist;
  request.threads = threads;
  request.times = &times;
  results = orvex::clash_texts(text_a, text_b, request, out).size();
  stats = times.pass;
  std::map<std::string, int> seen, total;
  for (const auto& stage : times.stages) ++total[stage.name];
  Figures figures;
  for (const auto& stage : times.stages) {
    const int n = seen[stage.name]++;
    figures[total[stage.name] > 1 ? stage.name + "_" + char('a' + n) : stage.name] += stage.seconds;
  }
  return figures;
}

std::string json_of(const Figures& figures) {
  std::string out = "{";
  for (const auto& [key, seconds] : figures) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s\"%s_s\": %.9g", out.size() > 1 ? ", " : "", key.c_str(), seconds);
    out += buf;
  }
  return out + "}";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 6) {
    std::fprintf(stderr, "usage: %s MODEL_A MODEL_B [MIN_DIST] [REPEATS] [THREADS,...]\n", argv[0]);
    return 2;
  }
  const float min_dist = argc >= 4 ? std::stof(argv[3]) : 0.0f;
  const int repeats = argc >= 5 ? std::max(1, std::stoi(argv[4])) : 1;
  std::vector<unsigned> thread_counts;
  for (std::string_view list = argc == 6 ? argv[5] : "1,2"; !list.empty();) {
    const size_t comma = std::min(list.find(','), list.size());
    thread_counts.push_back(static_cast<unsigned>(std::max(1, std::stoi(std::string(list.substr(0, comma))))));
    list.remove_prefix(std::min(list.size(), comma + 1));
  }
  try {
    const Rss start = read_rss();
    const std::string text_a = read_file(argv[1]);
    const std::string text_b = read_file(argv[2]);
    const Rss before = read_rss();

    // The pipeline runs first, so that the peak resident size is the pipeline's own: the
    // peak after the first run of the first thread count, and after every run.
    std::vector<Figures> best(thread_counts.size());
    orvex::PassStats stats;
    size_t results = 0;
    Rss first;
    for (size_t t = 0; t < thread_counts.size(); ++t) {
      for (int r = 0; r < repeats; ++r) {
        const Figures figures = run_once(text_a, text_b, min_dist, thread_counts[t], stats, results);
        if (t == 0 && r == 0) first = read_rss();
        for (const auto& [key, seconds] : figures) {
          auto [it, fresh] = best[t].emplace(key, seconds);
          if (!fresh) it->second = std::min(it->second, seconds);
        }
      }
    }
    const Rss after = read_rss();

    // What the models hold, from one more build of each.
    size_t meshes[2] = {0, 0}, triangles = 0;
    orvex::NullSink quiet;
    for (int m = 0; m < 2; ++m) {
      const orvex::Model model = orvex::build_model(m == 0 ? text_a : text_b, orvex::ClashRequest{}, quiet);
      meshes[m] = model.size();
      for (const orvex::MeshObject& o : model.objects()) triangles += o.mesh.triangles().size();
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

    std::string threads = "{";
    for (size_t t = 0; t < thread_counts.size(); ++t) {
      threads += (t ? ", \"" : "\"") + std::to_string(thread_counts[t]) + "\": " + json_of(best[t]);
    }
    threads += "}";
    // The first thread count's stages also stand at the top level.
    std::string top = json_of(best[0]);
    top = top.substr(1, top.size() - 2);

    std::fflush(stdout);
    std::printf(
        "{\"text_bytes\": %zu, \"lines_parsed\": %zu, \"simdjson_parse_s\": %.9g, %s, "
        "\"threads\": %s, \"meshes\": [%zu, %zu], \"triangles\": %zu, "
        "\"results\": %zu, \"object_pairs\": %llu, \"node_pairs\": %llu, "
        "\"triangle_pairs\": %llu, \"rss_start\": %llu, \"rss_before\": %llu, \"rss_peak\": %llu, "
        "\"rss_peak_all\": %llu, \"repeats\": %d}\n",
        text_a.size() + text_b.size(), parsed, parse, top.c_str(), threads.c_str(), meshes[0], meshes[1],
        triangles, results, static_cast<unsigned long long>(stats.object_pairs),
        static_cast<unsigned long long>(stats.node_pairs),
        static_cast<unsigned long long>(stats.triangle_pairs),
        static_cast<unsigned long long>(start.now), static_cast<unsigned long long>(before.now),
        static_cast<unsigned long long>(first.peak), static_cast<unsigned long long>(after.peak), repeats);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
