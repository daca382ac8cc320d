#include "kit/model_handle.h"

#include <algorithm>
#include <array>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "executor.h"
#include "geometry/solid.h"
#include "json_text.h"
#include "kit/array.h"
#include "kit/released.h"
#include "serialize.h"

namespace orvex::kit {
namespace {

static_assert(sizeof(Point) == 3 * sizeof(float) && sizeof(Triangle) == 3 * sizeof(uint32_t),
              "points and triangles are packed rows of three");

struct ModelObject {
  PyObject_HEAD
  Model model;
};

const Model& model_ref(PyObject* self) { return reinterpret_cast<ModelObject*>(self)->model; }

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Model& model = reinterpret_cast<ModelObject*>(self)->model;
  release(std::move(model));
  model.~Model();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

Py_ssize_t length(PyObject* self) { return static_cast<Py_ssize_t>(model_ref(self).size()); }

PyObject* str_of(const std::string& s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
}

// The object at position `arg` (an int in [0, len)), or null with an error pending.
const MeshObject* object_at(PyObject* self, PyObject* arg, size_t* index = nullptr) {
  Py_ssize_t i = PyLong_AsSsize_t(arg);
  if (i == -1 && PyErr_Occurred()) return nullptr;
  const Model& model = model_ref(self);
  if (i < 0 || static_cast<size_t>(i) >= model.size()) {
    PyErr_Format(PyExc_IndexError, "object index %zd out of range for %zu objects", i, model.size());
    return nullptr;
  }
  if (index != nullptr) *index = static_cast<size_t>(i);
  return &model.objects()[static_cast<size_t>(i)];
}

bool object_indices(PyObject* self, PyObject* arg, Buffer& buffer, std::span<const int64_t>& indices);

// A list with one string per object, from `part` of each: of every object when `args`
// holds nothing, else of the objects at the indices it holds (see object_indices).
template <class Part>
PyObject* string_list(PyObject* self, PyObject* args, const char* format, Part part) {
  PyObject* arg = Py_None;
  if (!PyArg_ParseTuple(args, format, &arg)) return nullptr;
  const Model& model = model_ref(self);
  Buffer wanted;
  std::span<const int64_t> indices;
  if (arg != Py_None && !object_indices(self, arg, wanted, indices)) return nullptr;
  const size_t n = arg == Py_None ? model.size() : indices.size();
  Ref list(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  for (size_t k = 0; k < n; ++k) {
    PyObject* item = str_of(part(model, arg == Py_None ? k : static_cast<size_t>(indices[k])));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
  }
  return list.release();
}

const std::string kNone;

PyObject* keys(PyObject* self, PyObject* args) {
  return string_list(self, args, "|O:keys",
                     [](const Model& m, size_t i) -> const std::string& { return m.objects()[i].id; });
}

PyObject* types(PyObject* self, PyObject* args) {
  return string_list(self, args, "|O:types", [](const Model& m, size_t i) -> const std::string& {
    return m.info().empty() ? kNone : m.info()[i].type;
  });
}

PyObject* meta(PyObject* self, PyObject* arg) {
  size_t i;
  if (object_at(self, arg, &i) == nullptr) return nullptr;
  const Model& model = model_ref(self);
  return str_of(model.info().empty() ? kNone : model.info()[i].meta);
}

PyObject* find(PyObject* self, PyObject* key) {
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(key, &size);
  if (data == nullptr) return nullptr;
  size_t i = model_ref(self).find(std::string_view(data, static_cast<size_t>(size)));
  return PyLong_FromSsize_t(i == Model::npos ? -1 : static_cast<Py_ssize_t>(i));
}

// Positions of many keys at once (find for each item of a sequence), int64, -1 for a
// key the model lacks or an item that is not a str.
PyObject* find_all(PyObject* self, PyObject* arg) {
  Ref items(PySequence_Fast(arg, "find_all needs a sequence of keys"));
  if (!items) return nullptr;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  PyObject** item = PySequence_Fast_ITEMS(items.get());
  const Model& model = model_ref(self);
  std::vector<int64_t> found;
  try {
    found.reserve(static_cast<size_t>(n));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  for (Py_ssize_t k = 0; k < n; ++k) {
    int64_t at = -1;
    if (PyUnicode_Check(item[k])) {
      Py_ssize_t size;
      const char* data = PyUnicode_AsUTF8AndSize(item[k], &size);
      if (data == nullptr) {
        // A lone surrogate has no UTF-8, so no key of a model holds it.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return nullptr;
        PyErr_Clear();
      } else {
        const size_t i = model.find(std::string_view(data, static_cast<size_t>(size)));
        if (i != Model::npos) at = static_cast<int64_t>(i);
      }
    }
    found.push_back(at);
  }
  return owned_array<int64_t>(std::move(found), {n});
}

PyObject* triangle_count(PyObject* self, PyObject*) {
  size_t total = 0;
  for (const MeshObject& o : model_ref(self).objects()) total += o.mesh.triangles().size();
  return PyLong_FromSize_t(total);
}

PyObject* vertices(PyObject* self, PyObject* arg) {
  const MeshObject* object = object_at(self, arg);
  if (object == nullptr) return nullptr;
  auto points = object->mesh.points();
  return view_array(self, reinterpret_cast<const float*>(points.data()),
                    {static_cast<Py_ssize_t>(points.size()), 3});
}

PyObject* triangles(PyObject* self, PyObject* arg) {
  const MeshObject* object = object_at(self, arg);
  if (object == nullptr) return nullptr;
  auto triangles = object->mesh.triangles();
  return view_array(self, reinterpret_cast<const uint32_t*>(triangles.data()),
                    {static_cast<Py_ssize_t>(triangles.size()), 3});
}

// The positions in `arg`, a C-contiguous 1-d buffer of int64, each an object of the
// model; false with ValueError or IndexError pending otherwise.
bool object_indices(PyObject* self, PyObject* arg, Buffer& buffer, std::span<const int64_t>& indices) {
  if (!int64_buffer(buffer, arg, "indices")) return false;
  indices = {static_cast<const int64_t*>(buffer.view.buf), static_cast<size_t>(buffer.view.shape[0])};
  const size_t size = model_ref(self).size();
  for (int64_t i : indices) {
    if (i < 0 || static_cast<uint64_t>(i) >= size) {
      PyErr_Format(PyExc_IndexError, "object index %lld out of range for %zu objects",
                   static_cast<long long>(i), size);
      return false;
    }
  }
  return true;
}

// The string member `name` of the objects at `indices` (see object_indices): a list of
// str, None where an object's member is absent or not a string. What reports name an
// object by, without parsing each object's members in Python.
PyObject* string_members(PyObject* self, PyObject* args) {
  const char* name;
  Py_ssize_t name_size;
  PyObject* arg;
  if (!PyArg_ParseTuple(args, "s#O:string_members", &name, &name_size, &arg)) return nullptr;
  Buffer wanted;
  std::span<const int64_t> indices;
  if (!object_indices(self, arg, wanted, indices)) return nullptr;
  const Model& model = model_ref(self);
  Ref list(PyList_New(static_cast<Py_ssize_t>(indices.size())));
  if (!list) return nullptr;
  try {
    simdjson::dom::parser parser;
    for (size_t k = 0; k < indices.size(); ++k) {
      std::optional<std::string> value;
      if (!model.info().empty()) {
        value = string_member(parser, model.info()[static_cast<size_t>(indices[k])].meta,
                              std::string_view(name, static_cast<size_t>(name_size)));
      }
      PyObject* item = value ? str_of(*value) : Py_NewRef(Py_None);
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return list.release();
}

std::array<float, 6> corners(const Aabb& box) {
  return {box.lo[0], box.lo[1], box.lo[2], box.hi[0], box.hi[1], box.hi[2]};
}

PyObject* bounds(PyObject* self, PyObject*) {
  return owned_array<float>(std::vector<std::array<float, 6>>{corners(model_ref(self).bounds())}, {2, 3});
}

PyObject* object_bounds(PyObject* self, PyObject*) {
  const Model& model = model_ref(self);
  std::vector<std::array<float, 6>> boxes;
  try {
    boxes.reserve(model.size());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  for (const MeshObject& o : model.objects()) boxes.push_back(corners(o.mesh.bounds()));
  return owned_array<float>(std::move(boxes), {static_cast<Py_ssize_t>(model.size()), 2, 3});
}

// One flag per object: whether its mesh is closed, decided on `threads` threads (each
// mesh keeps its answer).
PyObject* closed(PyObject* self, PyObject* arg) {
  unsigned threads;
  const Py_ssize_t count = PyLong_AsSsize_t(arg);
  if ((count == -1 && PyErr_Occurred()) || !thread_count(count, threads)) return nullptr;
  const Model& model = model_ref(self);
  std::vector<uint8_t> flags;
  constexpr size_t kObjectsPerTask = 64;
  if (!run_released([&](const Poll& poll) {
        flags.resize(model.size());  // in here, so that running out of memory is a MemoryError
        Executor(threads, poll).parallel_for(batch_count(model.size(), kObjectsPerTask), [&](size_t k) {
          for (size_t i = k * kObjectsPerTask; i < std::min(model.size(), (k + 1) * kObjectsPerTask); ++i) {
            flags[i] = model.objects()[i].mesh.closed();
          }
        });
      })) {
    return nullptr;
  }
  return owned_array<uint8_t>(std::move(flags), {static_cast<Py_ssize_t>(model.size())});
}

// (points, triangles, pieces) of the object's mesh welded (see weld), for a mesh
// boolean, with the number of its connected pieces; a closed mesh whose triangles face
// inwards comes turned outwards.
PyObject* welded(PyObject* self, PyObject* arg) {
  const MeshObject* object = object_at(self, arg);
  if (object == nullptr) return nullptr;
  WeldedMesh mesh;
  size_t pieces = 0;
  try {
    mesh = weld(object->mesh.points(), object->mesh.triangles());
    if (is_closed(mesh) && solid_measures(mesh.points, mesh.triangles).volume < 0) {
      for (Triangle& t : mesh.triangles) std::swap(t[1], t[2]);
    }
    const std::vector<uint32_t> piece = pieces_of(mesh.points.size(), mesh.triangles);
    pieces = piece.empty() ? 0 : *std::max_element(piece.begin(), piece.end()) + 1;
  } catch (...) {
    raise_engine_error();
    return nullptr;
  }
  const auto points = static_cast<Py_ssize_t>(mesh.points.size());
  const auto triangles = static_cast<Py_ssize_t>(mesh.triangles.size());
  Ref p(owned_array<float>(std::move(mesh.points), {points, 3}));
  Ref t(p ? owned_array<uint32_t>(std::move(mesh.triangles), {triangles, 3}) : nullptr);
  Ref n(t ? PyLong_FromSize_t(pieces) : nullptr);
  return n ? PyTuple_Pack(3, p.get(), t.get(), n.get()) : nullptr;
}

PyObject* serialize(PyObject* self, PyObject*) {
  std::string bytes;
  if (!run_released([&](const Poll&) { bytes = serialize_model(model_ref(self)); })) return nullptr;
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* deserialize(PyObject*, PyObject* args) {
  PyObject* data;
  Py_ssize_t threads;
  ClashRequest request;
  if (!PyArg_ParseTuple(args, "O!n:deserialize", &PyBytes_Type, &data, &threads) ||
      !thread_count(threads, request.threads)) {
    return nullptr;
  }
  const std::string_view bytes(PyBytes_AS_STRING(data), static_cast<size_t>(PyBytes_GET_SIZE(data)));
  std::optional<Model> model;
  bool ok = run_released([&](const Poll& poll) {
    request.poll = poll;
    model.emplace(deserialize_model(bytes, request));
  });
  return ok ? wrap_model(std::move(*model)) : nullptr;
}

PyMethodDef methods[] = {
    {"keys", keys, METH_VARARGS,
     "keys($self, indices=None, /)\n--\n\nEvery object's key in model order, or those of the objects at int64 "
     "`indices`."},
    {"types", types, METH_VARARGS,
     "types($self, indices=None, /)\n--\n\nEvery object's \"speckle_type\" ('' when unknown) in model order, or "
     "those of the objects at int64 `indices`."},
    {"meta", meta, METH_O, "meta($self, index, /)\n--\n\nThe object's other members as compact JSON, or ''."},
    {"find", find, METH_O, "find($self, key, /)\n--\n\nPosition of the object with this key, or -1."},
    {"find_all", find_all, METH_O,
     "find_all($self, keys, /)\n--\n\nPosition of the object with each key, or -1: (n,) int64."},
    {"triangle_count", triangle_count, METH_NOARGS,
     "triangle_count($self, /)\n--\n\nThe number of triangles of all objects."},
    {"vertices", vertices, METH_O, "vertices($self, index, /)\n--\n\nThe object's points, (n, 3) float32."},
    {"triangles", triangles, METH_O, "triangles($self, index, /)\n--\n\nThe object's triangles, (m, 3) uint32."},
    {"string_members", string_members, METH_VARARGS,
     "string_members($self, name, indices, /)\n--\n\nMember `name` of the objects at int64 `indices` where it "
     "is a string, else None."},
    {"bounds", bounds, METH_NOARGS, "bounds($self, /)\n--\n\nBox around the model, (2, 3) float32: lo, hi."},
    {"object_bounds", object_bounds, METH_NOARGS,
     "object_bounds($self, /)\n--\n\nEvery object's box, (n, 2, 3) float32."},
    {"closed", closed, METH_O,
     "closed($self, threads, /)\n--\n\nWhether each object's mesh is closed, (n,) uint8."},
    {"welded", welded, METH_O,
     "welded($self, index, /)\n--\n\nThe object's mesh with equal corners merged: (points, triangles, pieces)."},
    {"serialize", serialize, METH_NOARGS,
     "serialize($self, /)\n--\n\nThe engine's bytes of the model (not its text)."},
    {"deserialize", deserialize, METH_VARARGS | METH_STATIC,
     "deserialize(data, threads, /)\n--\n\nThe model of serialize()'s bytes, rebuilt on `threads`."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, methods},
    {Py_sq_length, reinterpret_cast<void*>(length)},
    {Py_tp_doc, const_cast<char*>("A loaded and meshed model, owned by an orvexkit.Model.")},
    {0, nullptr},
};

PyType_Spec handle_type_def = {"orvexkit._native.ModelHandle", sizeof(ModelObject), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};

}  // namespace

// (query, model, object) of the objects of `models` (a sequence of handles) whose boxes
// lie within each point's radius, nearest first, ties by the model's position in the
// sequence and then the object's, at most `limit` per point (nearest_in): int64 arrays,
// the points' runs in order. Points (n, 3) and radii (n,) are float64; the points are
// shared out over `threads`. `excludes`, when given, is (n, w) int64: the objects each
// point leaves out, numbered over all models one after the other (-1 for none).
PyObject* nearest(PyObject*, PyObject* args) {
  PyObject *models_arg, *points_arg, *radii_arg, *excludes_arg = Py_None;
  Py_ssize_t limit, threads_arg;
  unsigned threads;
  if (!PyArg_ParseTuple(args, "OOOnn|O:nearest", &models_arg, &points_arg, &radii_arg, &limit, &threads_arg,
                        &excludes_arg) ||
      !thread_count(threads_arg, threads)) {
    return nullptr;
  }
  Ref sequence(PySequence_Fast(models_arg, "models must be a sequence of model handles"));
  if (!sequence) return nullptr;
  std::vector<Ref> held;  // the handles stay alive while the work runs without the lock
  std::vector<const BroadPhase*> trees;
  for (Py_ssize_t m = 0; m < PySequence_Fast_GET_SIZE(sequence.get()); ++m) {
    PyObject* handle = PySequence_Fast_GET_ITEM(sequence.get(), m);
    const Model* model = model_of(handle, "models");
    if (model == nullptr) return nullptr;
    held.emplace_back(Py_NewRef(handle));
    trees.push_back(&model->tree());
  }
  Buffer points_buffer, radii_buffer;
  if (!double_buffer(points_buffer, points_arg, 2, 3, "points") ||
      !double_buffer(radii_buffer, radii_arg, 1, 0, "radii")) {
    return nullptr;
  }
  const auto n = static_cast<size_t>(points_buffer.view.shape[0]);
  if (static_cast<size_t>(radii_buffer.view.shape[0]) != n || limit < 0) {
    PyErr_SetString(PyExc_ValueError, "nearest needs one radius per point and a limit >= 0");
    return nullptr;
  }
  Buffer excludes_buffer;
  size_t width = 0;
  if (excludes_arg != Py_None) {
    if (!int64_buffer(excludes_buffer, excludes_arg, "excludes", 2)) return nullptr;
    if (static_cast<size_t>(excludes_buffer.view.shape[0]) != n) {
      PyErr_SetString(PyExc_ValueError, "nearest needs one row of excludes per point");
      return nullptr;
    }
    width = static_cast<size_t>(excludes_buffer.view.shape[1]);
  }
  const auto* excludes = static_cast<const int64_t*>(excludes_buffer.view.buf);
  const auto* points = static_cast<const std::array<double, 3>*>(points_buffer.view.buf);
  const auto* radii = static_cast<const double*>(radii_buffer.view.buf);
  std::vector<std::vector<ListNeighbour>> found;
  std::vector<int64_t> query, model, item;
  constexpr size_t kPointsPerTask = 64;
  if (!run_released([&](const Poll& poll) {
        found.resize(n);
        Executor(threads, poll).parallel_for(batch_count(n, kPointsPerTask), [&](size_t k) {
          std::vector<Neighbour> near, stack;
          for (size_t q = k * kPointsPerTask; q < std::min(n, (k + 1) * kPointsPerTask); ++q) {
            const std::span<const int64_t> skip = width ? std::span(excludes + q * width, width)
                                                        : std::span<const int64_t>();
            nearest_in(trees, points[q], radii[q], static_cast<size_t>(limit), found[q], near, stack, skip);
          }
        });
        size_t total = 0;
        for (const auto& f : found) total += f.size();
        query.reserve(total);
        model.reserve(total);
        item.reserve(total);
        for (size_t q = 0; q < n; ++q) {
          for (const ListNeighbour& f : found[q]) {
            query.push_back(static_cast<int64_t>(q));
            model.push_back(f.list);
            item.push_back(f.item);
          }
        }
      })) {
    return nullptr;
  }
  const auto total = static_cast<Py_ssize_t>(query.size());
  Ref q(owned_array<int64_t>(std::move(query), {total}));
  Ref m(q ? owned_array<int64_t>(std::move(model), {total}) : nullptr);
  Ref i(m ? owned_array<int64_t>(std::move(item), {total}) : nullptr);
  return i ? PyTuple_Pack(3, q.get(), m.get(), i.get()) : nullptr;
}

// (points, triangles, counts) of the objects (models[owners[k]], indices[k]), in that
// order: every mesh's points and then its triangles whose corners are finite (the ones a
// view can draw), concatenated with each triangle's corners counted from its own mesh's
// first point, and per object its number of points and of those triangles, (n, 2)
// int64. One call, so that a report embedding thousands of meshes does not fetch them
// one by one.
PyObject* meshes(PyObject*, PyObject* args) {
  PyObject *models_arg, *owners_arg, *indices_arg;
  if (!PyArg_ParseTuple(args, "OOO:meshes", &models_arg, &owners_arg, &indices_arg)) return nullptr;
  Ref sequence(PySequence_Fast(models_arg, "models must be a sequence of model handles"));
  if (!sequence) return nullptr;
  std::vector<const Model*> models;
  for (Py_ssize_t m = 0; m < PySequence_Fast_GET_SIZE(sequence.get()); ++m) {
    const Model* model = model_of(PySequence_Fast_GET_ITEM(sequence.get(), m), "models");
    if (model == nullptr) return nullptr;
    models.push_back(model);
  }
  Buffer owners_buffer, indices_buffer;
  if (!int64_buffer(owners_buffer, owners_arg, "owners") || !int64_buffer(indices_buffer, indices_arg, "indices")) {
    return nullptr;
  }
  const size_t n = static_cast<size_t>(owners_buffer.view.shape[0]);
  if (static_cast<size_t>(indices_buffer.view.shape[0]) != n) {
    PyErr_SetString(PyExc_ValueError, "meshes needs one model position per object index");
    return nullptr;
  }
  const std::span<const int64_t> owners(static_cast<const int64_t*>(owners_buffer.view.buf), n);
  const std::span<const int64_t> indices(static_cast<const int64_t*>(indices_buffer.view.buf), n);
  std::vector<const TriMesh*> wanted;
  std::vector<Point> points;
  std::vector<Triangle> triangles;
  std::vector<std::array<int64_t, 2>> counts;
  size_t point_count = 0, triangle_count = 0;
  try {
    wanted.reserve(n);
    for (size_t k = 0; k < n; ++k) {
      if (owners[k] < 0 || static_cast<uint64_t>(owners[k]) >= models.size()) {
        PyErr_Format(PyExc_IndexError, "model position %lld out of range for %zu models",
                     static_cast<long long>(owners[k]), models.size());
        return nullptr;
      }
      const Model& model = *models[static_cast<size_t>(owners[k])];
      if (indices[k] < 0 || static_cast<uint64_t>(indices[k]) >= model.size()) {
        PyErr_Format(PyExc_IndexError, "object index %lld out of range for %zu objects",
                     static_cast<long long>(indices[k]), model.size());
        return nullptr;
      }
      wanted.push_back(&model.objects()[static_cast<size_t>(indices[k])].mesh);
      point_count += wanted.back()->points().size();
      triangle_count += wanted.back()->triangles().size();
    }
    points.reserve(point_count);
    triangles.reserve(triangle_count);
    counts.reserve(n);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  for (const TriMesh* mesh : wanted) {
    const size_t before = triangles.size();
    points.insert(points.end(), mesh->points().begin(), mesh->points().end());
    for (const Triangle& t : mesh->triangles()) {
      if (finite_triangle(mesh->points(), t)) triangles.push_back(t);
    }
    counts.push_back({static_cast<int64_t>(mesh->points().size()), static_cast<int64_t>(triangles.size() - before)});
  }
  Ref p(owned_array<float>(std::move(points), {static_cast<Py_ssize_t>(point_count), 3}));
  const auto kept = static_cast<Py_ssize_t>(triangles.size());
  Ref t(p ? owned_array<uint32_t>(std::move(triangles), {kept, 3}) : nullptr);
  Ref c(t ? owned_array<int64_t>(std::move(counts), {static_cast<Py_ssize_t>(n), 2}) : nullptr);
  return c ? PyTuple_Pack(3, p.get(), t.get(), c.get()) : nullptr;
}

PyObject* model_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&handle_type_def);
  return type;
}

PyObject* wrap_model(Model model) {
  auto* type = reinterpret_cast<PyTypeObject*>(model_type());
  if (type == nullptr) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<ModelObject*>(self)->model) Model(std::move(model));
  return self;
}

const Model* model_of(PyObject* obj, const char* argument) {
  PyObject* type = model_type();
  if (type == nullptr) return nullptr;
  if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type))) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be a ModelHandle, not %.200s", argument,
                 Py_TYPE(obj)->tp_name);
    return nullptr;
  }
  return &model_ref(obj);
}

}  // namespace orvex::kit
