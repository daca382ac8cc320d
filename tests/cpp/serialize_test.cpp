#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "random_meshes.h"
#include "serialize.h"

namespace orvex {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

template <class T>
bool same_bytes(std::span<const T> x, std::span<const T> y) {
  return x.size() == y.size() && (x.empty() || std::memcmp(x.data(), y.data(), x.size_bytes()) == 0);
}

// Objects with unusual but valid contents: shared and unused points, NaN with a payload,
// -0 and infinities (triangles that take no part), empty, non-ASCII and NUL-holding keys.
Model sample_model(bool with_info) {
  std::vector<MeshObject> objects;
  std::vector<ObjectInfo> info;
  for (uint32_t i = 0; i < 40; ++i) {
    testing::MeshData m = testing::soup(i + 1, 1 + i % 9, -5, 10, 1);
    m.points.push_back({-0.0f, kInf, 1});
    uint32_t payload = 0x7fc01234u + i;
    std::memcpy(&m.points.back()[2], &payload, 4);
    if (i % 4 == 0) m.triangles.push_back({0, uint32_t(m.points.size() - 1), 1});
    std::string key = i == 0 ? "" : i == 1 ? std::string("nul\0in", 6) : "ключ-" + std::to_string(i);
    objects.push_back({key, m.build(), uint64_t(i) * 3 + (uint64_t(1) << 40)});
    info.push_back({i % 2 ? "Objects.BuiltElements.Wall" : "", i % 3 ? R"({"name":"W\u00e9"})" : ""});
  }
  return Model(std::move(objects), with_info ? std::move(info) : std::vector<ObjectInfo>{});
}

void expect_same_model(const Model& got, const Model& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    const MeshObject& g = got.objects()[i];
    const MeshObject& w = want.objects()[i];
    EXPECT_EQ(g.id, w.id);
    EXPECT_EQ(g.source_index, w.source_index);
    EXPECT_TRUE(same_bytes(g.mesh.points(), w.mesh.points())) << i;
    EXPECT_TRUE(same_bytes(g.mesh.triangles(), w.mesh.triangles())) << i;
    EXPECT_TRUE(same_bytes<BvhNode>(g.mesh.bvh().nodes, w.mesh.bvh().nodes)) << i;
    EXPECT_EQ(g.mesh.bvh().order, w.mesh.bvh().order);
    g.mesh.validate();
    EXPECT_EQ(got.find(w.id), want.find(w.id));
  }
  ASSERT_EQ(got.info().size(), want.info().size());
  for (size_t i = 0; i < want.info().size(); ++i) {
    EXPECT_EQ(got.info()[i].type, want.info()[i].type);
    EXPECT_EQ(got.info()[i].meta, want.info()[i].meta);
  }
  EXPECT_EQ(got.bounds(), want.bounds());
  got.tree().validate();
  EXPECT_TRUE(same_bytes<BvhNode>(got.tree().bvh().nodes, want.tree().bvh().nodes));
}

TEST(Serialize, RoundTripIsBitForBitOnAnyThreadCount) {
  for (bool with_info : {false, true}) {
    const Model model = sample_model(with_info);
    const std::string bytes = serialize_model(model);
    for (unsigned threads : {1u, 3u}) {
      ClashRequest request;
      request.threads = threads;
      const Model copy = deserialize_model(bytes, request);
      expect_same_model(copy, model);
      EXPECT_EQ(serialize_model(copy), bytes);
    }
  }
  const Model empty;
  EXPECT_EQ(deserialize_model(serialize_model(empty), {}).size(), 0u);
}

void expect_input_fault(std::string_view bytes, const std::string& what) {
  try {
    deserialize_model(bytes, {});
    ADD_FAILURE() << what << ": accepted";
  } catch (const Fault& f) {
    EXPECT_EQ(f.kind(), FaultKind::Input) << what;
  }
}

// Every prefix and every single-bit flip of valid bytes is refused.
TEST(Serialize, TruncatedOrFlippedBytesAreRefused) {
  std::vector<MeshObject> objects;
  objects.push_back({"a", testing::box({0, 0, 0}, {1, 1, 1}).build(), 0});
  objects.push_back({"b", testing::soup(3, 2, 0, 1, 1).build(), 1});
  const std::string bytes = serialize_model(Model(std::move(objects), {{"T", "{}"}, {"", ""}}));
  for (size_t n = 0; n < bytes.size(); ++n) expect_input_fault(bytes.substr(0, n), "prefix " + std::to_string(n));
  for (size_t at = 0; at < bytes.size(); ++at) {
    for (int bit : {0, 7}) {
      std::string flipped = bytes;
      flipped[at] = static_cast<char>(flipped[at] ^ (1 << bit));
      expect_input_fault(flipped, "flip at " + std::to_string(at));
    }
  }
}

