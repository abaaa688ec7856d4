// DiffCell and DiffParameter: records whose diff fields live in the JSON
// objects that they wrap.
#include "notebook_diff/records.hpp"

#include <algorithm>
#include <iterator>
#include <span>
#include <vector>

#include "common/record_canvas.hpp"
#include "py/class_builder.hpp"
#include "py/compat.hpp"

namespace diff {
namespace {

using zuv::Exact;
using zuv::FunctionSpec;
using zuv::Param;

// mapping.get(key, fallback), with the dict's own lookup for a plain dict.
Ref get_or(PyObject* mapping, PyObject* key, PyObject* fallback) {
  if (PyDict_CheckExact(mapping)) {
    PyObject* value = PyDict_GetItemWithError(mapping, key);
    if (value) return Ref::borrow(value);
    return PyErr_Occurred() ? Ref{} : Ref::borrow(fallback);
  }
  return zuv::call_method(mapping, names().get, key, fallback);
}

// mapping.get(key, []); a plain dict's fallback list is made only when used.
Ref get_or_new_list(PyObject* mapping, PyObject* key) {
  if (PyDict_CheckExact(mapping)) {
    PyObject* value = PyDict_GetItemWithError(mapping, key);
    if (value) return Ref::borrow(value);
    return PyErr_Occurred() ? Ref{} : Ref::steal(PyList_New(0));
  }
  Ref empty = Ref::steal(PyList_New(0));
  return empty ? get_or(mapping, key, empty.get()) : Ref{};
}

Ref stored(PyObject* mapping, PyObject* key, PyObject* value) {
  if (PyObject_SetItem(mapping, key, value) < 0) return {};
  return Ref::none();
}

// The status writers accept only the four values of their own class,
// compared in the order the class defines them.
bool check_status(PyObject* globals, PyObject* class_name, PyObject* value) {
  if (!zuv::assertions_enabled()) return true;
  for (PyObject* which : {names().UNCHANGED, names().ADDED, names().REMOVED, names().MODIFIED}) {
    Ref known = class_constant(globals, class_name, which);
    if (!known) return false;
    int eq = PyObject_RichCompareBool(value, known.get(), Py_EQ);
    if (eq < 0) return false;
    if (eq) return true;
  }
  zuv::raise_assertion();
  return false;
}

// --- DiffCell ----------------------------------------------------------------

// super(owner, self).__init__(arg).  When the method found after `owner`
// in the instance's MRO is a plain method descriptor it is called with self
// directly, as the bound method would call it, sparing the temporary super
// and bound method objects.
Ref call_super_init(PyObject* owner, PyObject* self, PyObject* arg) {
  PyObject* mro = Py_TYPE(self)->tp_mro;
  Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro) : 0;
  Py_ssize_t i = 0;
  while (i < n && PyTuple_GET_ITEM(mro, i) != owner) ++i;
  PyObject* init = nullptr;
  for (++i; i < n && !init; ++i) {
    PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
    if (dict && !(init = PyDict_GetItemWithError(dict, names().dunder_init)) && PyErr_Occurred())
      return {};
  }
  if (init && PyType_HasFeature(Py_TYPE(init), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
    Ref method = Ref::borrow(init);  // the call may rebind the class attribute
    PyObject* args[] = {self, arg};
    return Ref::steal(PyObject_Vectorcall(method.get(), args, 2, nullptr));
  }
  Ref parent = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type),
                                                       owner, self, nullptr));
  return parent ? zuv::call_method(parent.get(), names().dunder_init, arg) : Ref{};
}

Ref cell_init(const CallArgs& a) {
  PyObject* self = a[0];
  if (!call_super_init(a.owner, self, a[1])) return {};
  if (!write_status(a.globals, self, names().DiffCell, names().UNCHANGED)) return {};
  return Ref::none();
}

Ref cell_status(const CallArgs& a) {
  Ref canvas = zuv::record_canvas(a[0]);
  if (!canvas) return {};
  Ref fallback = class_constant(a.globals, names().DiffCell, names().UNCHANGED);
  if (!fallback) return {};
  Ref status = get_or(canvas.get(), names().diff_status, fallback.get());
  if (!status || !zuv::check_result(status.get(), &PyUnicode_Type, "unicode")) return {};
  return status;
}

