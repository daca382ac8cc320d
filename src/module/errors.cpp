#include "module/errors.h"

namespace orvex::py {
namespace {

// Created on first need and kept for the life of the process. It derives from
// BaseException, so `except Exception` in host code does not swallow a fault.
PyObject* panic_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "An internal check of orvex failed and the call was abandoned.\n\n"
        "It derives from BaseException so that handlers for Exception do not catch it.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

}  // namespace

PyObject* raise_panic(const char* message) {
  PyObject* type = panic_type();
  if (type == nullptr) return nullptr;
  Ref text(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(strlen(message)), "replace"));
  if (!text) return nullptr;
  PyErr_SetObject(type, text.get());
  return nullptr;
}

PyObject* raise_api_failure() {
  PyErr_Print();
  return raise_panic("Python API call failed");
}

Ref take_error() {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) return Ref();
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return Ref(value);
#endif
}

void restore_error(Ref exc) {
  if (!exc) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc.release());
#else
  PyObject* value = exc.release();
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Py_INCREF(type);
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

}  // namespace orvex::py
