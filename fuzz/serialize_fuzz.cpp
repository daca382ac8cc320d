// Model data (serialize_model's bytes) from arbitrary bytes. The first byte chooses:
//   0: the rest is a model text; the model built from it (if its text is UTF-8) must come
//      back from its bytes bit for bit on 2 threads, and clash with its copy alike on 1
//      and 3 threads;
//   1: the rest is model data as it stands;
//   2: the rest is model data after the magic and version, and gets a valid checksum,
//      so that the checks behind the checksum are reached.
// Model data is either refused with Fault(Input) or gives a model whose hierarchies are
// valid and whose own bytes are the input again (the format has one spelling per model).
#include <simdjson.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_checks.h"
#include "pipeline.h"
#include "serialize.h"

namespace {

using namespace orvex;

void check_valid(const Model& model) {
  for (const MeshObject& o : model.objects()) o.mesh.validate();
  model.tree().validate();
}

void check_hits_equal(const std::vector<Hit>& x, const std::vector<Hit>& y) {
  fuzz::check(x.size() == y.size(), "hit counts differ between thread counts or copies");
  for (size_t i = 0; i < x.size(); ++i) {
    fuzz::check(x[i].a == y[i].a && x[i].b == y[i].b, "hits differ in a pair");
    fuzz::check(std::memcmp(&x[i].dist, &y[i].dist, sizeof(float)) == 0, "hits differ in a distance");
    fuzz::check(x[i].point_a == y[i].point_a && x[i].point_b == y[i].point_b, "hits differ in a point");
  }
}

void round_trip(std::string_view text) {
  NullSink quiet;
  ClashRequest request;
  request.min_dist = 0.25f;
  Model model;
  try {
    model = build_model(text, request, quiet);
  } catch (const Fault&) {
    return;
  }
  std::string bytes;
  try {
    bytes = serialize_model(model);
  } catch (const Fault&) {
    // Keys must be UTF-8; the engine's callers pass UTF-8 texts only.
    fuzz::check(!simdjson::validate_utf8(text.data(), text.size()), "a model of a UTF-8 text is not serialised");
    return;
  }
  request.threads = 2;
  const Model copy = deserialize_model(bytes, request);
  check_valid(copy);
  fuzz::check(serialize_model(copy) == bytes, "a model's copy serialises differently");

  request.threads = 1;
  const std::vector<Hit> one = clash_models(model, copy, request);
  const std::vector<ObjectPair> pairs = candidate_pairs(model, copy, request);
  request.threads = 3;
  check_hits_equal(one, clash_models(model, copy, request));
  fuzz::check(pairs == candidate_pairs(model, copy, request), "candidate pairs differ between thread counts");
  request.self = true;
  request.threads = 1;
  const std::vector<Hit> self_one = clash_models(model, model, request);
  request.threads = 3;
  check_hits_equal(self_one, clash_models(model, model, request));
}

void load(std::string_view bytes) {
  ClashRequest request;
  try {
    const Model model = deserialize_model(bytes, request);
    check_valid(model);
    fuzz::check(serialize_model(model) == bytes, "accepted model data serialises differently");
  } catch (const Fault& fault) {
    fuzz::check(fault.kind() == FaultKind::Input, "model data refused with another fault than Input");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 3) {
    case 0:
      round_trip(rest);
      break;
    case 1:
      load(rest);
      break;
    default: {
      std::string bytes("ORVEXMDL", 8);
      const uint32_t version = kModelFormatVersion;
      bytes.append(reinterpret_cast<const char*>(&version), 4);
      bytes.append(rest);
      const uint64_t sum = model_data_checksum(bytes);
      bytes.append(reinterpret_cast<const char*>(&sum), 8);
      load(bytes);
    }
  }
  return 0;
}
