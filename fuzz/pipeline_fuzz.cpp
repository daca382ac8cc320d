// Whole pipeline on arbitrary bytes: load, convert and pass two models.
// Input: one byte choosing the threshold, model a, a NUL byte, model b; without a NUL
// byte model a is passed on both sides. Fault is the one outcome of bad data that ends
// a call; any other exception, a crash, a sanitizer report or a failed check is a finding.
// The checks: every mesh's hierarchy is valid, the pass equals the plain N x M pass, and
// the contact query equals the brute force over all triangle pairs.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "diagnostics.h"
#include "fuzz_checks.h"
#include "pipeline.h"

namespace {

constexpr float kThresholds[] = {0.0f, 0.1f, 0.5f, 2.0f, -0.25f, INFINITY, -INFINITY, NAN};

/// The text in a heap block of exactly its size, so that any read past its end is
/// caught by AddressSanitizer.
std::unique_ptr<char[]> exact_copy(std::string_view text) {
  std::unique_ptr<char[]> copy(new char[text.size()]);
  if (!text.empty()) std::memcpy(copy.get(), text.data(), text.size());
  return copy;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  orvex::fuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvex;
  if (size == 0) return 0;
  const float min_dist = kThresholds[data[0] % std::size(kThresholds)];
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  size_t cut = rest.find('\0');
  std::string_view text_a = rest.substr(0, cut);
  std::string_view text_b = cut == std::string_view::npos ? text_a : rest.substr(cut + 1);
  auto a = exact_copy(text_a);
  auto b = exact_copy(text_b);

  try {
    StdoutSink out;
    ClashRequest request;
    request.min_dist = min_dist;
    const Model model_a = build_model({a.get(), text_a.size()}, request, out);
    const Model model_b = build_model({b.get(), text_b.size()}, request, out);
    for (const MeshObject& m : model_a.objects()) m.mesh.validate();
    for (const MeshObject& m : model_b.objects()) m.mesh.validate();
    std::vector<CollisionRecord> found = records_of(clash_models(model_a, model_b, request), model_a, model_b);
    fuzz::check_same_records(found, fuzz::plain_pass(model_a, model_b, min_dist), min_dist);
    // The contact query against the brute force, on whatever geometry the bytes gave,
    // where the pair is small enough to try every triangle pair.
    for (const MeshObject& p : model_a.objects()) {
      for (const MeshObject& q : model_b.objects()) {
        if (p.mesh.triangles().size() * q.mesh.triangles().size() <= 4096) fuzz::check_contact(p.mesh, q.mesh);
      }
    }
  } catch (const Fault&) {
  }
  return 0;
}
