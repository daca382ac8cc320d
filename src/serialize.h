// A Model as bytes and back, for pickling and for shipping models between processes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "clash.h"
#include "model.h"

namespace orvex {

/// Version of the byte format that serialize_model writes and deserialize_model reads.
inline constexpr uint32_t kModelFormatVersion = 1;

/// The model's objects as bytes: keys, source indices, points and triangles exactly as
/// held (every float bit, NaN payloads included), and ObjectInfo when the model has it.
/// Hierarchies are not stored; they are rebuilt on load. Keys, types and metas must be
/// UTF-8, as in any model built from a text (texts are UTF-8); else throws Fault(Input).
/// Little-endian throughout:
///
///   "ORVEXMDL"  u32 version  u32 flags (bit 0: info)  u64 object count
///   per object: u64 key length, key bytes; u64 source index;
///               u64 point count, points (3 x f32 each); u64 triangle count,
///               triangles (3 x u32 each); with info: type and meta as key
///   u64 checksum of every byte before it
std::string serialize_model(const Model& model);

/// The model serialize_model wrote, with its meshes and hierarchies rebuilt on
/// request.threads threads (polling request.poll): equal to the original bit for bit.
/// Bytes of another format, version or checksum, truncated or inconsistent bytes (a
/// count beyond the data, a corner index naming no point, an object without triangles,
/// a key that is not UTF-8) throw Fault(Input) naming the fault; no allocation exceeds a
/// small multiple of the size of `bytes`.
Model deserialize_model(std::string_view bytes, const ClashRequest& request);

/// The checksum that ends model data, over `bytes` (all bytes before it), for tools and
/// fuzzers that write model data of their own. It detects corruption, not tampering.
uint64_t model_data_checksum(std::string_view bytes);

}  // namespace orvex