Ref cell_set_status(const CallArgs& a) {
  if (!check_status(a.globals, names().DiffCell, a[1])) return {};
  Ref canvas = zuv::record_canvas(a[0]);
  return canvas ? stored(canvas.get(), names().diff_status, a[1]) : Ref{};
}

// A list-valued canvas field; reads a new empty list, not stored, when absent.
template <PyObject* Names::*Key>
Ref cell_list(const CallArgs& a) {
  Ref canvas = zuv::record_canvas(a[0]);
  if (!canvas) return {};
  Ref value = get_or_new_list(canvas.get(), names().*Key);
  if (!value || !zuv::check_result(value.get(), &PyList_Type, "list")) return {};
  return value;
}

template <PyObject* Names::*Key>
Ref cell_set_field(const CallArgs& a) {
  Ref canvas = zuv::record_canvas(a[0]);
  return canvas ? stored(canvas.get(), names().*Key, a[1]) : Ref{};
}

constexpr Param kSelf{"self", nullptr};
constexpr Param kSelfOnly[] = {kSelf};
constexpr Param kCellInitParams[] = {kSelf, {"cell", "Dict[str, Any]", Exact::dict}};
constexpr Param kStrValue[] = {kSelf, {"value", "str", Exact::str}};
constexpr Param kSourceValue[] = {kSelf, {"value", "List[str]", Exact::list}};
constexpr Param kParentsValue[] = {kSelf, {"value", "List[Dict[str, str]]", Exact::list}};

constexpr FunctionSpec kCellInit{"__init__", nullptr, kCellInitParams, nullptr, cell_init};
constexpr FunctionSpec kCellStatus{"status", "The diff cell status", kSelfOnly, "str", cell_status};
constexpr FunctionSpec kCellSetStatus{"status", nullptr, kStrValue, "None", cell_set_status};
constexpr FunctionSpec kPrevSource{"prev_source", "Previous source code", kSelfOnly, "List[str]",
                                   cell_list<&Names::prev_source>};
constexpr FunctionSpec kSetPrevSource{"prev_source", nullptr, kSourceValue, "None",
                                      cell_set_field<&Names::prev_source>};
constexpr FunctionSpec kRemovedParents{"removed_parents", "Previous parent ids", kSelfOnly,
                                       "List[Dict[str, str]]", cell_list<&Names::removed_parents>};
constexpr FunctionSpec kSetRemovedParents{"removed_parents", nullptr, kParentsValue, "None",
                                          cell_set_field<&Names::removed_parents>};
constexpr FunctionSpec kAddedParents{"added_parents", nullptr, kSelfOnly, "List[Dict[str, str]]",
                                     cell_list<&Names::added_parents>};
constexpr FunctionSpec kSetAddedParents{"added_parents", nullptr, kParentsValue, "None",
                                        cell_set_field<&Names::added_parents>};

// --- DiffParameter -------------------------------------------------------------

Ref parameter_init(const CallArgs& a) {
  if (PyObject_SetAttr(a[0], names()._data, a[1]) < 0) return {};
  if (!write_status(a.globals, a[0], names().DiffParameter, names().UNCHANGED)) return {};
  return Ref::none();
}

Ref parameter_data(const CallArgs& a) {
  Ref data = zuv::getattr(a[0], names()._data);
  if (!data || !zuv::check_result(data.get(), &PyDict_Type, "dict")) return {};
  return data;
}

Ref parameter_status(const CallArgs& a) {
  Ref data = zuv::getattr(a[0], names()._data);
  if (!data) return {};
  Ref fallback = class_constant(a.globals, names().DiffParameter, names().UNCHANGED);
  if (!fallback) return {};
  Ref status = get_or(data.get(), names().diff_status, fallback.get());
  if (!status || !zuv::check_result(status.get(), &PyUnicode_Type, "unicode")) return {};
  return status;
}

Ref parameter_set_status(const CallArgs& a) {
  if (!check_status(a.globals, names().DiffParameter, a[1])) return {};
  Ref data = zuv::getattr(a[0], names()._data);
  return data ? stored(data.get(), names().diff_status, a[1]) : Ref{};
}

