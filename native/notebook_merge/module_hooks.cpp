#include "notebook_merge/module_hooks.hpp"

#include "notebook_merge/merge.hpp"
#include "py/error.hpp"

namespace merge {
namespace {

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
  cell_changed_ = zuv::global(globals_, names()._cell_changed);
  if (!cell_changed_) return false;
  const ModuleState& original = state_;
  stock_ = original.merge_cell && merge_cell_.get() == original.merge_cell.get() &&
           cell_changed_.get() == original.cell_changed.get() &&
           unchanged_global(globals_, names()._merge_source, original.merge_source.get());
  if (PyErr_Occurred()) return false;
  // The comparison's record can be cut short where nothing shows it: the
  // stock comparison over the stock jsondiff, and a logger that would not
  // print it.
  shortcut_ = stock_ && unchanged_global(globals_, names().jsondiff, original.jsondiff.get()) &&
              unchanged_global(globals_, names().logging, original.logging.get());
  if (PyErr_Occurred()) return false;
  if (shortcut_) {
    Ref diff = zuv::getattr(original.jsondiff.get(), names().diff);
    if (!diff) return false;
    shortcut_ = diff.get() == original.diff.get();
  }
  if (shortcut_) {
    Ref root = zuv::getattr(original.logging.get(), "root");
    Ref debug_level = root ? Ref::steal(PyLong_FromLong(10)) : Ref{};  // logging.DEBUG
    Ref enabled =
        debug_level ? zuv::call_method(root.get(), names().isEnabledFor, debug_level.get()) : Ref{};
    int logs = enabled ? PyObject_IsTrue(enabled.get()) : -1;
    if (logs < 0) return false;
    shortcut_ = !logs;
  }
  return true;
}

bool ModuleHooks::comparison_shortcut(const zuv::json_diff::Symbols*& symbols) {
  symbols = shortcut_ ? &state_.symbols.get() : nullptr;
  return true;
}

// open(path, "r", encoding="utf-8") as a block, json.load inside it.
Ref ModuleHooks::load(PyObject* path) {
  Ref open = zuv::global(globals_, names().open);
  if (!open) return {};
  PyObject* argv[] = {nullptr, path, names().read_mode, names().utf_8};
  Ref kwnames = Ref::steal(PyTuple_Pack(1, names().encoding));
  if (!kwnames) return {};
  Ref file = Ref::steal(
      PyObject_Vectorcall(open.get(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
  if (!file) return {};
  Ref json = zuv::global(globals_, names().json);
  Ref loader = json ? zuv::getattr(json.get(), names().load) : Ref{};
  Ref document = loader ? zuv::call(loader.get(), file.get()) : Ref{};
  if (document) {
    if (!zuv::call_method(file.get(), names().close)) return {};
    return document;
  }
  // Close the file on the way out too; the parsing error takes precedence.
  zuv::CaughtError error;
  if (!zuv::call_method(file.get(), names().close)) PyErr_Clear();
  error.restore();
  return {};
}

// json.dumps with the defaults writes the same text as json.dump.
Ref ModuleHooks::dumps(PyObject* document) {
  Ref json = zuv::global(globals_, names().json);
  Ref dumps = json ? zuv::getattr(json.get(), names().dumps) : Ref{};
  return dumps ? zuv::call(dumps.get(), document) : Ref{};
}

Ref ModuleHooks::record(PyObject* cell, Side side, bool tag_by_keyword) {
  if (!tag_by_keyword) return zuv::call(merge_cell_.get(), cell, tag_of(side));
  PyObject* argv[] = {nullptr, cell, tag_of(side)};
  Ref kwnames = Ref::steal(PyTuple_Pack(1, names().file_type));
  if (!kwnames) return {};
  return Ref::steal(PyObject_Vectorcall(merge_cell_.get(), argv + 1,
                                        1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

// The record marks itself, after its own version tag.
bool ModuleHooks::mark(PyObject* record, Side) {
  return static_cast<bool>(zuv::call_method(record, names().add_conflict_mark));
}

Ref ModuleHooks::changed(PyObject* older, PyObject* newer) {
  return zuv::call(cell_changed_.get(), older, newer);
}

bool ModuleHooks::begin_source_merges() {
  Ref git = zuv::global(globals_, names().git);
  Ref cmd = git ? zuv::getattr(git.get(), names().cmd) : Ref{};
  Ref git_class = cmd ? zuv::getattr(cmd.get(), names().Git) : Ref{};
  return git_class && (git_ = zuv::call(git_class.get()));
}

// `_merge_source` returns lines only: the merge counts the blocks itself.
Ref ModuleHooks::merge_source(PyObject* current, PyObject* base, PyObject* incoming,
                              PyObject* current_label, PyObject* incoming_label,
                              Py_ssize_t& opened) {
  opened = -1;
  Ref kwnames = Ref::steal(PyTuple_Pack(2, names().current_name, names().incoming_name));
  if (!kwnames) return {};
  if (!merge_source_ && !(merge_source_ = zuv::global(globals_, names()._merge_source))) return {};
  PyObject* argv[] = {nullptr, git_.get(), current, base, incoming, current_label, incoming_label};
  return Ref::steal(PyObject_Vectorcall(merge_source_.get(), argv + 1,
                                        4 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

Ref ModuleHooks::fresh_id() {
  Ref uuid = zuv::global(globals_, names().uuid);
  Ref uuid4 = uuid ? zuv::getattr(uuid.get(), names().uuid4) : Ref{};
  Ref value = uuid4 ? zuv::call(uuid4.get()) : Ref{};
  return value ? Ref::steal(PyObject_Str(value.get())) : Ref{};
}

}  // namespace merge
