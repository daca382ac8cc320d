#include "serialize.h"

#include <simdjson.h>

#include <bit>
#include <cstring>
#include <optional>

#include "executor.h"

namespace orvex {

namespace {

static_assert(std::endian::native == std::endian::little,
              "the model format is little-endian and is copied as it stands in memory");
static_assert(sizeof(Point) == 12 && sizeof(Triangle) == 12);

constexpr char kMagic[8] = {'O', 'R', 'V', 'E', 'X', 'M', 'D', 'L'};
constexpr uint32_t kFlagInfo = 1;
constexpr size_t kHeaderBytes = sizeof kMagic + 4 + 4 + 8;
constexpr size_t kChecksumBytes = 8;
// The smallest object: key length, source index, point count and triangle count.
constexpr size_t kMinObjectBytes = 4 * 8;
// Objects per task when meshes are rebuilt.
constexpr size_t kObjectsPerTask = 64;

uint64_t load64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

}  // namespace

// Detects corruption, not tampering: every step of a lane, (lane ^ word) * odd, is a
// bijection of the lane for a given word and of the word for a given lane, and so is
// the final fold of the lanes, so any change of a single 8-byte word changes the sum.
uint64_t model_data_checksum(std::string_view bytes) {
  constexpr uint64_t kOdd = 0x9E3779B97F4A7C15ull;
  uint64_t lanes[4] = {0x243F6A8885A308D3ull, 0x13198A2E03707344ull, 0xA4093822299F31D0ull,
                       0x082EFA98EC4E6C89ull};
  const char* p = bytes.data();
  size_t n = bytes.size();
  for (; n >= 32; p += 32, n -= 32) {
    for (int k = 0; k < 4; ++k) lanes[k] = (lanes[k] ^ load64(p + 8 * k)) * kOdd;
  }
  char tail[32] = {};
  std::memcpy(tail, p, n);
  for (int k = 0; k < 4; ++k) lanes[k] = (lanes[k] ^ load64(tail + 8 * k)) * kOdd;
  uint64_t h = bytes.size();
  for (uint64_t lane : lanes) {
    h = (h ^ lane) * kOdd;
    h ^= h >> 32;
  }
  return h;
}

namespace {

[[noreturn]] void bad(const std::string& what) { throw Fault(FaultKind::Input, "model data: " + what); }

std::string_view check_utf8(std::string_view s, const char* what) {
  if (!simdjson::validate_utf8(s.data(), s.size())) bad(std::string(what) + " is not UTF-8");
  return s;
}

class Writer {
 public:
  explicit Writer(size_t size) { out_.reserve(size); }
  void u32(uint32_t v) { raw(&v, 4); }
  void u64(uint64_t v) { raw(&v, 8); }
  void text(std::string_view s, const char* what) {
    check_utf8(s, what);
    u64(s.size());
    raw(s.data(), s.size());
  }
  void raw(const void* p, size_t n) { out_.append(static_cast<const char*>(p), n); }
  std::string take() {
    u64(model_data_checksum(out_));
    return std::move(out_);
  }

 private:
  std::string out_;
};

// Reads the bytes between the header and the checksum; every read is checked against
// what is left, so counts never lead to reads or allocations beyond the data.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : left_(bytes) {}
  size_t left() const { return left_.size(); }
  uint64_t u64() { return load64(take(8).data()); }
  std::string_view text(const char* what) {
    const uint64_t n = u64();
    if (n > left()) bad(std::string(what) + " runs past the end");
    return check_utf8(take(n), what);
  }
  // `count` items of `size` bytes.
  std::string_view items(size_t size, const char* what) {
    const uint64_t n = u64();
    if (n > left() / size) bad(std::string(what) + " run past the end");
    return take(n * size);
  }

 private:
  std::string_view take(size_t n) {
    if (n > left_.size()) bad("truncated");
    std::string_view s = left_.substr(0, n);
    left_.remove_prefix(n);
    return s;
  }
  std::string_view left_;
};

// One object's bytes, as the first scan finds them.
struct ObjectBytes {
  std::string_view id;
  uint64_t source_index;
  std::string_view points;
  std::string_view triangles;
  std::string_view type;
  std::string_view meta;
};

template <class T>
std::vector<T> copy_items(std::string_view bytes) {
  std::vector<T> items(bytes.size() / sizeof(T));
  if (!items.empty()) std::memcpy(items.data(), bytes.data(), bytes.size());
  return items;
}

MeshObject rebuild(const ObjectBytes& o, size_t index) {
  std::vector<Point> points = copy_items<Point>(o.points);
  std::vector<Triangle> triangles = copy_items<Triangle>(o.triangles);
  for (const Triangle& t : triangles) {
    for (uint32_t v : t) {
      if (v >= points.size()) bad("object " + std::to_string(index) + " has a corner index naming no point");
    }
  }
  return {std::string(o.id), TriMesh(std::move(points), std::move(triangles)), o.source_index};
}

}  // namespace

