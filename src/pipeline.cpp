#include "pipeline.h"

#include <simdjson.h>

#include "convert.h"
#include "loader.h"

namespace orvex {

namespace {

Model build(std::string_view text, LoadOptions options, const ClashRequest& request, DiagnosticSink& sink) {
  StageClock clock(request.times);
  Executor executor(request.threads, request.poll);
  options.keep_info = request.keep_info;
  LoadedModel loaded = load_model(text, options, executor, sink);
  clock.lap("load");
  std::vector<MeshObject> objects = build_mesh_objects(loaded, executor, sink);
  std::vector<ObjectInfo> info;
  if (request.keep_info) {
    std::vector<LoadedObject*> sources;
    sources.reserve(loaded.size());
    for (LoadedBatch& batch : loaded.batches) {
      for (LoadedObject& o : batch.objects) sources.push_back(&o);
    }
    info.reserve(objects.size());
    for (const MeshObject& o : objects) {
      LoadedObject& source = *sources[o.source_index];
      info.push_back({std::move(source.type), std::move(source.meta)});
    }
  }
  // The numbers go before the model's own structures are built.
  loaded = LoadedModel();
  Model model(std::move(objects), std::move(info));
  clock.lap("mesh");
  return model;
}

}  // namespace

Model build_model(std::string_view text, const ClashRequest& request, DiagnosticSink& sink) {
  return build(text, {}, request, sink);
}

Model build_model(const MappedText& file, std::string_view name, const ClashRequest& request, DiagnosticSink& sink) {
  const std::string_view text = file.text();
  LoadOptions options;
  options.check = [&](std::string_view part) {
    // A part holds whole lines, and no UTF-8 sequence holds a line feed: the text is
    // UTF-8 when every part is. The message names the place in the whole text.
    if (!simdjson::validate_utf8(part.data(), part.size())) require_utf8(text, name);
  };
  options.release = [&](std::string_view part) { file.release(part); };
  return build(text, std::move(options), request, sink);
}

std::vector<CollisionRecord> clash_texts(std::string_view a, std::string_view b,
                                         const ClashRequest& request, DiagnosticSink& sink) {
  Model model_a = build_model(a, request, sink);
  Model model_b = build_model(b, request, sink);
  StageClock clock(request.times);
  std::vector<CollisionRecord> records =
      records_of(clash_models(model_a, model_b, request, request.times ? &request.times->pass : nullptr),
                 model_a, model_b);
  clock.lap("pass");
  return records;
}

}  // namespace orvex
