#include "kit/released.h"

#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <string>
#include <string_view>

#include "diagnostics.h"
#include "executor.h"
#include "mapped_text.h"

namespace orvex::kit {
namespace {

void set_message(PyObject* type, const char* message) {
  Ref text(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
  if (text) PyErr_SetObject(type, text.get());
}

// OSError(errno, strerror, filename) picks the subclass for the number itself
// (FileNotFoundError, IsADirectoryError, PermissionError, ...).
void set_os_error(const FileFault& fault) {
  const std::string& path = fault.path();
  Ref filename(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
  if (!filename) return;
  Ref error(PyObject_CallFunction(PyExc_OSError, "isO", fault.error(), std::strerror(fault.error()),
                                  filename.get()));
  if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

}  // namespace

void raise_engine_error() {
  try {
    throw;
  } catch (const FileFault& fault) {
    set_os_error(fault);
  } catch (const Fault& fault) {
    PyObject* type = fault.kind() == FaultKind::Input ? PyExc_ValueError
                     : fault.kind() == FaultKind::Io  ? PyExc_OSError
                                                      : PyExc_RuntimeError;
    set_message(type, fault.what());
  } catch (const Cancelled&) {
    // Only a poll stops the engine, and it leaves the handler's exception pending.
    set_message(PyExc_RuntimeError, "the engine stopped without a reason");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_message(PyExc_RuntimeError, e.what());
  } catch (...) {
    set_message(PyExc_RuntimeError, "unknown engine error");
  }
}

bool thread_count(Py_ssize_t threads, unsigned& out) {
  if (threads < 1 || static_cast<size_t>(threads) > std::numeric_limits<unsigned>::max()) {
    PyErr_Format(PyExc_ValueError, "threads must be a positive count, not %zd", threads);
    return false;
  }
  out = static_cast<unsigned>(threads);
  return true;
}

bool int64_buffer(Buffer& buffer, PyObject* obj, const char* what, int ndim) {
  if (!buffer.get(obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return false;
  const std::string_view format(buffer.view.format);  // numpy's int64 is "l" on LP64
  if (buffer.view.ndim != ndim || buffer.view.itemsize != 8 || (format != "q" && format != "l")) {
    PyErr_Format(PyExc_ValueError, "%s must be a C-contiguous %d-d array of int64", what, ndim);
    return false;
  }
  return true;
}

bool double_buffer(Buffer& buffer, PyObject* obj, int ndim, Py_ssize_t columns, const char* what) {
  if (!buffer.get(obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return false;
  if (buffer.view.ndim != ndim || buffer.view.itemsize != 8 || std::string_view(buffer.view.format) != "d" ||
      (columns > 0 && buffer.view.shape[ndim - 1] != columns)) {
    PyErr_Format(PyExc_ValueError, "%s must be a C-contiguous float64 array of %d dimensions%s", what, ndim,
                 columns > 0 ? " with rows of three" : "");
    return false;
  }
  return true;
}

bool run_released(const std::function<void(const Poll&)>& work) {
  PyThreadState* state = PyEval_SaveThread();
  const Poll poll = [&state] {
    PyEval_RestoreThread(state);
    const bool go_on = PyErr_CheckSignals() == 0;
    state = PyEval_SaveThread();
    return go_on;
  };
  std::exception_ptr error;
  try {
    work(poll);
  } catch (...) {
    error = std::current_exception();
  }
  PyEval_RestoreThread(state);
  if (PyErr_Occurred()) return false;
  if (error) {
    try {
      std::rethrow_exception(error);
    } catch (...) {
      raise_engine_error();
    }
    return false;
  }
  return PyErr_CheckSignals() == 0;
}

}  // namespace orvex::kit