std::string serialize_model(const Model& model) {
  const bool info = !model.info().empty();
  size_t size = kHeaderBytes + kChecksumBytes;
  for (size_t i = 0; i < model.size(); ++i) {
    const MeshObject& o = model.objects()[i];
    size += kMinObjectBytes + o.id.size() + o.mesh.points().size_bytes() + o.mesh.triangles().size_bytes();
    if (info) size += 16 + model.info()[i].type.size() + model.info()[i].meta.size();
  }
  Writer out(size);
  out.raw(kMagic, sizeof kMagic);
  out.u32(kModelFormatVersion);
  out.u32(info ? kFlagInfo : 0);
  out.u64(model.size());
  for (size_t i = 0; i < model.size(); ++i) {
    const MeshObject& o = model.objects()[i];
    out.text(o.id, "a key");
    out.u64(o.source_index);
    out.u64(o.mesh.points().size());
    out.raw(o.mesh.points().data(), o.mesh.points().size_bytes());
    out.u64(o.mesh.triangles().size());
    out.raw(o.mesh.triangles().data(), o.mesh.triangles().size_bytes());
    if (info) {
      out.text(model.info()[i].type, "a type");
      out.text(model.info()[i].meta, "a meta");
    }
  }
  return out.take();
}

Model deserialize_model(std::string_view bytes, const ClashRequest& request) {
  if (bytes.size() < sizeof kMagic || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
    bad("not a serialised model");
  }
  if (bytes.size() < kHeaderBytes + kChecksumBytes) bad("truncated");
  uint32_t version, flags;
  std::memcpy(&version, bytes.data() + 8, 4);
  std::memcpy(&flags, bytes.data() + 12, 4);
  if (version != kModelFormatVersion) {
    bad("format version " + std::to_string(version) + ", this engine reads version " +
        std::to_string(kModelFormatVersion));
  }
  const std::string_view body = bytes.substr(0, bytes.size() - kChecksumBytes);
  if (model_data_checksum(body) != load64(bytes.data() + body.size())) {
    bad("checksum mismatch (corrupt or truncated)");
  }
  if (flags & ~kFlagInfo) bad("unknown flags");
  const bool info = flags & kFlagInfo;

  Reader in(body.substr(sizeof kMagic + 8));
  const uint64_t count = in.u64();
  if (count > in.left() / kMinObjectBytes) bad("object count runs past the end");
  // serialize_model sets the flag only over objects: one spelling per model.
  if (info && count == 0) bad("object information without objects");
  std::vector<ObjectBytes> found(count);
  for (ObjectBytes& o : found) {
    o.id = in.text("a key");
    o.source_index = in.u64();
    o.points = in.items(sizeof(Point), "points");
    o.triangles = in.items(sizeof(Triangle), "triangles");
    if (o.triangles.empty()) bad("object " + std::to_string(&o - found.data()) + " has no triangle");
    if (info) {
      o.type = in.text("a type");
      o.meta = in.text("a meta");
    }
  }
  if (in.left() != 0) bad("bytes after the last object");

  std::vector<std::optional<MeshObject>> built(count);
  Executor(request.threads, request.poll).parallel_for(batch_count(count, kObjectsPerTask), [&](size_t k) {
    for (size_t i = k * kObjectsPerTask; i < std::min<size_t>(count, (k + 1) * kObjectsPerTask); ++i) {
      built[i] = rebuild(found[i], i);
    }
  });
  std::vector<MeshObject> objects;
  objects.reserve(count);
  for (std::optional<MeshObject>& o : built) objects.push_back(std::move(*o));
  built.clear();
  std::vector<ObjectInfo> infos;
  if (info) {
    infos.reserve(count);
    for (const ObjectBytes& o : found) infos.push_back({std::string(o.type), std::string(o.meta)});
  }
  return Model(std::move(objects), std::move(infos));
}

}  // namespace orvex
