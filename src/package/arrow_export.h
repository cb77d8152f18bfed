// The type tagmire._native.Buffer: read-only memory owned by C++ (one output
// column of a batch), which pyarrow wraps without copying.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <type_traits>
#include <utility>

namespace package {

// What a Buffer holds, whatever container it came from.
struct Storage {
  virtual ~Storage() = default;
  virtual const void* data() const noexcept = 0;
  virtual std::size_t size() const noexcept = 0;
};

// Any contiguous container of values: std::vector, or the parser's PodVector.
template <class Values>
struct VectorStorage final : Storage {
  explicit VectorStorage(Values&& values) noexcept : values(std::move(values)) {}
  const void* data() const noexcept override { return values.data(); }
  std::size_t size() const noexcept override { return values.size() * sizeof(*values.data()); }
  Values values;
};

// Creates the type once for the process and adds it to `module`. False with
// an exception set.
bool add_buffer_type(PyObject* module) noexcept;

// A new Buffer that takes over `storage`; null with an exception set.
PyObject* new_buffer(std::unique_ptr<Storage> storage) noexcept;

// A new Buffer that takes over `values`.
template <class Values>
PyObject* make_buffer(Values&& values) {
  return new_buffer(std::make_unique<VectorStorage<std::remove_cvref_t<Values>>>(std::move(values)));
}

}  // namespace package
