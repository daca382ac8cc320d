// orvexkit._native: the calls of the Python layer into the engine. Arguments arrive
// checked by the Python layer; they are checked here again only as far as memory
// safety needs. Every call that may take long runs with the interpreter lock released.
#include <array>
#include <cmath>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "clash.h"
#include "diagnostics.h"
#include "geometry/point_groups.h"
#include "geometry/solid.h"
#include "kit/array.h"
#include "kit/clash_rows.h"
#include "kit/model_handle.h"
#include "kit/released.h"
#include "mapped_text.h"
#include "overlap.h"
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

// What every pass takes, checked: the models, what to keep, threads, which objects.
struct PassArgs {
  const Model* a = nullptr;
  const Model* b = nullptr;
  ClashRequest request;
  Buffer flags_a, flags_b;
};

bool pass_args(PyObject* a_obj, PyObject* b_obj, double min_dist, double reach, Py_ssize_t threads, int self,
               PyObject* select_a_obj, PyObject* select_b_obj, PassArgs& out) {
  out.a = model_of(a_obj, "a");
  out.b = out.a ? model_of(b_obj, "b") : nullptr;
  if (out.b == nullptr || !thread_count(threads, out.request.threads)) return false;
  if (self && out.a != out.b) {
    PyErr_SetString(PyExc_ValueError, "a self clash takes one model");
    return false;
  }
  out.request.self = self != 0;
  out.request.min_dist = static_cast<float>(min_dist);  // narrowed as clash_detection does
  out.request.reach = static_cast<float>(reach);
  if (!(out.request.reach >= 0.0f && std::isfinite(out.request.reach))) {
    PyErr_SetString(PyExc_ValueError, "reach must be finite and at least 0");
    return false;
  }
  return selection(select_a_obj, *out.a, "select_a", out.flags_a, out.request.select_a) &&
         selection(select_b_obj, *out.b, "select_b", out.flags_b, out.request.select_b);
}

// A tuple of the columns, or null when one of them could not be made.
template <size_t N>
PyObject* column_tuple(Ref (&columns)[N]) {
  Ref tuple(PyTuple_New(N));
  if (!tuple) return nullptr;
  for (size_t i = 0; i < N; ++i) {
    if (!columns[i]) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), columns[i].release());
  }
  return tuple.release();
}

