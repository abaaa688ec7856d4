// _cell_outcome and _parameter_outcome: the merge's decision tables, reachable
// from Python so that each row can be tested without files or git.
#include <string_view>

#include "merge/cell_rules.hpp"
#include "merge/parameter_rules.hpp"
#include "notebook_merge/merge.hpp"

namespace merge {
namespace {

using zuv::Exact;
using zuv::FunctionSpec;
using zuv::Param;

// facts[name] as a truth value (absent: false).
bool fact(PyObject* facts, const char* name, bool& answer) {
  Ref value = Ref::borrow(PyDict_GetItemString(facts, name));
  int is_true = value ? PyObject_IsTrue(value.get()) : 0;
  answer = is_true == 1;
  return is_true >= 0;
}

Ref cell_outcome_impl(const CallArgs& a) {
  PyObject* facts = a[0];
  static const char* const known[] = {"in_base",
                                      "in_current",
                                      "in_incoming",
                                      "current_changed",
                                      "incoming_changed",
                                      "sides_differ",
                                      "current_named",
                                      "incoming_named",
                                      "incoming_name_taken",
                                      "incoming_source_changed",
                                      "canvas",
                                      "header_colour",
                                      "comments",
                                      "other_keys"};
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(facts, &pos, &key, &value)) {
    bool found = false;
    for (const char* name : known)
      found = found || PyUnicode_CompareWithASCIIString(key, name) == 0;
    if (!found) {
      PyErr_Format(PyExc_KeyError, "unknown fact %R", key);
      return {};
    }
  }
  bool v[std::size(known)] = {};
  for (size_t i = 0; i < std::size(known); ++i)
    if (!fact(facts, known[i], v[i])) return {};
  CellFacts f;
  f.in_base = v[0];
  f.in_current = v[1];
  f.in_incoming = v[2];
  f.current_changed = v[3];
  f.incoming_changed = v[4];
  f.sides_differ = v[5];
  f.current_named = v[6];
  f.incoming_named = v[7];
  f.incoming_name_taken = v[8];
  f.incoming_source_changed = v[9];
  f.incoming_canvas = {v[10], v[11], v[12], v[13]};
  std::string_view name = outcome_name(decide_cell(f));
  return Ref::steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
}

bool held_of(PyObject* text, Held& out) {
  static constexpr std::pair<const char*, Held> kNames[] = {
      {"absent", Held::absent},
      {"present", Held::present},
      {"same_as_base", Held::same_as_base},
      {"changed", Held::changed},
      {"same_as_current", Held::same_as_current}};
  for (auto [name, held] : kNames)
    if (PyUnicode_CompareWithASCIIString(text, name) == 0) {
      out = held;
      return true;
    }
  PyErr_Format(PyExc_ValueError, "unknown holding %R", text);
  return false;
}

Ref parameter_outcome_impl(const CallArgs& a) {
  Held base, current, incoming;
  if (!held_of(a[0], base) || !held_of(a[1], current) || !held_of(a[2], incoming)) return {};
  std::string_view name = parameter_outcome_name(decide_parameter(base, current, incoming));
  return Ref::steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
}

constexpr Param kCellParams[] = {{"facts", "Dict[str, bool]", Exact::dict}};
constexpr FunctionSpec kCellOutcome{
    "_cell_outcome", "The merge table's outcome for one cell, given what the versions say about it",
    kCellParams, "str", cell_outcome_impl};
constexpr Param kParameterParams[] = {
    {"base", "str", Exact::str}, {"current", "str", Exact::str}, {"incoming", "str", Exact::str}};
constexpr FunctionSpec kParameterOutcome{
    "_parameter_outcome", "The parameter table's outcome for what each version holds under a name",
    kParameterParams, "str", parameter_outcome_impl};

}  // namespace

bool add_merge_rules(PyObject* module) {
  return zuv::add_function(module, kCellOutcome) && zuv::add_function(module, kParameterOutcome);
}

}  // namespace merge
