// The interned names of the whole package: dict keys, attribute, method and
// module names, created once per process when the first module loads in the
// main interpreter (why one registry serves every interpreter: names.cpp).
//
// A member is named after its text where the text is a plain identifier
// (`names().cells` is "cells", `names().MergeCell` is "MergeCell"); other
// texts get a descriptive name (`dunder_init` is "__init__", `current_mark`
// is "<<< ").  Every module's setup creates the registry before anything
// else runs, so `names()` never hands out a null member.
#pragma once

#include <string_view>

#include "py/ref.hpp"

// X(member, text): one line per name, kept in alphabetical order of member.
#define ZUV_NAMES(X)                          \
  X(ADDED, "ADDED")                           \
  X(ArgumentParser, "ArgumentParser")         \
  X(BASE, "BASE")                             \
  X(CURRENT, "CURRENT")                       \
  X(Cell, "Cell")                             \
  X(DEBUG, "DEBUG")                           \
  X(DiffCell, "DiffCell")                     \
  X(DiffParameter, "DiffParameter")           \
  X(Git, "Git")                               \
  X(GitCommandError, "GitCommandError")       \
  X(INCOMING, "INCOMING")                     \
  X(MODIFIED, "MODIFIED")                     \
  X(MergeCell, "MergeCell")                   \
  X(REMOVED, "REMOVED")                       \
  X(TemporaryDirectory, "TemporaryDirectory") \
  X(UNCHANGED, "UNCHANGED")                   \
  X(_cell_changed, "_cell_changed")           \
  X(_cell_modified, "_cell_modified")         \
  X(_data, "_data")                           \
  X(_file_type, "_file_type")                 \
  X(_json, "_json")                           \
  X(_last_conflicts, "_last_conflicts")       \
  X(_merge_source, "_merge_source")           \
  X(action, "action")                         \
  X(add_argument, "add_argument")             \
  X(add_comment, "add_comment")               \
  X(add_conflict_mark, "add_conflict_mark")   \
  X(added, "added")                           \
  X(added_parents, "added_parents")           \
  X(append, "append")                         \
  X(argparse, "argparse")                     \
  X(args, "args")                             \
  X(base, "base")                             \
  X(base_file, "base_file")                   \
  X(base_file_path, "base_file_path")         \
  X(base_suffix, "-base")                     \
  X(basicConfig, "basicConfig")               \
  X(block_opening, "<<<<<<< ")                \
  X(canvas, "canvas")                         \
  X(cell_id, "cell_id")                       \
  X(cell_type, "cell_type")                   \
  X(cells, "cells")                           \
  X(close, "close")                           \
  X(cmd, "cmd")                               \
  X(code, "code")                             \
  X(comments, "comments")                     \
  X(copy, "copy")                             \
  X(current, "current")                       \
  X(current_file, "current_file")             \
  X(current_file_path, "current_file_path")   \
  X(current_mark, "<<< ")                     \
  X(current_name, "current_name")             \
  X(current_suffix, "-current")               \
  X(data, "data")                             \
  X(debug, "debug")                           \
  X(description, "description")               \
  X(destination_path, "destination_path")     \
  X(diff, "diff")                             \
  X(diff_dicts, "diff_dicts")                 \
  X(diff_status, "diff_status")               \
  X(difference, "difference")                 \
  X(difflib, "difflib")                       \
  X(dumps, "dumps")                           \
  X(dunder_enter, "__enter__")                \
  X(dunder_exit, "__exit__")                  \
  X(dunder_getitem, "__getitem__")            \
  X(dunder_init, "__init__")                  \
  X(dunder_main, "__main__")                  \
  X(dunder_name, "__name__")                  \
  X(empty, "")                                \
  X(ename, "ename")                           \
  X(encoding, "encoding")                     \
  X(evalue, "evalue")                         \
  X(execution_count, "execution_count")       \
  X(file_path, "file_path")                   \
  X(file_type, "file_type")                   \
  X(get, "get")                               \
  X(git, "git")                               \
  X(headerColor, "headerColor")               \
  X(id, "id")                                 \
  X(incoming, "incoming")                     \
  X(incoming_file, "incoming_file")           \
  X(incoming_file_path, "incoming_file_path") \
  X(incoming_mark, ">>> ")                    \
  X(incoming_name, "incoming_name")           \
  X(incoming_suffix, "-incoming")             \
  X(isEnabledFor, "isEnabledFor")             \
  X(items, "items")                           \
  X(join, "join")                             \
  X(json, "json")                             \
  X(jsondiff, "jsondiff")                     \
  X(level, "level")                           \
  X(load, "load")                             \
  X(loads, "loads")                           \
  X(logging, "logging")                       \
  X(make_scanner, "make_scanner")             \
  X(markdown, "markdown")                     \
  X(merge_file, "merge_file")                 \
  X(merge_files, "merge_files")               \
  X(metadata, "metadata")                     \
  X(modified, "modified")                     \
  X(name, "name")                             \
  X(nbformat, "nbformat")                     \
  X(nbformat_minor, "nbformat_minor")         \
  X(newline, "\n")                            \
  X(object_hook, "object_hook")               \
  X(object_pairs_hook, "object_pairs_hook")   \
  X(open, "open")                             \
  X(os, "os")                                 \
  X(output_type, "output_type")               \
  X(outputs, "outputs")                       \
  X(parameter, "parameter")                   \
  X(parameters, "parameters")                 \
  X(parents, "parents")                       \
  X(parse_args, "parse_args")                 \
  X(parse_constant, "parse_constant")         \
  X(parse_float, "parse_float")               \
  X(parse_int, "parse_int")                   \
  X(parser, "parser")                         \
  X(path, "path")                             \
  X(pop, "pop")                               \
  X(prev_source, "prev_source")               \
  X(prev_type, "prev_type")                   \
  X(prev_value, "prev_value")                 \
  X(read_mode, "r")                           \
  X(removed, "removed")                       \
  X(removed_parents, "removed_parents")       \
  X(required, "required")                     \
  X(source, "source")                         \
  X(startswith, "startswith")                 \
  X(status, "status")                         \
  X(str, "str")                               \
  X(strict, "strict")                         \
  X(tempfile, "tempfile")                     \
  X(text, "text")                             \
  X(type, "type")                             \
  X(unchanged, "unchanged")                   \
  X(unified_diff, "unified_diff")             \
  X(utf_8, "utf-8")                           \
  X(uuid, "uuid")                             \
  X(uuid4, "uuid4")                           \
  X(value, "value")                           \
  X(verbose, "verbose")                       \
  X(weft_id, "weft_id")                       \
  X(zuv, "zuv")

namespace zuv {

struct Names {
#define ZUV_NAME_MEMBER(member, text) PyObject* member = nullptr;
  ZUV_NAMES(ZUV_NAME_MEMBER)
#undef ZUV_NAME_MEMBER
};

namespace detail {
extern Names name_registry;
}

// The registry; complete once any module of the package has loaded.
inline const Names& names() noexcept { return detail::name_registry; }

// The registry's name whose text is `text`, or null (also before the
// registry is complete).  A document key read as that very object is found
// by identity in every lookup with the name.
PyObject* known_name(std::string_view text) noexcept;

// Creates every name unless that was done before.  False with an exception
// set when one cannot be made; the registry is then left empty and the next
// call tries again.
bool create_names();

}  // namespace zuv
