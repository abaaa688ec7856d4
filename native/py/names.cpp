#include "py/names.hpp"

#include <algorithm>
#include <array>
#include <iterator>

namespace zuv {

namespace detail {
Names name_registry;
}

namespace {

// The members in list order, to fill and to check them in one loop.
PyObject* Names::*const kMembers[] = {
#define ZUV_NAME_POINTER(member, text) &Names::member,
    ZUV_NAMES(ZUV_NAME_POINTER)
#undef ZUV_NAME_POINTER
};

const char* const kTexts[] = {
#define ZUV_NAME_TEXT(member, text) text,
    ZUV_NAMES(ZUV_NAME_TEXT)
#undef ZUV_NAME_TEXT
};

static_assert(std::size(kMembers) == std::size(kTexts));

bool complete = false;

}  // namespace

// The registry is one for the whole process, shared by every interpreter
// that imports a module of the package.  That is sound because
// - it is made by the main interpreter (a first import elsewhere is
//   refused): an interned string belongs to the interpreter that interned
//   it, and one with an allocator of its own frees its strings when it ends,
//   while the main interpreter ends last;
// - the registry keeps a reference to every name until the process ends, and
//   a str never changes (its hash is computed when it is interned), so other
//   interpreters only read the names and count references to them;
// - every module declares that it runs only in interpreters that share the
//   main interpreter's GIL (py/module.hpp), so those reference counts are
//   ordered by one lock.
// An interpreter with interned strings of its own finds its own "cells" and
// ours equal by value where identity differs: lookups stay correct.
bool create_names() {
  if (complete) return true;
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError,
                    "the native modules of zuv_weft_git are imported by the main interpreter "
                    "before any subinterpreter imports them");
    return false;
  }
  // Built aside and published whole: a failure leaves the registry empty.
  Names made;
  for (size_t i = 0; i < std::size(kMembers); ++i) {
    // The reference is kept for the life of the process, like the
    // interpreter's own identifiers.
    PyObject* text = PyUnicode_InternFromString(kTexts[i]);
    if (!text) {
      for (size_t j = 0; j < i; ++j) Py_DECREF(made.*kMembers[j]);
      return false;
    }
    made.*kMembers[i] = text;
  }
  detail::name_registry = made;
  complete = true;
  return true;
}

PyObject* known_name(std::string_view text) noexcept {
  if (!complete) return nullptr;
  // The registry's indexes in the order of their texts, made once.
  static const auto kByText = [] {
    std::array<size_t, std::size(kTexts)> order{};
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [](size_t a, size_t b) {
      return std::string_view(kTexts[a]) < std::string_view(kTexts[b]);
    });
    return order;
  }();
  const auto found = std::lower_bound(kByText.begin(), kByText.end(), text,
                                      [](size_t index, std::string_view wanted) {
                                        return std::string_view(kTexts[index]) < wanted;
                                      });
  if (found == kByText.end() || std::string_view(kTexts[*found]) != text) return nullptr;
  return detail::name_registry.*kMembers[*found];
}

}  // namespace zuv
