#include "merge/native_hooks.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "io/file_io.hpp"
#include "jsondiff/json_diff.hpp"
#include "merge/cell_comparison.hpp"
#include "merge/native_source_merge.hpp"
#include "py/imports.hpp"
#include "py/names.hpp"

namespace merge {
namespace {

using zuv::names;

Ref import(const char* name) { return Ref::steal(PyImport_ImportModule(name)); }

}  // namespace

bool NativeHooks::prepare() {
  Ref common = import("zuv_weft_git.drivers.common");
  cell_class_ = common ? zuv::getattr(common.get(), "Cell") : Ref{};
  return static_cast<bool>(cell_class_);
}

// json for the merges that read and write files here (the `zuv` command
// parses and writes its notebooks itself, without the json package).
PyObject* NativeHooks::json() {
  if (!json_) json_ = import("json");
  return json_.get();
}

// The file's text as UTF-8 (line ends cannot change what JSON means), parsed.
Ref NativeHooks::load(PyObject* path) {
  std::string bytes;
  zuv::io::FileDescriptor file;
  if (!zuv::io::read_file(path, bytes, file) || !file.close()) return {};
  Ref text = Ref::steal(
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict"));
  PyObject* json = text ? this->json() : nullptr;
  Ref loads = json ? zuv::getattr(json, names().loads) : Ref{};
  return loads ? zuv::call(loads.get(), text.get()) : Ref{};
}

Ref NativeHooks::dumps(PyObject* document) {
  PyObject* json = this->json();
  Ref dumps = json ? zuv::getattr(json, names().dumps) : Ref{};
  return dumps ? zuv::call(dumps.get(), document) : Ref{};
}

Ref NativeHooks::record(PyObject* cell, Side, bool) { return zuv::call(cell_class_.get(), cell); }

// As MergeCell.add_conflict_mark: a named current or incoming record gets
// its side's prefix unless its name already starts with it.
bool NativeHooks::mark(PyObject* record, Side side) {
  if (side == Side::base) return true;
  PyObject* prefix = side == Side::current ? names().current_mark : names().incoming_mark;
  Ref name = zuv::getattr(record, names().name);
  int named = name ? PyObject_IsTrue(name.get()) : -1;
  if (named <= 0) return named == 0;
  Ref starts = zuv::call_method(name.get(), names().startswith, prefix);
  int already = starts ? PyObject_IsTrue(starts.get()) : -1;
  if (already) return already > 0;
  Ref marked = Ref::steal(PyNumber_Add(prefix, name.get()));
  return marked && PyObject_SetAttr(record, names().name, marked.get()) == 0;
}

// Symbols of the difference records no one outside the merge sees: any
// distinct objects do, made for this merge.
const zuv::json_diff::Symbols* NativeHooks::private_symbols() {
  if (symbols_.empty() && !symbols_.make_private()) return nullptr;
  return &symbols_.get();
}

Ref NativeHooks::changed(PyObject* older, PyObject* newer) {
  const zuv::json_diff::Symbols* symbols = private_symbols();
  if (!symbols || !drop_parent_names(older, newer)) return {};
  Ref data0 = zuv::getattr(older, names().data);
  Ref data1 = data0 ? zuv::getattr(newer, names().data) : Ref{};
  Ref diff = data1 ? zuv::json_diff::diff(data0.get(), data1.get(), *symbols) : Ref{};
  if (!diff) return {};
  if (!PyDict_Check(diff.get())) {
    PyErr_Format(PyExc_TypeError, "Expected dict, got %.200s", Py_TYPE(diff.get())->tp_name);
    return {};
  }
  if (PyDict_DelItem(diff.get(), names().execution_count) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return {};
    PyErr_Clear();
  }
  return diff;
}

bool NativeHooks::comparison_shortcut(const zuv::json_diff::Symbols*& symbols) {
  symbols = private_symbols();
  return symbols != nullptr;
}

Ref NativeHooks::merge_source(PyObject* current, PyObject* base, PyObject* incoming,
                              PyObject* current_label, PyObject* incoming_label,
                              Py_ssize_t& opened) {
  if (!settings_) settings_ = read_settings_ ? read_settings_() : SourceMergeSettings{};
  if (settings_->in_process && settings_->style) {
    Ref lines;
    switch (settings_->in_process(current, base, incoming, current_label, incoming_label,
                                  *settings_->style, marker_size_, lines, opened)) {
      case InProcess::merged:
        return lines;
      case InProcess::failed:
        return {};
      case InProcess::declined:
        break;
    }
  }
  return merge_by_process(current, base, incoming, current_label, incoming_label, opened);
}

// The same source merge as `_merge_source` (with the marker size), with
// `git`, `os` and `tempfile` imported on first use.
Ref NativeHooks::merge_by_process(PyObject* current, PyObject* base, PyObject* incoming,
                                  PyObject* current_label, PyObject* incoming_label,
                                  Py_ssize_t& opened) {
  if (!git_) {
    Ref globals = Ref::steal(PyDict_New());
    if (!globals) return {};
    for (const char* name : {"git", "os", "tempfile"}) {
      Ref module = import(name);
      if (!module || PyDict_SetItemString(globals.get(), name, module.get()) < 0) return {};
    }
    Ref git = Ref::borrow(PyDict_GetItemString(globals.get(), "git"));
    Ref cmd = zuv::getattr(git.get(), names().cmd);
    Ref git_class = cmd ? zuv::getattr(cmd.get(), names().Git) : Ref{};
    Ref g = git_class ? zuv::call(git_class.get()) : Ref{};
    if (!g) return {};
    source_globals_ = globals;
    git_ = g;
  }
  ProcessMerge how;
  how.marker_size = marker_size_;
  Ref lines = merge::merge_source(source_globals_.get(), git_.get(), current, base, incoming,
                                  current_label, incoming_label, how);
  opened = how.blocks;
  return lines;
}

// A version 4 UUID from the system's random source, in its 36-character
// text form.
Ref NativeHooks::fresh_id() {
  std::uint8_t bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Ref::steal(PyErr_SetFromErrno(PyExc_OSError));
    }
    got += static_cast<size_t>(n);
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);
  static constexpr char kHex[] = "0123456789abcdef";
  char text[36];
  size_t out = 0;
  for (size_t i = 0; i < sizeof bytes; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text[out++] = '-';
    text[out++] = kHex[bytes[i] >> 4];
    text[out++] = kHex[bytes[i] & 0x0f];
  }
  return Ref::steal(PyUnicode_FromStringAndSize(text, sizeof text));
}

}  // namespace merge
