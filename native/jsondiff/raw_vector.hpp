// Working buffers allocated through the interpreter's raw allocator, so that
// large tables are counted by tracemalloc like the interpreter's own memory.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <new>
#include <vector>

namespace zuv {

template <typename T>
struct RawAllocator {
  using value_type = T;

  RawAllocator() noexcept = default;
  template <typename U>
  RawAllocator(const RawAllocator<U>&) noexcept {}

  // T may itself be a pointer: its size is the one meant.
  // NOLINTBEGIN(bugprone-sizeof-expression)
  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(T)) throw std::bad_alloc();
    void* p = PyMem_RawMalloc(n * sizeof(T));
    // NOLINTEND(bugprone-sizeof-expression)
    if (!p) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t) noexcept { PyMem_RawFree(p); }

  template <typename U>
  bool operator==(const RawAllocator<U>&) const noexcept {
    return true;
  }
};

template <typename T>
using RawVector = std::vector<T, RawAllocator<T>>;

}  // namespace zuv