// Hand-made model data with a valid checksum: the checks behind the checksum.
class Crafted {
 public:
  Crafted(uint32_t version = kModelFormatVersion, uint32_t flags = 0) {
    bytes_ = "ORVEXMDL";
    u32(version);
    u32(flags);
  }
  Crafted& u32(uint32_t v) { return raw(&v, 4); }
  Crafted& u64(uint64_t v) { return raw(&v, 8); }
  Crafted& raw(const void* p, size_t n) {
    bytes_.append(static_cast<const char*>(p), n);
    return *this;
  }
  Crafted& text(std::string_view s) { return u64(s.size()).raw(s.data(), s.size()); }
  // One object of one triangle over three points, with the given corner indices.
  Crafted& object(std::string_view key, Triangle t = {0, 1, 2}) {
    const float points[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    return text(key).u64(0).u64(3).raw(points, sizeof points).u64(1).raw(t.data(), 12);
  }
  std::string done() const {
    uint64_t sum = model_data_checksum(bytes_);
    std::string out = bytes_;
    out.append(reinterpret_cast<const char*>(&sum), 8);
    return out;
  }

 private:
  std::string bytes_;
};

TEST(Serialize, InconsistentDataBehindAValidChecksumIsRefused) {
  ASSERT_EQ(deserialize_model(Crafted().u64(1).object("k").done(), {}).size(), 1u);
  const uint64_t huge = std::numeric_limits<uint64_t>::max();
  const std::pair<std::string, std::string> cases[] = {
      {"version", Crafted(2).u64(0).done()},
      {"flags", Crafted(kModelFormatVersion, 6).u64(0).done()},
      {"object count", Crafted().u64(huge / 8).done()},
      {"more objects than written", Crafted().u64(2).object("k").done()},
      {"bytes after the objects", Crafted().u64(1).object("k").u32(0).done()},
      {"key length", Crafted().u64(1).u64(huge).done()},
      {"point count", Crafted().u64(1).text("k").u64(0).u64(huge / 4).done()},
      {"triangle count", Crafted().u64(1).text("k").u64(0).u64(0).u64(huge / 3 + 1).done()},
      {"no triangle", Crafted().u64(1).text("k").u64(0).u64(0).u64(0).done()},
      {"corner index", Crafted().u64(2).object("k").object("m", {0, 3, 1}).done()},
      {"key not UTF-8", Crafted().u64(1).object("\xff").done()},
      {"info missing", Crafted(kModelFormatVersion, 1).u64(1).object("k").done()},
      {"info without objects", Crafted(kModelFormatVersion, 1).u64(0).done()},
      {"not model data", std::string("{\"a\": 1}\n")},
  };
  for (const auto& [what, bytes] : cases) expect_input_fault(bytes, what);

  // What deserialize refuses, serialize refuses to write.
  std::vector<MeshObject> objects;
  objects.push_back({"\xc0\x80", testing::box({0, 0, 0}, {1, 1, 1}).build(), 0});
  EXPECT_THROW(serialize_model(Model(std::move(objects), {})), Fault);
}

// Models handed over for release from several threads at once, large ones (freed on
// threads of their own, more of them than may run at once) and small ones alike, while
// the owners go on using models of their own: the sanitizer lanes watch for races,
// leaks and use after free.
TEST(Release, ModelsReleasedFromSeveralThreadsAtOnce) {
  auto model_of = [](size_t objects) {
    std::vector<MeshObject> list;
    for (uint32_t i = 0; i < objects; ++i) {
      list.push_back({std::string("k").append(std::to_string(i)), testing::soup(i, 2, -5, 10, 1).build(), i});
    }
    return Model(std::move(list), {});
  };
  std::vector<std::thread> owners;
  for (int t = 0; t < 3; ++t) {
    owners.emplace_back([&, t] {
      for (int round = 0; round < 3; ++round) {
        Model kept = model_of(kBackgroundRelease + 10 * t);
        release(model_of(round == 1 ? 5 : kBackgroundRelease));
        EXPECT_EQ(kept.find("k7"), 7u);
        release(std::move(kept));
      }
    });
  }
  for (std::thread& t : owners) t.join();
}

}  // namespace
}  // namespace orvex
