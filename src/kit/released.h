// Engine work with the interpreter lock released, interruptible from the host, the one
// place where what the engine throws becomes a Python exception, and the arguments
// that such work takes.
#pragma once

#include <functional>

#include "module/pyref.h"

namespace orvex::kit {

using py::Ref;

/// What the engine is handed to ask, on the calling thread, whether to go on.
using Poll = std::function<bool()>;

/// Runs `work` with the interpreter lock released. The poll it gets takes the lock
/// back to run the host's signal handlers (Ctrl-C raises KeyboardInterrupt there) and
/// says stop once one of them raised. Returns true when the work finished and no
/// handler raised, whether during the work or on a last check after it (engine stages
/// that never poll still end in the interrupt that arrived meanwhile). Otherwise
/// returns false with a Python exception pending: the handler's when there is one
/// (it wins over whatever the engine threw after it), else the engine's mapped by
/// raise_engine_error.
bool run_released(const std::function<void(const Poll&)>& work);

/// A Py_buffer released on every way out.
struct Buffer {
  Py_buffer view{};
  bool held = false;
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() {
    if (held) PyBuffer_Release(&view);
  }
  bool get(PyObject* obj, int flags) {
    held = PyObject_GetBuffer(obj, &view, flags) == 0;
    return held;
  }
};

/// A C-contiguous buffer of int64 with `ndim` dimensions in `buffer`; false with
/// ValueError (naming `what`) pending otherwise.
bool int64_buffer(Buffer& buffer, PyObject* obj, const char* what, int ndim = 1);

/// A C-contiguous buffer of float64 with `ndim` dimensions, the last three wide when
/// `columns` is 3 (no check when 0), in `buffer`; false with ValueError pending otherwise.
bool double_buffer(Buffer& buffer, PyObject* obj, int ndim, Py_ssize_t columns, const char* what);

/// `threads` as the engine's count; false with ValueError pending unless it is >= 1
/// and fits.
bool thread_count(Py_ssize_t threads, unsigned& out);

/// Sets the Python exception for the C++ exception being handled: FileFault ->
/// OSError(errno, text, path) (so FileNotFoundError and its kin); Fault by kind:
/// Input -> ValueError, Io -> OSError, Internal -> RuntimeError; std::bad_alloc ->
/// MemoryError; anything else -> RuntimeError. Call it only inside a catch block.
void raise_engine_error();

}  // namespace orvex::kit
