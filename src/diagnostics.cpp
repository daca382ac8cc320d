#include "diagnostics.h"

#include <cerrno>
#include <string>
#include <system_error>
#include <unistd.h>

namespace orvex {

std::string_view code_name(DiagnosticCode code) {
  switch (code) {
    case DiagnosticCode::MissingObject: return "missing_object";
    case DiagnosticCode::UnsupportedDisplayType: return "unsupported_display_type";
    case DiagnosticCode::FacesUnreadable: return "faces_unreadable";
    case DiagnosticCode::VerticesUnreadable: return "vertices_unreadable";
    case DiagnosticCode::MissingChunk: return "missing_chunk";
    case DiagnosticCode::NoFaces: return "no_faces";
    case DiagnosticCode::NoVertices: return "no_vertices";
    case DiagnosticCode::PartialPoint: return "partial_point";
    case DiagnosticCode::TooFewPoints: return "too_few_points";
    case DiagnosticCode::FaceIndexOutOfRange: return "face_index_out_of_range";
    case DiagnosticCode::MeshRejected: return "mesh_rejected";
  }
  return "unknown";
}

void StdoutSink::report(Diagnostic diagnostic) {
  std::string& line = diagnostic.text;
  line.push_back('\n');
  const char* at = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(1, at, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      int code = errno;
      throw Fault(FaultKind::Io, "failed printing to stdout: " + std::system_category().message(code) +
                                     " (os error " + std::to_string(code) + ")");
    }
    if (n == 0) throw Fault(FaultKind::Io, "failed printing to stdout: failed to write whole buffer");
    at += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace orvex
