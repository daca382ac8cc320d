// orvexkit._native: the calls of the Python layer into the engine. Arguments arrive
// checked by the Python layer; they are checked here again only as far as memory
// safety needs. Every call that may take long runs with the interpreter lock released.
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "clash.h"
#include "diagnostics.h"
#include "kit/array.h"
#include "kit/model_handle.h"
#include "kit/released.h"
#include "mapped_text.h"
#include "pipeline.h"

namespace orvex::kit {
namespace {

PyObject* text_of(const std::string& s, const char* errors) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), errors);
}

// (handle, [(kind, key, text), ...]); the messages are decoded leniently so that a
// model is never lost over one of them.
PyObject* loaded(Model model, const std::vector<Diagnostic>& diagnostics) {
  Ref handle(wrap_model(std::move(model)));
  Ref list(handle ? PyList_New(static_cast<Py_ssize_t>(diagnostics.size())) : nullptr);
  if (!list) return nullptr;
  for (size_t i = 0; i < diagnostics.size(); ++i) {
    const Diagnostic& d = diagnostics[i];
    std::string_view kind = code_name(d.code);
    Ref k(PyUnicode_FromStringAndSize(kind.data(), static_cast<Py_ssize_t>(kind.size())));
    Ref key(text_of(d.object, "replace"));
    Ref text(text_of(d.text, "replace"));
    PyObject* item = k && key && text ? PyTuple_Pack(3, k.get(), key.get(), text.get()) : nullptr;
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return PyTuple_Pack(2, handle.get(), list.get());
}

// A model text to build from: in memory, UTF-8 already or not yet checked, or a file.
struct Source {
  std::string_view text;
  bool utf8_known = false;
  const std::string* path = nullptr;  // read the file instead
};

// Builds the model off the lock: reads the file, checks the text, loads and meshes.
PyObject* build(Source source, unsigned threads) {
  std::optional<Model> model;
  CollectingSink sink;
  bool ok = run_released([&](const Poll& poll) {
    std::optional<MappedText> file;
    if (source.path != nullptr) source.text = file.emplace(*source.path, poll).text();
    if (!source.utf8_known) require_utf8(source.text, source.path ? *source.path : "model text");
    ClashRequest request;
    request.threads = threads;
    request.poll = poll;
    request.keep_info = true;
    model.emplace(build_model(source.text, request, sink));
  });
  return ok ? loaded(std::move(*model), sink.items) : nullptr;
}

PyObject* load_text(PyObject*, PyObject* args) {
  PyObject* text;
  Py_ssize_t threads;
  unsigned count;
  if (!PyArg_ParseTuple(args, "On:load_text", &text, &threads) || !thread_count(threads, count)) {
    return nullptr;
  }
  if (PyUnicode_Check(text)) {
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) return nullptr;
    return build({std::string_view(data, static_cast<size_t>(size)), true}, count);
  }
  Buffer buffer;
  if (!buffer.get(text, PyBUF_SIMPLE)) return nullptr;
  std::string_view bytes(static_cast<const char*>(buffer.view.buf), static_cast<size_t>(buffer.view.len));
  // Only bytes cannot change while the lock is released; other buffers (bytearray,
  // a writable memoryview, an mmap) are copied under the lock first.
  PyObject* base = PyMemoryView_Check(text) ? PyMemoryView_GET_BASE(text) : text;
  if (base != nullptr && PyBytes_Check(base)) return build({bytes}, count);
  std::string copy;
  try {
    copy.assign(bytes);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return build({copy}, count);
}

PyObject* load_file(PyObject*, PyObject* args) {
  PyObject* encoded;  // the path as bytes, from str, bytes or os.PathLike
  Py_ssize_t threads;
  unsigned count;
  if (!PyArg_ParseTuple(args, "O&n:load_file", PyUnicode_FSConverter, &encoded, &threads)) return nullptr;
  Ref path_bytes(encoded);
  if (!thread_count(threads, count)) return nullptr;
  const std::string path(PyBytes_AS_STRING(encoded), static_cast<size_t>(PyBytes_GET_SIZE(encoded)));
  return build({{}, false, &path}, count);
}

// One flag per object of `model`, from a C-contiguous buffer of bytes, or none.
bool selection(PyObject* obj, const Model& model, const char* name, Buffer& buffer,
               std::span<const uint8_t>& out) {
  if (obj == Py_None) return true;
  if (!buffer.get(obj, PyBUF_SIMPLE)) return false;
  if (static_cast<size_t>(buffer.view.len) != model.size()) {
    PyErr_Format(PyExc_ValueError, "%s has %zd flags for %zu objects", name, buffer.view.len, model.size());
    return false;
  }
  out = {static_cast<const uint8_t*>(buffer.view.buf), model.size()};
  return true;
}

PyObject* clash(PyObject*, PyObject* args) {
  PyObject *a_obj, *b_obj, *select_a_obj, *select_b_obj;
  double min_dist, reach;
  Py_ssize_t threads;
  int self;
  if (!PyArg_ParseTuple(args, "OOddnpOO:clash", &a_obj, &b_obj, &min_dist, &reach, &threads, &self,
                        &select_a_obj, &select_b_obj)) {
    return nullptr;
  }
  const Model* a = model_of(a_obj, "a");
  const Model* b = a ? model_of(b_obj, "b") : nullptr;
  if (b == nullptr) return nullptr;
  ClashRequest request;
  if (!thread_count(threads, request.threads)) return nullptr;
  if (self && a != b) {
    PyErr_SetString(PyExc_ValueError, "a self clash takes one model");
    return nullptr;
  }
  request.self = self != 0;
  request.min_dist = static_cast<float>(min_dist);  // narrowed as clash_detection does
  request.reach = static_cast<float>(reach);
  if (!(request.reach >= 0.0f && std::isfinite(request.reach))) {
    PyErr_SetString(PyExc_ValueError, "reach must be finite and at least 0");
    return nullptr;
  }
  Buffer flags_a, flags_b;
  if (!selection(select_a_obj, *a, "select_a", flags_a, request.select_a) ||
      !selection(select_b_obj, *b, "select_b", flags_b, request.select_b)) {
    return nullptr;
  }

  std::vector<int64_t> a_index, b_index;
  std::vector<float> dist;
  std::vector<Point> point_a, point_b;
  bool ok = run_released([&](const Poll& poll) {
    request.poll = poll;
    std::vector<Hit> hits = clash_models(*a, *b, request);
    a_index.reserve(hits.size());
    b_index.reserve(hits.size());
    dist.reserve(hits.size());
    point_a.reserve(hits.size());
    point_b.reserve(hits.size());
    for (const Hit& h : hits) {
      a_index.push_back(h.a);
      b_index.push_back(h.b);
      dist.push_back(h.dist);
      point_a.push_back(h.point_a);
      point_b.push_back(h.point_b);
    }
  });
  if (!ok) return nullptr;
  const auto n = static_cast<Py_ssize_t>(dist.size());
  Ref columns[] = {
      Ref(owned_array<int64_t>(std::move(a_index), {n})),
      Ref(owned_array<int64_t>(std::move(b_index), {n})),
      Ref(owned_array<float>(std::move(dist), {n})),
      Ref(owned_array<float>(std::move(point_a), {n, 3})),
      Ref(owned_array<float>(std::move(point_b), {n, 3})),
  };
  for (const Ref& c : columns) {
    if (!c) return nullptr;
  }
  return PyTuple_Pack(5, columns[0].get(), columns[1].get(), columns[2].get(), columns[3].get(),
                      columns[4].get());
}

PyMethodDef functions[] = {
    {"load_text", load_text, METH_VARARGS,
     "load_text($module, source, threads, /)\n--\n\n"
     "Builds a model from a str or a bytes-like text: (handle, diagnostics)."},
    {"load_file", load_file, METH_VARARGS,
     "load_file($module, path, threads, /)\n--\n\n"
     "Builds a model from the file at path, read by the engine: (handle, diagnostics)."},
    {"clash", clash, METH_VARARGS,
     "clash($module, a, b, min_dist, reach, threads, self, select_a, select_b, /)\n--\n\n"
     "The pass over two handles: (a_index, b_index, dist, point_a, point_b) arrays."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "orvexkit._native", "The engine calls behind orvexkit.", 0, functions,
    nullptr, nullptr, nullptr, nullptr,
};

// The types are process-wide, so the module binds itself to the first interpreter
// that imports it and is created once there.
int64_t owner_interpreter = -1;
PyObject* cached_module = nullptr;

Ref create_module() {
  Ref module(PyModule_Create(&module_def));
  if (!module) return module;
  PyObject* handle = model_type();
  PyObject* array = array_type();
  if (handle == nullptr || array == nullptr ||
      PyModule_AddObjectRef(module.get(), "ModelHandle", handle) < 0 ||
      PyModule_AddObjectRef(module.get(), "Array", array) < 0) {
    return Ref();
  }
  return module;
}

}  // namespace
}  // namespace orvex::kit

PyMODINIT_FUNC PyInit__native(void) {
  using namespace orvex::kit;
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  if (owner_interpreter == -1) {
    owner_interpreter = id;
  } else if (owner_interpreter != id) {
    PyErr_SetString(PyExc_ImportError, "orvexkit can only be imported in the main interpreter");
    return nullptr;
  }
  if (cached_module == nullptr) {
    orvex::py::Ref module = create_module();
    if (!module) return nullptr;
    cached_module = module.release();
  }
  Py_INCREF(cached_module);
  return cached_module;
}
