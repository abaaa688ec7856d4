// zuv_weft_git.drivers.common: the cell record `Cell`.
//
// A `Cell` wraps one notebook cell object and serves its parts by name.  It
// never copies: every read returns the objects held in the cell (or a fresh
// default when a member is absent, which is not stored), and every write
// lands in the cell object, so records that share a cell see each other's
// changes.  Where things live in the cell:
//
//   weft_id   cell["metadata"]["canvas"]["id"]
//   name      cell["metadata"]["canvas"]["name"]      ("" when absent)
//   parents   cell["metadata"]["canvas"]["parents"]   ([] when absent)
//   comments  cell["metadata"]["canvas"]["comments"]  ([] when absent)
//   source    cell["source"]  (a str source reads as its lines)
//   cell_id   cell["id"]      (the nbformat cell id)
//
// Reads do not check the types of what the notebook holds: callers that need
// a particular type check it where they use the value.
#include "common/record_canvas.hpp"
#include "py/class_builder.hpp"
#include "py/module.hpp"
#include "py/names.hpp"

namespace {

using zuv::CallArgs;
using zuv::Exact;
using zuv::FunctionSpec;
using zuv::Param;
using zuv::Ref;

using zuv::names;

Ref cell_data(PyObject* self) { return zuv::getattr(self, names()._data); }

// mapping[key] into `found`, which stays empty when the key is absent.
bool lookup(PyObject* mapping, PyObject* key, Ref& found) {
  if (PyDict_CheckExact(mapping)) {
    found = Ref::borrow(PyDict_GetItemWithError(mapping, key));
    return found || !PyErr_Occurred();
  }
  found = zuv::getitem(mapping, key);
  if (found) return true;
  if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
  PyErr_Clear();
  return true;
}

bool store(PyObject* mapping, PyObject* key, PyObject* value) {
  return PyObject_SetItem(mapping, key, value) == 0;
}

// Reads a canvas member; `fallback` makes the value used when it is absent.
template <typename Fallback>
Ref read_canvas(PyObject* self, PyObject* key, Fallback fallback) {
  Ref canvas = zuv::record_canvas(self);
  if (!canvas) return {};
  Ref value;
  if (!lookup(canvas.get(), key, value)) return {};
  return value ? value : fallback();
}

Ref write_canvas(PyObject* self, PyObject* key, PyObject* value) {
  Ref canvas = zuv::record_canvas(self);
  if (!canvas || !store(canvas.get(), key, value)) return {};
  return Ref::none();
}

Ref new_list() { return Ref::steal(PyList_New(0)); }

// --- members -------------------------------------------------------------

Ref init(const CallArgs& a) {
  if (PyObject_SetAttr(a[0], names()._data, a[1]) < 0) return {};
  return Ref::none();
}

Ref get_data(const CallArgs& a) { return cell_data(a[0]); }

Ref get_weft_id(const CallArgs& a) {
  Ref canvas = zuv::record_canvas(a[0]);
  return canvas ? zuv::getitem(canvas.get(), names().id) : Ref{};
}
Ref set_weft_id(const CallArgs& a) { return write_canvas(a[0], names().id, a[1]); }

Ref get_name(const CallArgs& a) {
  return read_canvas(a[0], names().name, [] { return Ref::borrow(names().empty); });
}
Ref set_name(const CallArgs& a) { return write_canvas(a[0], names().name, a[1]); }

Ref get_parents(const CallArgs& a) { return read_canvas(a[0], names().parents, new_list); }
Ref set_parents(const CallArgs& a) { return write_canvas(a[0], names().parents, a[1]); }

Ref get_comments(const CallArgs& a) { return read_canvas(a[0], names().comments, new_list); }

Ref add_comment(const CallArgs& a) {
  Ref canvas = zuv::record_canvas(a[0]);
  if (!canvas) return {};
  Ref comments;
  if (!lookup(canvas.get(), names().comments, comments)) return {};
  if (!comments) {
    comments = new_list();
    if (!comments || !store(canvas.get(), names().comments, comments.get())) return {};
  }
  if (PyList_CheckExact(comments.get())) {
    if (PyList_Append(comments.get(), a[1]) < 0) return {};
    return Ref::none();
  }
  Ref done = zuv::call_method(comments.get(), names().append, a[1]);
  return done ? Ref::none() : Ref{};
}

Ref get_source(const CallArgs& a) {
  Ref data = cell_data(a[0]);
  if (!data) return {};
  Ref source;
  if (!lookup(data.get(), names().source, source)) return {};
  if (!source) return new_list();
  if (PyUnicode_Check(source.get())) return Ref::steal(PyUnicode_Splitlines(source.get(), 1));
  return source;
}
Ref set_source(const CallArgs& a) {
  Ref data = cell_data(a[0]);
  if (!data || !store(data.get(), names().source, a[1])) return {};
  return Ref::none();
}

Ref get_cell_id(const CallArgs& a) {
  Ref data = cell_data(a[0]);
  if (!data) return {};
  Ref id;
  if (!lookup(data.get(), names().id, id)) return {};
  return id ? id : Ref::none();
}
Ref set_cell_id(const CallArgs& a) {
  Ref data = cell_data(a[0]);
  if (!data || !store(data.get(), names().id, a[1])) return {};
  return Ref::none();
}

// --- specs ---------------------------------------------------------------

constexpr Param kSelf{"self", nullptr};
constexpr Param kInitParams[] = {kSelf, {"cell", "Dict[str, Any]", Exact::dict}};
constexpr Param kSelfOnly[] = {kSelf};
constexpr Param kStrValue[] = {kSelf, {"value", "str", Exact::str}};
constexpr Param kListValue[] = {kSelf, {"value", "List[Dict[str, Any]]", Exact::list}};
constexpr Param kSourceValue[] = {kSelf, {"value", "List[str]", Exact::list}};
constexpr Param kComment[] = {kSelf, {"comment", "Any"}};

constexpr FunctionSpec kInit{"__init__", nullptr, kInitParams, "None", init};
constexpr FunctionSpec kData{"data", "The cell's JSON object itself", kSelfOnly, "Dict[str, Any]",
                             get_data};
constexpr FunctionSpec kWeftIdGet{"weft_id", "The cell's canvas id", kSelfOnly, "str", get_weft_id};
constexpr FunctionSpec kWeftIdSet{"weft_id", nullptr, kStrValue, "None", set_weft_id};
constexpr FunctionSpec kNameGet{"name", "The component name (empty when the cell has none)",
                                kSelfOnly, "str", get_name};
constexpr FunctionSpec kNameSet{"name", nullptr, kStrValue, "None", set_name};
constexpr FunctionSpec kParentsGet{"parents", "The cell's parent references", kSelfOnly,
                                   "List[Dict[str, Any]]", get_parents};
constexpr FunctionSpec kParentsSet{"parents", nullptr, kListValue, "None", set_parents};
constexpr FunctionSpec kCommentsGet{"comments", "The cell's comments", kSelfOnly, "List[Any]",
                                    get_comments};
constexpr FunctionSpec kAddComment{"add_comment", "Append one comment to the cell's comments",
                                   kComment, "None", add_comment};
constexpr FunctionSpec kSourceGet{"source", "The cell's source as a list of lines", kSelfOnly,
                                  "List[str]", get_source};
constexpr FunctionSpec kSourceSet{"source", nullptr, kSourceValue, "None", set_source};
constexpr FunctionSpec kCellIdGet{"cell_id", "The nbformat cell id", kSelfOnly, "Optional[str]",
                                  get_cell_id};
constexpr FunctionSpec kCellIdSet{"cell_id", nullptr, kStrValue, "None", set_cell_id};

}  // namespace

namespace {

bool fill_module(PyObject* module) {
  zuv::ClassBuilder cell(module, "Cell", "Named access to the parts of one notebook cell.");
  cell.method(kInit)
      .property(kData)
      .property(kWeftIdGet, &kWeftIdSet)
      .property(kNameGet, &kNameSet)
      .property(kParentsGet, &kParentsSet)
      .property(kCommentsGet)
      .method(kAddComment)
      .property(kSourceGet, &kSourceSet)
      .property(kCellIdGet, &kCellIdSet);
  return static_cast<bool>(cell.build(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
}

}  // namespace

PyMODINIT_FUNC PyInit_common() {
  return zuv::init_module<fill_module>(
      "common", "The notebook cell record shared by the merge and the diff.");
}