PyObject* clash(PyObject*, PyObject* args) {
  PyObject *a_obj, *b_obj, *select_a_obj, *select_b_obj;
  double min_dist, reach;
  Py_ssize_t threads;
  int self;
  PassArgs pass;
  if (!PyArg_ParseTuple(args, "OOddnpOO:clash", &a_obj, &b_obj, &min_dist, &reach, &threads, &self,
                        &select_a_obj, &select_b_obj) ||
      !pass_args(a_obj, b_obj, min_dist, reach, threads, self, select_a_obj, select_b_obj, pass)) {
    return nullptr;
  }

  std::vector<int64_t> a_index, b_index;
  std::vector<float> dist;
  std::vector<Point> point_a, point_b;
  bool ok = run_released([&](const Poll& poll) {
    pass.request.poll = poll;
    std::vector<Hit> hits = clash_models(*pass.a, *pass.b, pass.request);
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
  return column_tuple(columns);
}

PyObject* survey(PyObject*, PyObject* args) {
  PyObject *a_obj, *b_obj, *select_a_obj, *select_b_obj;
  double min_dist, reach, tolerance;
  Py_ssize_t threads;
  int self;
  PassArgs pass;
  if (!PyArg_ParseTuple(args, "OOdddnpOO:survey", &a_obj, &b_obj, &min_dist, &reach, &tolerance, &threads, &self,
                        &select_a_obj, &select_b_obj) ||
      !pass_args(a_obj, b_obj, min_dist, reach, threads, self, select_a_obj, select_b_obj, pass)) {
    return nullptr;
  }
  const auto tol = static_cast<float>(tolerance);
  if (!(tol >= 0.0f && std::isfinite(tol))) {
    PyErr_SetString(PyExc_ValueError, "the duplicate tolerance must be finite and at least 0");
    return nullptr;
  }

  std::vector<PairSurvey> found;
  if (!run_released([&](const Poll& poll) {
        pass.request.poll = poll;
        found = survey_pairs(*pass.a, *pass.b, pass.request, tol);
      })) {
    return nullptr;
  }
  const auto n = static_cast<Py_ssize_t>(found.size());
  std::vector<int64_t> a_index, b_index;
  std::vector<float> dist;
  std::vector<Point> point_a, point_b;
  std::vector<uint8_t> closed_a, closed_b, duplicate, inside, approximate;
  std::vector<double> volume, thickness;
  std::vector<std::array<double, 3>> centre;
  try {
    for (const PairSurvey& s : found) {
      a_index.push_back(s.a);
      b_index.push_back(s.b);
      dist.push_back(s.dist);
      point_a.push_back(s.point_a);
      point_b.push_back(s.point_b);
      closed_a.push_back(s.closed_a);
      closed_b.push_back(s.closed_b);
      duplicate.push_back(s.duplicate);
      inside.push_back(static_cast<uint8_t>(s.inside));
      approximate.push_back(s.approximate);
      volume.push_back(s.volume);
      centre.push_back({s.centre.x, s.centre.y, s.centre.z});
      thickness.push_back(s.thickness);
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  Ref columns[] = {
      Ref(owned_array<int64_t>(std::move(a_index), {n})),  Ref(owned_array<int64_t>(std::move(b_index), {n})),
      Ref(owned_array<float>(std::move(dist), {n})),       Ref(owned_array<float>(std::move(point_a), {n, 3})),
      Ref(owned_array<float>(std::move(point_b), {n, 3})), Ref(owned_array<uint8_t>(std::move(closed_a), {n})),
      Ref(owned_array<uint8_t>(std::move(closed_b), {n})), Ref(owned_array<uint8_t>(std::move(duplicate), {n})),
      Ref(owned_array<uint8_t>(std::move(inside), {n})),   Ref(owned_array<uint8_t>(std::move(approximate), {n})),
      Ref(owned_array<double>(std::move(volume), {n})),    Ref(owned_array<double>(std::move(centre), {n, 3})),
      Ref(owned_array<double>(std::move(thickness), {n})),
  };
  return column_tuple(columns);
}

// [(volume, (x, y, z), thickness, area), ...]: the measures of each connected piece of the
// solid bounded by a mesh given as C-contiguous float32 (n, 3) corners and uint32 (m, 3)
// triangles, such as a boolean's result.
PyObject* measure_pieces(PyObject*, PyObject* args) {
  PyObject *points_obj, *triangles_obj;
  if (!PyArg_ParseTuple(args, "OO:measure_pieces", &points_obj, &triangles_obj)) return nullptr;
  Buffer points, triangles;
  const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT;
  if (!points.get(points_obj, flags) || !triangles.get(triangles_obj, flags)) return nullptr;
  auto rows_of = [](const Py_buffer& v, const char* format, const char* what, size_t& rows) {
    if (v.ndim != 2 || v.shape[1] != 3 || v.itemsize != 4 || std::string_view(v.format) != format) {
      PyErr_Format(PyExc_ValueError, "%s must be a C-contiguous (n, 3) array of %s", what,
                   format[0] == 'f' ? "float32" : "uint32");
      return false;
    }
    rows = static_cast<size_t>(v.shape[0]);
    return true;
  };
  size_t point_count, triangle_count;
  if (!rows_of(points.view, "f", "points", point_count) || !rows_of(triangles.view, "I", "triangles", triangle_count)) {
    return nullptr;
  }
  const std::span<const Point> corners(static_cast<const Point*>(points.view.buf), point_count);
  const std::span<const Triangle> faces(static_cast<const Triangle*>(triangles.view.buf), triangle_count);
  for (const Triangle& t : faces) {
    for (uint32_t v : t) {
      if (v >= point_count) {
        PyErr_Format(PyExc_ValueError, "a triangle names corner %u of %zu", v, point_count);
        return nullptr;
      }
    }
  }
  // Boolean results are small: measured under the lock, while the buffers cannot change.
  std::vector<SolidMeasures> pieces;
  try {
    pieces = piece_measures(corners, faces);
  } catch (...) {
    raise_engine_error();
    return nullptr;
  }
  Ref list(PyList_New(static_cast<Py_ssize_t>(pieces.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const SolidMeasures& m = pieces[i];
    PyObject* item =
        Py_BuildValue("(d(ddd)dd)", m.volume, m.centroid.x, m.centroid.y, m.centroid.z, m.thickness, m.area);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// distance_groups(points, distance): the group label of each row of a C-contiguous (n, 3)
// float64 array (see orvex::distance_groups), int64.
PyObject* groups_of_points(PyObject*, PyObject* args) {
  PyObject* points_obj;
  double distance;
  if (!PyArg_ParseTuple(args, "Od:distance_groups", &points_obj, &distance)) return nullptr;
  if (!(distance >= 0)) {
    PyErr_SetString(PyExc_ValueError, "the group distance must be >= 0");
    return nullptr;
  }
  Buffer points;
  if (!double_buffer(points, points_obj, 2, 3, "points")) return nullptr;
  const Py_buffer& v = points.view;
  if (static_cast<uint64_t>(v.shape[0]) > UINT32_MAX) {
    PyErr_SetString(PyExc_ValueError, "distance_groups takes at most 2^32 - 1 points");
    return nullptr;
  }
  const std::span<const std::array<double, 3>> rows(static_cast<const std::array<double, 3>*>(v.buf),
                                                    static_cast<size_t>(v.shape[0]));
  std::vector<int64_t> labels;
  // Under the lock: another thread must not change the points while they are read.
  try {
    const std::vector<uint32_t> groups = distance_groups(rows, distance);
    labels.assign(groups.begin(), groups.end());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return owned_array<int64_t>(std::move(labels), {static_cast<Py_ssize_t>(rows.size())});
}

PyMethodDef functions[] = {
    {"clash_rows", clash_rows, METH_VARARGS,
     "clash_rows($module, clashes, format, /)\n--\n\n"
     "The JSON (\"json\") or CSV (\"csv\") rows of a list of Clash objects as UTF-8 bytes, or None."},
    {"distance_groups", groups_of_points, METH_VARARGS,
     "distance_groups($module, points, distance, /)\n--\n\n"
     "The group label of each point (its group's smallest index) for points joined within `distance`."},
    {"meshes", meshes, METH_VARARGS,
     "meshes($module, models, owners, indices, /)\n--\n\n"
     "The meshes of the objects (models[owners[k]], indices[k]): (points, triangles, counts)."},
    {"nearest", nearest, METH_VARARGS,
     "nearest($module, models, points, radii, limit, threads, excludes=None, /)\n--\n\n"
     "The objects of the model handles nearest each point within its radius, without its excludes: "
     "(query, model, object)."},
    {"load_text", load_text, METH_VARARGS,
     "load_text($module, source, threads, /)\n--\n\n"
     "Builds a model from a str or a bytes-like text: (handle, diagnostics)."},
    {"load_file", load_file, METH_VARARGS,
     "load_file($module, path, threads, /)\n--\n\n"
     "Builds a model from the file at path, read by the engine: (handle, diagnostics)."},
    {"clash", clash, METH_VARARGS,
     "clash($module, a, b, min_dist, reach, threads, self, select_a, select_b, /)\n--\n\n"
     "The pass over two handles: (a_index, b_index, dist, point_a, point_b) arrays."},
    {"survey", survey, METH_VARARGS,
     "survey($module, a, b, min_dist, reach, tolerance, threads, self, select_a, select_b, /)\n--\n\n"
     "The volumetric survey: (a_index, b_index, dist, point_a, point_b, closed_a, closed_b,\n"
     "duplicate, inside, approximate, volume, centre, thickness) arrays."},
    {"measure_pieces", measure_pieces, METH_VARARGS,
     "measure_pieces($module, points, triangles, /)\n--\n\n"
     "[(volume, centroid, thickness, area), ...] of each connected piece of a closed mesh."},
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
