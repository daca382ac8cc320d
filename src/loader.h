// Model loading: model text -> records of its accepted lines -> the object map -> one
// LoadedObject per displayed object, whose numbers stay where the loader stored them.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics.h"
#include "executor.h"
#include "loader/arena.h"

namespace orvex {

using loader::NumberRun;

/// One display mesh whose faces and vertices were both read. Its face numbers are the
/// runs [faces_begin, vertices_begin) of its batch, its vertex numbers the runs
/// [vertices_begin, vertices_end), each list in its runs' order. Corner indices count
/// from the mesh's own first point.
struct LoadedMesh {
  size_t faces_begin = 0;
  size_t vertices_begin = 0;
  size_t vertices_end = 0;
};

/// One displayed object as the loader yields it: at least one face number and one
/// vertex number in its meshes [meshes_begin, meshes_end) of its batch.
struct LoadedObject {
  std::string id;  // the object's key in the model, not its "id" member
  size_t meshes_begin = 0;
  size_t meshes_end = 0;
  std::string type;  // when information is kept: the root's "speckle_type"
  std::string meta;  // ... and its other members but the display lists, as compact JSON
};

/// The displayed objects of consecutive roots, in text order.
struct LoadedBatch {
  std::vector<LoadedObject> objects;
  std::vector<LoadedMesh> meshes;
  std::vector<NumberRun> runs;
};

/// What loading one model text yields: its displayed objects in batches, and the
/// storage their numbers live in (moved with it, so the runs stay valid).
struct LoadedModel {
  std::vector<LoadedBatch> batches;
  std::vector<loader::Arena> numbers;

  /// Objects in all batches.
  size_t size() const;
};

struct LoadOptions {
  /// Keep each displayed object's type and members (LoadedObject::type, meta).
  bool keep_info = false;
  /// Called, from any thread, with each part of the text (whole lines) before it is read;
  /// may throw to refuse the text. The exception of the first part that fails is thrown
  /// before any other of the load.
  std::function<void(std::string_view)> check;
  /// Called, from any thread, with each part of the text once nothing refers into it any
  /// more, e.g. to give back the memory of a mapped file's pages.
  std::function<void(std::string_view)> release;
};

/// Loads one model text on `executor`: splits it into keyed lines, keeps each accepted
/// line's object under its key (the last accepted line of a key wins) and walks every
/// root's display list. The loader's diagnostics reach `sink` in the order of a
/// sequential run, and objects come in text order; a key that occurs on several
/// accepted lines is walked at its last one. Nothing returned points into `text`, which
/// must stay alive and unchanged until the call returns. Throws what options.check
/// throws, Fault when the JSON parser cannot take a line at all (beyond 4 GiB), and
/// Cancelled when the executor's poll stops it.
LoadedModel load_model(std::string_view text, const LoadOptions& options, Executor& executor, DiagnosticSink& sink);

}  // namespace orvex