// A str-valued key of the parameter, required to be present.
template <PyObject* Names::*Key>
Ref parameter_text(const CallArgs& a) {
  Ref data = zuv::getattr(a[0], names()._data);
  if (!data) return {};
  Ref text = zuv::getitem(data.get(), names().*Key);
  if (!text || !zuv::check_result(text.get(), &PyUnicode_Type, "unicode")) return {};
  return text;
}

// prev_type / prev_value: the stored previous text, or the current one
// (read first, through its property) when none is stored.
template <PyObject* Names::*PrevKey, PyObject* Names::*CurrentMember>
Ref parameter_previous(const CallArgs& a) {
  Ref data = zuv::getattr(a[0], names()._data);
  if (!data) return {};
  Ref current = read_member(a[0], names().*CurrentMember);
  if (!current) return {};
  Ref text = get_or(data.get(), names().*PrevKey, current.get());
  if (!text || !zuv::check_result(text.get(), &PyUnicode_Type, "unicode")) return {};
  return text;
}

template <PyObject* Names::*Key>
Ref parameter_set_field(const CallArgs& a) {
  Ref data = zuv::getattr(a[0], names()._data);
  return data ? stored(data.get(), names().*Key, a[1]) : Ref{};
}

constexpr Param kParameterInitParams[] = {kSelf, {"data", "Dict[str, str]", Exact::dict}};

constexpr FunctionSpec kParameterInit{"__init__", nullptr, kParameterInitParams, nullptr,
                                      parameter_init};
constexpr FunctionSpec kParameterData{"data", "Raw parameter data", kSelfOnly, "Dict[str, str]",
                                      parameter_data};
constexpr FunctionSpec kParameterStatus{"status", "The parameter's diff status", kSelfOnly, "str",
                                        parameter_status};
constexpr FunctionSpec kParameterSetStatus{"status", nullptr, kStrValue, "None",
                                           parameter_set_status};
constexpr FunctionSpec kParameterName{"name", "The parameter's name", kSelfOnly, "str",
                                      parameter_text<&Names::name>};
constexpr FunctionSpec kParameterType{"type", "The parameter's type", kSelfOnly, "str",
                                      parameter_text<&Names::type>};
constexpr FunctionSpec kParameterValue{"value", "The parameter's value", kSelfOnly, "str",
                                       parameter_text<&Names::value>};
constexpr FunctionSpec kPrevType{"prev_type", "The parameter's previous type before modification",
                                 kSelfOnly, "str",
                                 parameter_previous<&Names::prev_type, &Names::type>};
constexpr FunctionSpec kSetPrevType{"prev_type", nullptr, kStrValue, "None",
                                    parameter_set_field<&Names::prev_type>};
constexpr FunctionSpec kPrevValue{"prev_value",
                                  "The parameter's previous value before modification", kSelfOnly,
                                  "str", parameter_previous<&Names::prev_value, &Names::value>};
constexpr FunctionSpec kSetPrevValue{"prev_value", nullptr, kStrValue, "None",
                                     parameter_set_field<&Names::prev_value>};

void add_status_constants(zuv::ClassBuilder& builder) {
  builder.constant("UNCHANGED", "unchanged")
      .constant("ADDED", "added")
      .constant("REMOVED", "removed")
      .constant("MODIFIED", "modified");
}

// --- direct member access ---------------------------------------------------------
//
// On an object whose type is exactly one of our classes, and while the class
// still holds the property that we put there, `record.member` runs the
// member's implementation directly instead of through the descriptor
// protocol and the argument binder; the argument check of a setter is kept.

struct DirectMember {
  PyObject* Names::*name = nullptr;
  const FunctionSpec* getter = nullptr;
  const FunctionSpec* setter = nullptr;
};

// What a record class offers directly; the objects of each module's class
// are in its state (diff.hpp: DirectClass, in this order).
struct DirectShape {
  const FunctionSpec* init;
  std::span<const DirectMember> members;
};

constexpr DirectMember kDiffCellMembers[] = {
    {&Names::status, &kCellStatus, &kCellSetStatus},
    {&Names::prev_source, &kPrevSource, &kSetPrevSource},
    {&Names::removed_parents, &kRemovedParents, &kSetRemovedParents},
    {&Names::added_parents, &kAddedParents, &kSetAddedParents},
};

