// zuv_weft_git._json_diff: the difference engine on its own, for tests and
// benchmarks that hold it against jsondiff itself.  Not part of the
// drivers' interface.
#include "jsondiff/json_diff.hpp"
#include "py/function.hpp"
#include "py/module.hpp"

namespace {

using zuv::CallArgs;
using zuv::Ref;

// jsondiff's symbols, read when the module is made.
struct State {
  zuv::json_diff::HeldSymbols symbols;
  int traverse(visitproc visit, void* arg) const { return symbols.traverse(visit, arg); }
  void clear() { symbols.clear(); }
};

// The symbols of the module that defined the function; null with an
// exception set once the module has been cleared.
const zuv::json_diff::Symbols* symbols_of(const CallArgs& a) {
  State* state = zuv::module_state<State>(a.module);
  if (state && !state->symbols.empty()) return &state->symbols.get();
  PyErr_SetString(PyExc_RuntimeError, "the module _json_diff has been cleared");
  return nullptr;
}

Ref diff_impl(const CallArgs& a) {
  const zuv::json_diff::Symbols* symbols = symbols_of(a);
  return symbols ? zuv::json_diff::diff(a[0], a[1], *symbols) : Ref{};
}

Ref same_impl(const CallArgs& a) {
  const zuv::json_diff::Symbols* symbols = symbols_of(a);
  bool equal = false;
  if (!symbols || !zuv::json_diff::same(a[0], a[1], *symbols, equal)) return {};
  return Ref::borrow(equal ? Py_True : Py_False);
}

constexpr zuv::Param kParams[] = {{"a", "Any"}, {"b", "Any"}};
constexpr zuv::FunctionSpec kDiff{"diff", "jsondiff.diff(a, b), computed natively.", kParams, "Any",
                                  diff_impl};
constexpr zuv::FunctionSpec kSame{"same", "jsondiff.diff(a, b) == {}, in linear time.", kParams,
                                  "bool", same_impl};

bool fill_module(PyObject* module, State& state) {
  return state.symbols.import_jsondiff() && zuv::add_function(module, kDiff) &&
         zuv::add_function(module, kSame);
}

}  // namespace

PyMODINIT_FUNC PyInit__json_diff() {
  return zuv::init_module<State, fill_module>("_json_diff",
                                              "The native jsondiff difference engine.");
}
