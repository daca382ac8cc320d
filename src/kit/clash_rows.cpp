#include "kit/clash_rows.h"

#include <array>
#include <cmath>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "report_rows.h"

namespace orvex::kit {
namespace {

using py::Ref;

// The str of an attribute name, made once: looking up by C string makes a str each time.
// Null with MemoryError pending when it cannot be made (PyObject_GetAttr then fails too).
PyObject* interned(const char* name) {
  static std::unordered_map<std::string_view, PyObject*> names;
  auto [at, fresh] = names.try_emplace(name, nullptr);
  if (fresh || at->second == nullptr) at->second = PyUnicode_InternFromString(name);
  return at->second;
}

// Reads one Clash into a ClashRow. The row views text held by the attributes it took,
// which it keeps until the next clash. `read` is false for a value of another kind than
// the engine spells, and after an exception (an attribute missing...), left pending.
class RowReader {
 public:
  bool read(PyObject* clash, ClashRow& row) {
    held_.clear();
    plain_ = true;
    row.id = text(clash, "id");
    row.check = text(clash, "check");
    row.kind = text(clash, "kind");
    row.status = text(clash, "status");
    row.group = optional_text(clash, "group");
    row.dist = number(attr(clash, "dist"));
    row.previous_dist = number(attr(clash, "previous_dist"));
    row.point_a = point(attr(clash, "point_a"));
    row.point_b = point(attr(clash, "point_b"));
    object(attr(clash, "a"), row.a);
    object(attr(clash, "b"), row.b);
    row.volume = optional_number(attr(clash, "volume"));
    row.thickness = optional_number(attr(clash, "thickness"));
    PyObject* centre = attr(clash, "centre");
    row.centre = centre == Py_None ? std::nullopt : std::optional(point(centre));
    row.contained = optional_text(clash, "contained");
    row.approximate = truth(attr(clash, "approximate"));
    if (truth(attr(clash, "extra"))) plain_ = false;  // members the engine does not spell
    return plain_ && !PyErr_Occurred();
  }

 private:
  // A borrowed view of the attribute (kept alive in held_); Py_None after a failure.
  PyObject* attr(PyObject* obj, const char* name) {
    if (!plain_ || obj == nullptr || obj == Py_None) return fail();
    PyObject* key = interned(name);
    PyObject* value = key == nullptr ? nullptr : PyObject_GetAttr(obj, key);
    if (value == nullptr) return fail();
    held_.emplace_back(value);
    return value;
  }

  PyObject* fail() {
    plain_ = false;
    return Py_None;
  }

  std::string_view utf8(PyObject* value) {
    if (!plain_ || !PyUnicode_Check(value)) return fail(), std::string_view();
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) {
      // A lone surrogate: the Python writers have their own spelling for it.
      if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) PyErr_Clear();
      return fail(), std::string_view();
    }
    return {data, static_cast<size_t>(size)};
  }

  std::string_view text(PyObject* obj, const char* name) { return utf8(attr(obj, name)); }

  std::optional<std::string_view> optional_text(PyObject* obj, const char* name) {
    PyObject* value = attr(obj, name);
    if (value == Py_None) return std::nullopt;
    return utf8(value);
  }

  // A float, NaN for None (both written as unknown).
  double number(PyObject* value) {
    if (value == Py_None) return NAN;
    if (!PyFloat_Check(value)) return fail(), NAN;
    return PyFloat_AS_DOUBLE(value);
  }

  std::optional<double> optional_number(PyObject* value) {
    if (value == Py_None) return std::nullopt;
    return number(value);
  }

  // Three floats in a tuple or list.
  std::array<double, 3> point(PyObject* value) {
    std::array<double, 3> p{NAN, NAN, NAN};
    if (!plain_ || !(PyTuple_Check(value) || PyList_Check(value)) || PySequence_Fast_GET_SIZE(value) != 3) {
      fail();
      return p;
    }
    for (Py_ssize_t k = 0; k < 3; ++k) {
      PyObject* c = PySequence_Fast_GET_ITEM(value, k);
      if (!PyFloat_Check(c)) return fail(), p;
      p[static_cast<size_t>(k)] = PyFloat_AS_DOUBLE(c);
    }
    return p;
  }

  void object(PyObject* ref, RowObject& o) {
    o.model = text(ref, "model");
    o.key = text(ref, "key");
    o.type = text(ref, "type");
    o.name = optional_text(ref, "name");
    o.level = optional_text(ref, "level");
  }

  bool truth(PyObject* value) {
    const int t = plain_ ? PyObject_IsTrue(value) : 0;
    if (t < 0) fail();
    return t > 0;
  }

  std::vector<Ref> held_;
  bool plain_ = true;
};

}  // namespace

PyObject* clash_rows(PyObject*, PyObject* args) {
  PyObject* clashes;
  const char* format;
  if (!PyArg_ParseTuple(args, "O!s:clash_rows", &PyList_Type, &clashes, &format)) return nullptr;
  const std::string_view kind(format);
  if (kind != "json" && kind != "csv") {
    PyErr_SetString(PyExc_ValueError, "clash_rows writes \"json\" or \"csv\"");
    return nullptr;
  }
  const bool json = kind == "json";
  // A snapshot holds the clashes while they are read, whatever reading them runs.
  Ref items(PyList_AsTuple(clashes));
  if (!items) return nullptr;
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  std::string out;
  RowReader reader;
  ClashRow row;
  try {
    if (json) out.append(n > 0 ? "[\n  " : "[]");
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!reader.read(PyTuple_GET_ITEM(items.get(), i), row)) {
        // The Python writers write it, or raise what it raises for them.
        PyErr_Clear();
        Py_RETURN_NONE;
      }
      if (json) {
        if (i > 0) out.append(",\n  ");
        append_json_row(out, row);
      } else {
        append_csv_row(out, row);
      }
    }
    if (json && n > 0) out.append("\n ]");
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

}  // namespace orvex::kit