constexpr DirectMember kDiffParameterMembers[] = {
    {&Names::data, &kParameterData, nullptr},
    {&Names::status, &kParameterStatus, &kParameterSetStatus},
    {&Names::name, &kParameterName, nullptr},
    {&Names::type, &kParameterType, nullptr},
    {&Names::value, &kParameterValue, nullptr},
    {&Names::prev_type, &kPrevType, &kSetPrevType},
    {&Names::prev_value, &kPrevValue, &kSetPrevValue},
};

constexpr DirectShape kDirectShapes[] = {{&kCellInit, kDiffCellMembers},
                                         {&kParameterInit, kDiffParameterMembers}};
static_assert(std::size(kDiffCellMembers) <= kMaxDirectMembers &&
              std::size(kDiffParameterMembers) <= kMaxDirectMembers);

// The states of the modules alive, in every interpreter of the process
// (they share one GIL, py/module.hpp): a record's class is found by
// identity, so each module's records run with that module's objects.
// Mostly one.
std::vector<const ModuleState*>& live_states() {
  // Never destroyed: a module's state may be freed late in the process's exit.
  static auto* states = new std::vector<const ModuleState*>();
  return *states;
}

bool register_direct(size_t which, ModuleState& state, PyObject* module, PyObject* cls) {
  DirectClass& direct = state.direct[which];
  PyObject* dict = reinterpret_cast<PyTypeObject*>(cls)->tp_dict;
  const DirectShape& shape = kDirectShapes[which];
  for (size_t i = 0; i < shape.members.size(); ++i) {
    PyObject* property = PyDict_GetItemWithError(dict, names().*shape.members[i].name);
    if (!property) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "class member missing");
      return false;
    }
    direct.properties[i] = Ref::borrow(property);
  }
  PyObject* init = PyDict_GetItemWithError(dict, names().dunder_init);
  if (!init) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "class member missing");
    return false;
  }
  direct.init_function = Ref::borrow(init);
  direct.globals = Ref::borrow(PyModule_GetDict(module));
  direct.type = Ref::borrow(cls);
  std::vector<const ModuleState*>& states = live_states();
  if (std::find(states.begin(), states.end(), &state) == states.end()) states.push_back(&state);
  return true;
}

// The direct class of a record class: its shape and its objects.
struct Found {
  const DirectShape* shape;
  const DirectClass* objects;
};

Found find_direct(PyObject* cls) {
  for (const ModuleState* state : live_states())
    for (size_t which = 0; which < std::size(kDirectShapes); ++which)
      if (state->direct[which].type.get() == cls)
        return {&kDirectShapes[which], &state->direct[which]};
  return {nullptr, nullptr};
}

// `cls(arg)` for one of our classes, exactly as type.__call__ makes it
// (object.__new__, then our __init__) while nothing of that was replaced.
Found direct_construction(PyObject* cls) {
  if (!Py_IS_TYPE(cls, &PyType_Type)) return {nullptr, nullptr};
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
  Found found = find_direct(cls);
  if (!found.shape) return found;
  if (type->tp_new != PyBaseObject_Type.tp_new || PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT) ||
      zuv::compat::type_lookup(type, names().dunder_init) != found.objects->init_function.get())
    return {nullptr, nullptr};
  return found;
}

struct Direct {
  const DirectClass* cls;
  const DirectMember* member;
};

// The member of `record` that can be run directly, or nulls.
Direct direct_member(PyObject* record, PyObject* name) {
  Found found = find_direct(reinterpret_cast<PyObject*>(Py_TYPE(record)));
  if (!found.shape) return {nullptr, nullptr};
  for (size_t i = 0; i < found.shape->members.size(); ++i) {
    const DirectMember& member = found.shape->members[i];
    if (names().*member.name != name) continue;
    if (zuv::compat::type_lookup(Py_TYPE(record), name) != found.objects->properties[i].get())
      break;
    return {found.objects, &member};
  }
  return {nullptr, nullptr};
}

// What the member's function receives when Python calls it.
CallArgs call_args(const DirectClass& direct, PyObject* const* args) {
  return CallArgs{args, direct.globals.get(), direct.type.get()};
}

}  // namespace

