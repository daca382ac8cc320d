// The module's exceptions: PanicException for internal faults, and the pending-error
// helpers that hide the difference between CPython 3.11 and 3.12+.
#pragma once

#include "module/pyref.h"

namespace orvex::py {

/// Sets PanicException(message) as the pending error. Returns null for `return`.
PyObject* raise_panic(const char* message);

/// A host call failed where the module cannot go on: prints the pending error with
/// the host's error printer and raises PanicException("Python API call failed").
PyObject* raise_api_failure();

/// Takes the pending exception (normalized, traceback attached); null if none.
Ref take_error();
/// Makes `exc` the pending exception.
void restore_error(Ref exc);

}  // namespace orvex::py
