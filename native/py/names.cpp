#include "py/names.hpp"

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

bool create_names() {
  if (complete) return true;
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

}  // namespace zuv