Ref class_constant(PyObject* globals, PyObject* class_name, PyObject* constant) {
  Ref cls = zuv::global(globals, class_name);
  if (!cls) return {};
  // A str found in a plain class's MRO is what getattr returns for it: a
  // str has no descriptor behaviour and `type` defines no such attribute.
  if (Py_IS_TYPE(cls.get(), &PyType_Type)) {
    PyObject* value =
        zuv::compat::type_lookup(reinterpret_cast<PyTypeObject*>(cls.get()), constant);
    if (value && PyUnicode_CheckExact(value)) return Ref::borrow(value);
  }
  return zuv::getattr(cls.get(), constant);
}

Ref read_member(PyObject* record, PyObject* member) {
  Direct direct = direct_member(record, member);
  if (!direct.member) return zuv::getattr(record, member);
  PyObject* args[] = {record};
  return direct.member->getter->impl(call_args(*direct.cls, args));
}

bool write_member(PyObject* record, PyObject* member, PyObject* value) {
  Direct direct = direct_member(record, member);
  if (!direct.member || !direct.member->setter) return PyObject_SetAttr(record, member, value) == 0;
  const Param& param = direct.member->setter->params[1];
  if (!zuv::check_argument(value, param.exact, param.none_ok, param.name)) return false;
  PyObject* args[] = {record, value};
  return static_cast<bool>(direct.member->setter->impl(call_args(*direct.cls, args)));
}

Ref construct_record(PyObject* globals, PyObject* class_name, PyObject* arg) {
  Ref cls = zuv::global(globals, class_name);
  if (!cls) return {};
  Found direct = direct_construction(cls.get());
  if (!direct.shape) return zuv::call(cls.get(), arg);
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls.get());
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return {};
  const Param& param = direct.shape->init->params[1];
  if (!zuv::check_argument(arg, param.exact, param.none_ok, param.name)) return {};
  PyObject* args[] = {self.get(), arg};
  if (!direct.shape->init->impl(call_args(*direct.objects, args))) return {};
  return self;
}

ModuleState::~ModuleState() { std::erase(live_states(), this); }

int ModuleState::traverse(visitproc visit, void* arg) const {
  Py_VISIT(unified_diff.get());
  Py_VISIT(cell_modified.get());
  for (const DirectClass& d : direct) {
    Py_VISIT(d.type.get());
    Py_VISIT(d.init_function.get());
    Py_VISIT(d.globals.get());
    for (const Ref& property : d.properties) Py_VISIT(property.get());
  }
  return 0;
}

void ModuleState::clear() {
  unified_diff.reset();
  cell_modified.reset();
  for (DirectClass& d : direct) {
    d.type.reset();
    d.init_function.reset();
    d.globals.reset();
    for (Ref& property : d.properties) property.reset();
  }
}

bool write_status(PyObject* globals, PyObject* record, PyObject* class_name, PyObject* constant) {
  Ref status = class_constant(globals, class_name, constant);
  return status && write_member(record, names().status, status.get());
}

bool add_diff_cell(PyObject* module, PyObject* cell_class, ModuleState& state) {
  zuv::ClassBuilder builder(module, "DiffCell",
                            "Data structure to represent a cell that undergoes diff process.");
  add_status_constants(builder);
  builder.method(kCellInit)
      .property(kCellStatus, &kCellSetStatus)
      .property(kPrevSource, &kSetPrevSource)
      .property(kRemovedParents, &kSetRemovedParents)
      .property(kAddedParents, &kSetAddedParents);
  Ref cls = builder.build(cell_class);
  return cls && register_direct(0, state, module, cls.get());
}

bool add_diff_parameter(PyObject* module, ModuleState& state) {
  zuv::ClassBuilder builder(module, "DiffParameter",
                            "Data structure to represent a parameter that undergoes diff process.");
  add_status_constants(builder);
  builder.method(kParameterInit)
      .property(kParameterData)
      .property(kParameterStatus, &kParameterSetStatus)
      .property(kParameterName)
      .property(kParameterType)
      .property(kParameterValue)
      .property(kPrevType, &kSetPrevType)
      .property(kPrevValue, &kSetPrevValue);
  Ref cls = builder.build(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
  return cls && register_direct(1, state, module, cls.get());
}

}  // namespace diff
