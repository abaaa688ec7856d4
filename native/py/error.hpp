// Errors across the binding layer.
//
// Convention: a function that can fail returns a `Ref` (empty on failure) or
// a `bool` (false on failure), and on failure the interpreter's error
// indicator holds the exception.  Nothing else is used to report failure: no
// -1/0/1 integers, no null borrowed pointers.  A question with three answers
// (true, false, failed) returns `bool` for success and gives its answer
// through an out parameter.
//
// A lookup into a parsed document (`cli::member`, notebook/lookup.hpp) is no
// such function: it answers "absent" with nullptr, which is an answer and not
// a failure, because in the dicts json.loads builds (exact str keys) a lookup
// with an exact-str key runs no Python code and cannot fail.
//
// Failures that are the user's, not the interpreter's (a file that cannot be
// read, a git that exits with an error, an argument that makes no sense), are
// reported by the `zuv` commands as a message: such a function returns `bool`
// (or `Ref`) and fills a `std::string& error` parameter, with no Python
// exception set.  A caller tells the two apart by `PyErr_Occurred()`, and the
// command prints the message and exits with its own status; a Python
// exception always wins over a message.
//
// An exception is cleared only where the caller expects that very kind
// (`clear_expected`): a MemoryError, KeyboardInterrupt or anything else
// unforeseen always leaves through the caller's failure path.
//
// C++ exceptions never reach the interpreter: the native function entry point
// and module setup catch them and call `raise_from_cxx_exception`.
#pragma once

#include <initializer_list>
#include <utility>

#include "py/compat.hpp"
#include "py/ref.hpp"

namespace zuv {

// Sets the Python exception for the C++ exception being handled: MemoryError
// for std::bad_alloc, SystemError with its message for any other.  Call it
// only inside a catch block.
void raise_from_cxx_exception() noexcept;

// Test hook for the boundary above.  With the environment variable
// ZUV_INJECT_CXX_EXCEPTION set to "<kind>@<place>" (kind: bad_alloc or
// runtime_error), throws that exception when native code enters `place`: a
// native function's name (every call), or "setup:<module>" for a module's
// setup (its first attempt in the process only, so that a retry can be
// seen).  Unset, it costs one comparison.
void inject_cxx_exception(const char* place);

// After a failure: clears the current exception where it is an instance of
// one of `expected` and answers true; answers false with any other exception
// left in place.  With no exception set it answers true.
bool clear_expected(std::initializer_list<PyObject*> expected) noexcept;

// An exception taken out of the interpreter's error indicator, normalised.
// A path ends it with `restore()`, `discard()` or
// `become_context_of_current()`; one that forgets does not drop it: the
// destructor puts it back, or, when another exception has been raised
// meanwhile, makes it that one's context.
class CaughtError {
 public:
  CaughtError() : raised_(compat::take_raised_exception()) {}
  CaughtError(CaughtError&&) noexcept = default;  // the moved-from one holds nothing
  CaughtError(const CaughtError&) = delete;
  CaughtError& operator=(const CaughtError&) = delete;
  CaughtError& operator=(CaughtError&&) = delete;
  ~CaughtError() {
    if (!raised_.type && !raised_.value) return;
    if (PyErr_Occurred())
      become_context_of_current();
    else
      restore();
  }
  PyObject* type() const { return raised_.type.get(); }
  PyObject* value() const { return raised_.value.get(); }
  PyObject* traceback() const { return raised_.traceback ? raised_.traceback.get() : Py_None; }
  // Puts the exception back as the current one.
  void restore() { compat::raise_again(std::move(raised_)); }
  // Drops the exception: the caller has handled it.
  void discard() { raised_ = {}; }
  // The exception now raised happened while this one was being handled.
  void become_context_of_current() {
    compat::RaisedException current = compat::take_raised_exception();
    if (current.value && raised_.value && current.value.get() != raised_.value.get())
      PyException_SetContext(current.value.get(), Py_NewRef(raised_.value.get()));
    compat::raise_again(std::move(current));
    raised_ = {};
  }

 private:
  compat::RaisedException raised_;
};

}  // namespace zuv
