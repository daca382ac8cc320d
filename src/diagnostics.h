// Diagnostics of loading and conversion, the sinks that receive them, and the one road
// for faults that abandon a whole call.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace orvex {

/// What kind of fault abandoned a call. The bindings map them: the clash_detection
/// call raises PanicException for every kind; orvexkit raises ValueError for Input,
/// OSError for Io and RuntimeError for Internal.
enum class FaultKind : uint8_t {
  Input,     // the model data breaks a rule that ends the call (a face of fewer than 3 corners)
  Io,        // reading a model or writing a diagnostic failed
  Internal,  // a check of the engine's own invariants failed
};

/// A fault abandons the whole call. Every stage throws this one type; each binding
/// turns it into an exception at exactly one place, with what() as the message.
class Fault : public std::runtime_error {
 public:
  explicit Fault(FaultKind kind, const std::string& message)
      : std::runtime_error(message), kind_(kind) {}
  FaultKind kind() const { return kind_; }

 private:
  FaultKind kind_;
};

/// Every condition that loading or conversion reports and then goes on.
enum class DiagnosticCode : uint8_t {
  MissingObject,           // a display reference names a key that no accepted line has
  UnsupportedDisplayType,  // a display element of another type than mesh or reference
  FacesUnreadable,         // a mesh's faces cannot be read
  VerticesUnreadable,      // a mesh's vertices cannot be read
  MissingChunk,            // a chunk reference names a key that no accepted line has
  NoFaces,                 // a displayed object ends with no face numbers
  NoVertices,              // ... or with face numbers but no vertex numbers
  PartialPoint,            // a mesh's vertex numbers end in a group of one or two
  TooFewPoints,            // an object has fewer than 3 points
  FaceIndexOutOfRange,     // a corner index names no point of its mesh
  MeshRejected,            // the mesh constructor refused the object (no triangle)
};

/// Stable lower-case name of a code ("missing_object", ...), as orvexkit shows it.
std::string_view code_name(DiagnosticCode code);

/// One diagnostic: its code, the key of the object it concerns (the displayed object
/// being walked or converted) and its exact line, without the final line feed.
struct Diagnostic {
  DiagnosticCode code;
  std::string object;
  std::string text;
};

/// Receives diagnostics in the order their conditions arise in a sequential run. A
/// sink is only ever called from one thread at a time (the engine serialises calls).
class DiagnosticSink {
 public:
  virtual ~DiagnosticSink() = default;
  virtual void report(Diagnostic diagnostic) = 0;
};

/// Writes each diagnostic's text and a line feed to file descriptor 1 at once, with
/// one write(2) loop and no buffering. A failed write throws
/// Fault(Io, "failed printing to stdout: <system text> (os error N)").
class StdoutSink final : public DiagnosticSink {
 public:
  void report(Diagnostic diagnostic) override;
};

/// Keeps every diagnostic in order.
class CollectingSink final : public DiagnosticSink {
 public:
  void report(Diagnostic diagnostic) override { items.push_back(std::move(diagnostic)); }
  std::vector<Diagnostic> items;
};

/// Drops everything (fuzzers, benchmarks).
class NullSink final : public DiagnosticSink {
 public:
  void report(Diagnostic) override {}
};

}  // namespace orvex
