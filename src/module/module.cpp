// Module entry and the clash_detection call: argument binding and conversion, the
// fixed order of the stages, and the one place where engine faults become exceptions.
#include <cstdint>
#include <new>
#include <string_view>
#include <vector>

#include "diagnostics.h"
#include "pipeline.h"
#include "module/collision_type.h"
#include "module/errors.h"

namespace orvex::py {
namespace {

PyObject* clash_detection(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

PyMethodDef clash_detection_def = {
    "clash_detection", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(clash_detection)),
    METH_FASTCALL | METH_KEYWORDS, "clash_detection(a, b, min_dist=0.0)\n--\n\n"};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "orvex", "Clash detection between two building models.", 0,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

constexpr const char* kParams[] = {"a", "b", "min_dist"};
constexpr Py_ssize_t kParamCount = 3;
constexpr Py_ssize_t kRequired = 2;

/// Binds the fast-call vector to the three parameters; unset slots stay null.
bool bind_arguments(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject* (&slots)[3]) {
  Py_ssize_t npos = PyVectorcall_NARGS(nargsf);
  if (npos > kParamCount) {
    PyErr_Format(PyExc_TypeError,
                 "clash_detection() takes from 2 to 3 positional arguments but %zd were given", npos);
    return false;
  }
  for (Py_ssize_t i = 0; i < npos; ++i) slots[i] = args[i];
  Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t which = -1;
    for (Py_ssize_t i = 0; i < kParamCount; ++i) {
      if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, kParams[i]) == 0) which = i;
    }
    if (which < 0) {
      PyErr_Format(PyExc_TypeError, "clash_detection() got an unexpected keyword argument '%S'", name);
      return false;
    }
    if (slots[which] != nullptr) {
      PyErr_Format(PyExc_TypeError, "clash_detection() got multiple values for argument '%s'",
                   kParams[which]);
      return false;
    }
    slots[which] = args[npos + k];
  }
  for (Py_ssize_t i = 0; i < kRequired; ++i) {
    if (slots[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "clash_detection() missing required positional argument: '%s'",
                   kParams[i]);
      return false;
    }
  }
  return true;
}

/// A conversion failed: an exact TypeError is replaced by one whose message names the
/// argument and which keeps the original's cause; any other error passes unchanged.
void name_argument_in_error(const char* name) {
  Ref exc = take_error();
  if (!exc || Py_TYPE(exc.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    restore_error(std::move(exc));
    return;
  }
  Ref renamed(PyUnicode_FromFormat("argument '%s': %S", name, exc.get()));
  Ref replacement(renamed ? PyObject_CallOneArg(PyExc_TypeError, renamed.get()) : nullptr);
  if (!replacement) return;  // that failure is now the pending error
  if (PyObject* cause = PyException_GetCause(exc.get())) PyException_SetCause(replacement.get(), cause);
  restore_error(std::move(replacement));
}

bool convert_text(PyObject* obj, const char* name, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'str'", Py_TYPE(obj)->tp_name);
    name_argument_in_error(name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) {
    name_argument_in_error(name);
    return false;
  }
  out = std::string_view(data, static_cast<size_t>(size));
  return true;
}

bool convert_threshold(PyObject* obj, float& out) {
  if (obj == nullptr || obj == Py_None) {
    out = 0.0f;
    return true;
  }
  double value;
  if (PyFloat_CheckExact(obj)) {
    value = PyFloat_AS_DOUBLE(obj);
  } else {
    value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) {
      name_argument_in_error("min_dist");
      return false;
    }
  }
  out = static_cast<float>(value);  // round to nearest; beyond float range becomes infinite
  return true;
}

/// Builds the returned list at its final length; creating a Collision may fail, and
/// then the list built so far is dropped with the remaining records.
PyObject* build_result(std::vector<CollisionRecord> records) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!list) return raise_api_failure();
  for (size_t i = 0; i < records.size(); ++i) {
    PyObject* item = make_collision(std::move(records[i]));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* clash_detection(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* slots[3] = {nullptr, nullptr, nullptr};
  if (!bind_arguments(args, nargsf, kwnames, slots)) return nullptr;
  std::string_view text_a, text_b;
  float min_dist;
  if (!convert_text(slots[0], "a", text_a)) return nullptr;
  if (!convert_text(slots[1], "b", text_b)) return nullptr;
  if (!convert_threshold(slots[2], min_dist)) return nullptr;

  std::vector<CollisionRecord> records;
  try {
    // One thread, diagnostics written to standard output as they arise; the meshes are
    // released before the first Collision object exists.
    StdoutSink out;
    ClashRequest request;
    request.min_dist = min_dist;
    records = clash_texts(text_a, text_b, request, out);
  } catch (const Fault& fault) {
    return raise_panic(fault.what());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_panic(e.what());
  }
  return build_result(std::move(records));
}

/// Appends `name` to the module's __all__ (created when missing), then sets the attribute.
bool add_member(PyObject* module, const char* name, PyObject* value) {
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  Ref key(PyUnicode_FromString(name));
  if (!key || !PyList_Check(all.get()) || PyList_Append(all.get(), key.get()) < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return false;
  }
  return PyObject_SetAttr(module, key.get(), value) == 0;
}

Ref create_module() {
  Ref module(PyModule_Create2(&module_def, PYTHON_API_VERSION));
  if (!module) return module;
  Ref module_name(PyModule_GetNameObject(module.get()));
  if (!module_name) return Ref();
  Ref function(PyCMethod_New(&clash_detection_def, module.get(), module_name.get(), nullptr));
  if (!function || !add_member(module.get(), "clash_detection", function.get())) return Ref();
  PyObject* type = collision_type();
  if (type == nullptr || !add_member(module.get(), "Collision", type)) return Ref();
  return module;
}

// The module binds itself to the first interpreter that imports it and is created
// once there; a repeated init call returns the same object.
int64_t owner_interpreter = -1;
PyObject* cached_module = nullptr;

}  // namespace
}  // namespace orvex::py

PyMODINIT_FUNC PyInit_orvex(void) {
  using namespace orvex::py;
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  if (owner_interpreter == -1) {
    owner_interpreter = id;
  } else if (owner_interpreter != id) {
    PyErr_SetString(PyExc_ImportError, "orvex can only be imported in the main interpreter");
    return nullptr;
  }
  if (cached_module == nullptr) {
    Ref module = create_module();
    if (!module) return nullptr;
    cached_module = module.release();
  }
  Py_INCREF(cached_module);
  return cached_module;
}
