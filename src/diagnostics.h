// Diagnostic lines on standard output and the one road for internal faults.
#pragma once

#include <initializer_list>
#include <stdexcept>
#include <string_view>

namespace orvex {

/// An internal fault: it abandons the whole clash_detection call. Every stage
/// throws this one type; the module boundary turns it into PanicException with
/// what() as the message.
class Fault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Writes the concatenated parts as one diagnostic on file descriptor 1, at once
/// and unbuffered, with a write(2) loop. The caller supplies the final '\n'.
/// A failed write throws Fault("failed printing to stdout: <text> (os error N)").
void emit(std::initializer_list<std::string_view> parts);

}  // namespace orvex
