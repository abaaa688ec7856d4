// zuv_weft_git._json_diff: the difference engine on its own, for tests and
// benchmarks that hold it against jsondiff itself.  Not part of the
// drivers' interface.
#include "jsondiff/json_diff.hpp"
#include "py/function.hpp"
#include "py/module.hpp"

namespace {

using zuv::CallArgs;
using zuv::Ref;

zuv::json_diff::Symbols symbols;  // jsondiff's, kept for the process's life

bool remember_symbols() { return symbols.insert || zuv::json_diff::import_symbols(symbols); }

Ref diff_impl(const CallArgs& a) { return zuv::json_diff::diff(a[0], a[1], symbols); }

Ref same_impl(const CallArgs& a) {
  bool equal = false;
  if (!zuv::json_diff::same(a[0], a[1], symbols, equal)) return {};
  return Ref::borrow(equal ? Py_True : Py_False);
}

constexpr zuv::Param kParams[] = {{"a", "Any"}, {"b", "Any"}};
constexpr zuv::FunctionSpec kDiff{"diff", "jsondiff.diff(a, b), computed natively.", kParams, "Any",
                                  diff_impl};
constexpr zuv::FunctionSpec kSame{"same", "jsondiff.diff(a, b) == {}, in linear time.", kParams,
                                  "bool", same_impl};

PyModuleDef module_def =
    zuv::module_definition("_json_diff", "The native jsondiff difference engine.");

bool fill_module(PyObject* module) {
  return remember_symbols() && zuv::add_function(module, kDiff) && zuv::add_function(module, kSame);
}

}  // namespace

PyMODINIT_FUNC PyInit__json_diff() { return zuv::create_module(module_def, fill_module); }
