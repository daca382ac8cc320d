// The display walk: a root's display list -> its object's meshes as runs of stored
// numbers, with the loader's messages.
#pragma once

#include "diagnostics.h"
#include "loader.h"
#include "loader/records.h"

namespace orvex::loader {

/// Walks the display list of `root` (a root record whose references are resolved) and
/// appends its object to `out` unless the walk abandons it or it ends without faces or
/// vertices. Reports the walk's messages to `sink` as their conditions arise.
/// `keep_info` copies the root's type and members into the object.
void walk(const Record& root, bool keep_info, LoadedBatch& out, DiagnosticSink& sink);

}  // namespace orvex::loader
