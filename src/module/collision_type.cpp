#include "module/collision_type.h"

#include <new>
#include <string>

#include "module/errors.h"

namespace orvex::py {
namespace {

struct CollisionObject {
  PyObject_HEAD
  CollisionRecord record;
};

CollisionRecord& record_of(PyObject* self) {
  return reinterpret_cast<CollisionObject*>(self)->record;
}

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
  Ref name(PyType_GetName(type));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
  return nullptr;
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  record_of(self).~CollisionRecord();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyObject* text(PyObject* self) {
  std::string s = collision_text(record_of(self));
  PyObject* out = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  return out != nullptr ? out : raise_api_failure();
}

PyObject* str_of(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* get_ids(PyObject* self, void*) {
  const CollisionRecord& r = record_of(self);
  Ref a(str_of(r.id_a));
  Ref b(str_of(r.id_b));
  PyObject* pair = (a && b) ? PyTuple_Pack(2, a.get(), b.get()) : nullptr;
  return pair != nullptr ? pair : raise_api_failure();
}

PyObject* get_dist(PyObject* self, void*) {
  PyObject* out = PyFloat_FromDouble(record_of(self).dist);
  return out != nullptr ? out : raise_api_failure();
}

PyObject* get_point(PyObject* self, void*) {
  const Point& p = record_of(self).point;
  Ref x(PyFloat_FromDouble(p[0]));
  Ref y(PyFloat_FromDouble(p[1]));
  Ref z(PyFloat_FromDouble(p[2]));
  PyObject* triple = (x && y && z) ? PyTuple_Pack(3, x.get(), y.get(), z.get()) : nullptr;
  return triple != nullptr ? triple : raise_api_failure();
}

PyGetSetDef getset[] = {
    {"ids", get_ids, nullptr, "", nullptr},
    {"dist", get_dist, nullptr, "", nullptr},
    {"point", get_point, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(text)},
    {Py_tp_str, reinterpret_cast<void*>(text)},
    {Py_tp_getset, getset},
    {0, nullptr},
};

// No base-type flag (it cannot be subclassed) and no GC flag: an instance holds no
// references to host objects, so it can never be part of a cycle.
PyType_Spec collision_spec = {"Collision", static_cast<int>(sizeof(CollisionObject)), 0, Py_TPFLAGS_DEFAULT, slots};

// The class carries the plain name "Collision". The host warns about a type name
// without a module part, which would make importing fail under warnings-as-errors,
// so that one warning is silenced while the type is created.
PyObject* create_type_quietly() {
  Ref warnings(PyImport_ImportModule("warnings"));
  Ref guard(warnings ? PyObject_CallMethod(warnings.get(), "catch_warnings", nullptr) : nullptr);
  Ref entered(guard ? PyObject_CallMethod(guard.get(), "__enter__", nullptr) : nullptr);
  if (!entered) return nullptr;
  Ref ignored(PyObject_CallMethod(warnings.get(), "simplefilter", "sO", "ignore", PyExc_DeprecationWarning));
  PyObject* type = ignored ? PyType_FromSpec(&collision_spec) : nullptr;
  Ref pending = take_error();
  Ref exited(PyObject_CallMethod(guard.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
  if (pending) {
    restore_error(std::move(pending));
  } else if (!exited) {
    Py_CLEAR(type);
  }
  return type;
}

}  // namespace

PyObject* collision_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = create_type_quietly();
  return type;
}

PyObject* make_collision(CollisionRecord&& record) {
  PyObject* type_obj = collision_type();
  if (type_obj == nullptr) return nullptr;
  auto* type = reinterpret_cast<PyTypeObject*>(type_obj);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;  // the record dies with the caller's copy
  new (&record_of(self)) CollisionRecord(std::move(record));
  return self;
}

}  // namespace orvex::py
