#include "pipeline.h"

#include "convert.h"
#include "loader.h"

namespace orvex {

Model build_model(std::string_view text, const ClashRequest& request,
                  DiagnosticSink& sink) {
  StageClock clock(request.times);
  std::vector<LoadedObject> loaded = load_objects(text, sink);
  clock.lap("load");
  Model model(build_mesh_objects(std::move(loaded), sink), {});
  clock.lap("mesh");
  return model;
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
