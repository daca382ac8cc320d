#include "pipeline.h"

#include "convert.h"
#include "loader.h"

namespace orvex {

Model build_model(std::string_view text, [[maybe_unused]] const ClashRequest& request,
                  DiagnosticSink& sink) {
  return Model(build_mesh_objects(load_objects(text, sink), sink), {});
}

std::vector<CollisionRecord> clash_texts(std::string_view a, std::string_view b,
                                         const ClashRequest& request, DiagnosticSink& sink) {
  Model model_a = build_model(a, request, sink);
  Model model_b = build_model(b, request, sink);
  return records_of(clash_models(model_a, model_b, request), model_a, model_b);
}

}  // namespace orvex
