#include "notebook_merge/module_hooks.hpp"

#include "merge/cell_comparison.hpp"
#include "notebook_merge/merge.hpp"
#include "py/error.hpp"

namespace merge {
namespace {

struct Keys {
  PyObject* open = zuv::interned("open");
  PyObject* close = zuv::interned("close");
  PyObject* read_mode = zuv::interned("r");
  PyObject* utf8 = zuv::interned("utf-8");
  PyObject* encoding = zuv::interned("encoding");
  PyObject* json = zuv::interned("json");
  PyObject* load = zuv::interned("load");
  PyObject* dumps = zuv::interned("dumps");
  PyObject* file_type = zuv::interned("file_type");
  PyObject* add_conflict_mark = zuv::interned("add_conflict_mark");
  PyObject* cell_changed = zuv::interned("_cell_changed");
  PyObject* merge_source = zuv::interned("_merge_source");
  PyObject* current_name = zuv::interned("current_name");
  PyObject* incoming_name = zuv::interned("incoming_name");
  PyObject* git = zuv::interned("git");
  PyObject* cmd = zuv::interned("cmd");
  PyObject* Git = zuv::interned("Git");
  PyObject* uuid = zuv::interned("uuid");
  PyObject* uuid4 = zuv::interned("uuid4");
  PyObject* is_enabled_for = zuv::interned("isEnabledFor");
  PyObject* debug_level = PyLong_FromLong(10);  // logging.DEBUG
};

const Keys& keys() {
  static const Keys k;
  return k;
}

PyObject* tag_of(Side side) {
  switch (side) {
    case Side::base:
      return names().base;
    case Side::current:
      return names().current;
    case Side::incoming:
      return names().incoming;
  }
  return names().base;
}

}  // namespace

// The global `name` is still the object the module was made with.
bool unchanged_global(PyObject* globals, PyObject* name, PyObject* original) {
  return original && PyDict_GetItemWithError(globals, name) == original;
}

bool ModuleHooks::prepare() {
  merge_cell_ = zuv::global(globals_, names().MergeCell);
  if (!merge_cell_) return false;
  cell_changed_ = zuv::global(globals_, keys().cell_changed);
  if (!cell_changed_) return false;
  const ModuleOriginals& original = module_originals();
  stock_ = merge_cell_.get() == original.merge_cell &&
           cell_changed_.get() == original.cell_changed &&
           unchanged_global(globals_, keys().merge_source, original.merge_source);
  if (PyErr_Occurred()) return false;
  // The comparison's record can be cut short where nothing shows it: the
  // stock comparison over the stock jsondiff, and a logger that would not
  // print it.
  const JsondiffOriginal& jsondiff = jsondiff_original();
  shortcut_ = stock_ && unchanged_global(globals_, names().jsondiff, jsondiff.module) &&
              unchanged_global(globals_, names().logging, original.logging);
  if (PyErr_Occurred()) return false;
  if (shortcut_) {
    Ref diff = zuv::getattr(jsondiff.module, names().diff);
    if (!diff) return false;
    shortcut_ = diff.get() == jsondiff.diff;
  }
  if (shortcut_) {
    Ref root = zuv::getattr(original.logging, "root");
    Ref enabled =
        root ? zuv::call_method(root.get(), keys().is_enabled_for, keys().debug_level) : Ref{};
    int logs = enabled ? PyObject_IsTrue(enabled.get()) : -1;
    if (logs < 0) return false;
    shortcut_ = !logs;
  }
  return true;
}

Ref ModuleHooks::changed_outside_outputs(PyObject* older, PyObject* newer) {
  if (shortcut_) {
    bool applies = false;
    Ref record = merge::changed_outside_outputs(older, newer, jsondiff_original().symbols, applies);
    if (applies || PyErr_Occurred()) return record;
  }
  return Hooks::changed_outside_outputs(older, newer);
}

int ModuleHooks::differs_counting_outputs(PyObject* older, PyObject* newer) {
  if (shortcut_) {
    bool applies = false;
    int differs =
        merge::differs_counting_outputs(older, newer, jsondiff_original().symbols, applies);
    if (applies || differs < 0) return differs;
  }
  return Hooks::differs_counting_outputs(older, newer);
}

// open(path, "r", encoding="utf-8") as a block, json.load inside it.
Ref ModuleHooks::load(PyObject* path) {
  Ref open = zuv::global(globals_, keys().open);
  if (!open) return {};
  PyObject* argv[] = {nullptr, path, keys().read_mode, keys().utf8};
  Ref kwnames = Ref::steal(PyTuple_Pack(1, keys().encoding));
  if (!kwnames) return {};
  Ref file = Ref::steal(
      PyObject_Vectorcall(open.get(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
  if (!file) return {};
  Ref json = zuv::global(globals_, keys().json);
  Ref loader = json ? zuv::getattr(json.get(), keys().load) : Ref{};
  Ref document = loader ? zuv::call(loader.get(), file.get()) : Ref{};
  if (document) {
    if (!zuv::call_method(file.get(), keys().close)) return {};
    return document;
  }
  // Close the file on the way out too; the parsing error takes precedence.
  zuv::CaughtError error;
  if (!zuv::call_method(file.get(), keys().close)) PyErr_Clear();
  error.restore();
  return {};
}

// json.dumps with the defaults writes the same text as json.dump.
Ref ModuleHooks::dumps(PyObject* document) {
  Ref json = zuv::global(globals_, keys().json);
  Ref dumps = json ? zuv::getattr(json.get(), keys().dumps) : Ref{};
  return dumps ? zuv::call(dumps.get(), document) : Ref{};
}

Ref ModuleHooks::record(PyObject* cell, Side side, bool tag_by_keyword) {
  if (!tag_by_keyword) return zuv::call(merge_cell_.get(), cell, tag_of(side));
  PyObject* argv[] = {nullptr, cell, tag_of(side)};
  Ref kwnames = Ref::steal(PyTuple_Pack(1, keys().file_type));
  if (!kwnames) return {};
  return Ref::steal(PyObject_Vectorcall(merge_cell_.get(), argv + 1,
                                        1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

// The record marks itself, after its own version tag.
bool ModuleHooks::mark(PyObject* record, Side) {
  return static_cast<bool>(zuv::call_method(record, keys().add_conflict_mark));
}

Ref ModuleHooks::changed(PyObject* older, PyObject* newer) {
  return zuv::call(cell_changed_.get(), older, newer);
}

bool ModuleHooks::begin_source_merges() {
  Ref git = zuv::global(globals_, keys().git);
  Ref cmd = git ? zuv::getattr(git.get(), keys().cmd) : Ref{};
  Ref git_class = cmd ? zuv::getattr(cmd.get(), keys().Git) : Ref{};
  return git_class && (git_ = zuv::call(git_class.get()));
}

Ref ModuleHooks::merge_source(PyObject* current, PyObject* base, PyObject* incoming,
                              PyObject* current_label, PyObject* incoming_label) {
  Ref kwnames = Ref::steal(PyTuple_Pack(2, keys().current_name, keys().incoming_name));
  if (!kwnames) return {};
  if (!merge_source_ && !(merge_source_ = zuv::global(globals_, keys().merge_source))) return {};
  PyObject* argv[] = {nullptr, git_.get(), current, base, incoming, current_label, incoming_label};
  return Ref::steal(PyObject_Vectorcall(merge_source_.get(), argv + 1,
                                        4 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

Ref ModuleHooks::fresh_id() {
  Ref uuid = zuv::global(globals_, keys().uuid);
  Ref uuid4 = uuid ? zuv::getattr(uuid.get(), keys().uuid4) : Ref{};
  Ref value = uuid4 ? zuv::call(uuid4.get()) : Ref{};
  return value ? Ref::steal(PyObject_Str(value.get())) : Ref{};
}

}  // namespace merge
