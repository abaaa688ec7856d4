#include "notebook_merge/module_hooks.hpp"

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
};

const Keys& keys() {
  static const Keys k;
  return k;
}

PyObject* tag_of(Side side) {
  switch (side) {
    case Side::base:
      return names().base_tag;
    case Side::current:
      return names().current_tag;
    case Side::incoming:
      return names().incoming_tag;
  }
  return names().base_tag;
}

}  // namespace

bool ModuleHooks::prepare() {
  merge_cell_ = zuv::global(globals_, names().merge_cell);
  if (!merge_cell_) return false;
  cell_changed_ = zuv::global(globals_, keys().cell_changed);
  return static_cast<bool>(cell_changed_);
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
