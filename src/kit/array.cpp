#include "kit/array.h"

#include <new>

namespace orvex::kit {
namespace {

constexpr int kMaxDims = 3;

struct ArrayObject {
  PyObject_HEAD
  std::shared_ptr<const void> storage;  // what the array owns; null for a view
  PyObject* owner;                      // what a view keeps alive; null when owned
  const void* data;
  const char* format;
  Py_ssize_t itemsize;
  Py_ssize_t bytes;
  int ndim;
  Py_ssize_t shape[kMaxDims];
  Py_ssize_t strides[kMaxDims];
};

ArrayObject* array_of(PyObject* self) { return reinterpret_cast<ArrayObject*>(self); }

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  ArrayObject* a = array_of(self);
  a->storage.~shared_ptr();
  Py_XDECREF(a->owner);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

// Exports the memory read-only, with format, shape and strides when asked for;
// a request without a shape gets the plain bytes, as PyBuffer_FillInfo gives them.
int get_buffer(PyObject* self, Py_buffer* view, int flags) {
  const ArrayObject* a = array_of(self);
  if (flags & PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, "orvexkit arrays are read-only");
    view->obj = nullptr;
    return -1;
  }
  const bool shaped = (flags & PyBUF_ND) == PyBUF_ND;
  view->buf = const_cast<void*>(a->data);
  view->obj = Py_NewRef(self);
  view->len = a->bytes;
  view->readonly = 1;
  view->itemsize = shaped ? a->itemsize : 1;
  view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>(a->format) : nullptr;
  view->ndim = shaped ? a->ndim : 1;
  view->shape = shaped ? const_cast<Py_ssize_t*>(a->shape) : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? const_cast<Py_ssize_t*>(a->strides) : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(get_buffer)},
    {Py_tp_doc, const_cast<char*>("Read-only memory of an orvexkit model or result; numpy.asarray views it.")},
    {0, nullptr},
};

PyType_Spec array_type_def = {"orvexkit._native.Array", sizeof(ArrayObject), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};

}  // namespace

PyObject* array_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&array_type_def);
  return type;
}

namespace detail {

PyObject* make_array(std::shared_ptr<const void> storage, PyObject* owner, const void* data,
                     const char* format, Py_ssize_t itemsize, std::initializer_list<Py_ssize_t> shape) {
  static const char empty = 0;  // a buffer's address is never null, even with no element
  if (shape.size() > kMaxDims) {
    PyErr_SetString(PyExc_SystemError, "orvexkit arrays have at most 3 dimensions");
    return nullptr;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(array_type());
  if (type == nullptr) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  ArrayObject* a = array_of(self);
  new (&a->storage) std::shared_ptr<const void>(std::move(storage));
  a->owner = Py_XNewRef(owner);
  a->format = format;
  a->itemsize = itemsize;
  a->ndim = static_cast<int>(shape.size());
  Py_ssize_t count = 1;
  int k = 0;
  for (Py_ssize_t extent : shape) {
    a->shape[k++] = extent;
    count *= extent;
  }
  Py_ssize_t stride = itemsize;
  for (k = a->ndim - 1; k >= 0; --k) {
    a->strides[k] = stride;
    stride *= a->shape[k];
  }
  a->bytes = count * itemsize;
  a->data = count > 0 && data != nullptr ? data : &empty;
  return self;
}

}  // namespace detail
}  // namespace orvex::kit
