// Read-only arrays that cross into Python through the buffer protocol, so that
// numpy.asarray wraps them without a copy and without numpy headers here. An array
// either owns its memory or views memory of another object that it keeps alive.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

#include "module/pyref.h"

namespace orvex::kit {

using py::Ref;

/// The array type, created on first use and kept for the life of the process.
PyObject* array_type();

/// Buffer-protocol format character of the element types the arrays carry.
template <class T>
constexpr const char* format_of();
template <>
constexpr const char* format_of<float>() { return "f"; }
template <>
constexpr const char* format_of<uint32_t>() { return "I"; }
template <>
constexpr const char* format_of<int64_t>() { return "q"; }
template <>
constexpr const char* format_of<uint8_t>() { return "B"; }
template <>
constexpr const char* format_of<double>() { return "d"; }

namespace detail {
PyObject* make_array(std::shared_ptr<const void> storage, PyObject* owner, const void* data,
                     const char* format, Py_ssize_t itemsize, std::initializer_list<Py_ssize_t> shape);
}

/// A C-contiguous array of `shape` over `data`, a run of T (or of std::array<T, k>
/// rows), that stays valid while `owner` lives; the array holds a reference to it.
template <class T>
PyObject* view_array(PyObject* owner, const T* data, std::initializer_list<Py_ssize_t> shape) {
  return detail::make_array(nullptr, owner, data, format_of<T>(), sizeof(T), shape);
}

/// An array of T that takes `values` (T or std::array<T, k> rows) over, with `shape`
/// covering all of them.
template <class T, class Element>
PyObject* owned_array(std::vector<Element> values, std::initializer_list<Py_ssize_t> shape) {
  static_assert(sizeof(Element) % sizeof(T) == 0, "rows are packed scalars");
  auto storage = std::make_shared<const std::vector<Element>>(std::move(values));
  const void* data = storage->data();
  return detail::make_array(std::move(storage), nullptr, data, format_of<T>(), sizeof(T), shape);
}

}  // namespace orvex::kit
