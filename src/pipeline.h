// The stages of a clash run, in their one order: load and mesh model a, then model b,
// then the pass.
#pragma once

#include <string_view>
#include <vector>

#include "clash.h"
#include "collision_record.h"
#include "diagnostics.h"
#include "model.h"

namespace orvex {

/// One model text loaded and meshed: every diagnostic of loading, then every one of
/// meshing, reaches `sink` in the order of a sequential run, whatever request.threads.
/// Uses request.threads, request.poll and request.keep_info.
Model build_model(std::string_view text, const ClashRequest& request, DiagnosticSink& sink);

/// The clash run of two model texts: model a is built, then model b (so all of a's
/// diagnostics come before b's), then the pass; both models are released before the
/// records are returned.
std::vector<CollisionRecord> clash_texts(std::string_view a, std::string_view b,
                                         const ClashRequest& request, DiagnosticSink& sink);

}  // namespace orvex
