// `zuv resolve FILE (--current | --incoming | --combine) [--cell ID_OR_NAME]...
// [--parameter NAME]... [--all]`: resolves what a merge left open, in place.
#include <algorithm>
#include <cstdio>
#include <set>

#include "io/atomic_write.hpp"
#include "io/signal_hold.hpp"
#include "zuv/commands.hpp"
#include "zuv/conflicts/combine_copies.hpp"
#include "zuv/conflicts/merge_facts.hpp"
#include "zuv/notebook/notebook_file.hpp"
#include "zuv/notebook/py_text.hpp"
#include "zuv/pages/notebook_pages.hpp"
#include "zuv/text/terminal.hpp"

namespace zuv::cli {

namespace {

using conflicts::NotebookFacts;

struct ResolveArguments {
  std::string path;
  std::string choice;  // "--current", "--incoming", "--combine", or "" (none given)
  conflicts::Selection selection;
};

constexpr const char* kUsage =
    "usage: zuv resolve FILE (--current | --incoming | --combine) [--cell ID_OR_NAME]... "
    "[--parameter NAME]... [--all]\n";

// Parsed here rather than by the shared parser: --cell and --parameter may
// be given many times.
bool parse(const std::vector<std::string>& args, ResolveArguments& out, std::string& error) {
  std::vector<std::string> positional;
  bool options_ended = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (options_ended || arg.size() < 2 || arg[0] != '-') {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    std::optional<std::string> inline_value;
    if (auto eq = arg.find('='); eq != std::string::npos) {
      inline_value = arg.substr(eq + 1);
      arg.resize(eq);
    }
    if (arg == "--current" || arg == "--incoming" || arg == "--combine" || arg == "--all") {
      if (inline_value) {
        error = "option " + arg + " takes no value";
        return false;
      }
      if (arg == "--all") {
        out.selection.all = true;
        continue;
      }
      if (!out.choice.empty() && out.choice != arg) {
        error = "--current, --incoming and --combine exclude each other";
        return false;
      }
      out.choice = arg;
    } else if (arg == "--cell" || arg == "--parameter") {
      std::string value;
      if (inline_value) {
        value = *inline_value;
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        error = "option " + arg + " needs a value";
        return false;
      }
      (arg == "--cell" ? out.selection.cells : out.selection.parameters).push_back(value);
    } else {
      error = "unrecognised option " + arg;
      return false;
    }
  }
  if (positional.size() != 1) {
    error = "expected one FILE";
    return false;
  }
  out.path = positional[0];
  return true;
}

bool set_text(PyObject* d, const char* key, const std::string& value) {
  Ref text = Ref::steal(
      PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "surrogateescape"));
  return text && PyDict_SetItemString(d, key, text.get()) == 0;
}

// The lines as the cell held its source: a list of lines, or one string.
Ref source_value(const std::vector<std::string>& lines, bool as_text) {
  if (as_text) {
    std::string joined;
    for (const auto& line : lines) joined += line;
    return Ref::steal(PyUnicode_DecodeUTF8(joined.data(), static_cast<Py_ssize_t>(joined.size()),
                                           "surrogateescape"));
  }
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return {};
  for (const auto& line : lines) {
    Ref item = Ref::steal(
        PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "surrogateescape"));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return {};
  }
  return list;
}

// Sets `value` (null: removes it) at `path`, a list of keys from the top of
// `mapping`, creating the objects on the way that are missing.
bool set_at_path(PyObject* mapping, PyObject* path, PyObject* value) {
  Ref here = Ref::borrow(mapping);
  const Py_ssize_t depth = PyList_GET_SIZE(path);
  for (Py_ssize_t k = 0; k + 1 < depth; ++k) {
    Ref key = Ref::borrow(PyList_GET_ITEM(path, k));
    Ref next = Ref::borrow(PyDict_GetItemWithError(here.get(), key.get()));
    if (!next && PyErr_Occurred()) return false;
    if (!next || !PyDict_Check(next.get())) {
      if (!value) return true;
      next = Ref::steal(PyDict_New());
      if (!next || PyDict_SetItem(here.get(), key.get(), next.get()) < 0) return false;
    }
    here = std::move(next);
  }
  Ref last = Ref::borrow(PyList_GET_ITEM(path, depth - 1));
  if (value) return PyDict_SetItem(here.get(), last.get(), value) == 0;
  if (PyDict_DelItem(here.get(), last.get()) == 0) return true;
  if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
  PyErr_Clear();
  return true;
}

// The incoming values a marked notebook-metadata cell carries, put into the
// notebook's metadata.  Entries of another shape (a hand-edited cell) are
// skipped.
bool take_incoming_metadata(PyObject* document, PyObject* cell) {
  Ref metadata = held_member(document, names().metadata);
  Ref carried = held_member(
      held_member(held_member(cell, names().metadata).get(), names().zuv).get(), names().incoming);
  if (!metadata || !PyDict_Check(metadata.get()) || !carried || !PyList_Check(carried.get()))
    return true;
  for (Py_ssize_t k = 0; k < PyList_GET_SIZE(carried.get()); ++k) {
    Ref entry = Ref::borrow(PyList_GET_ITEM(carried.get(), k));
    Ref path = held_member(entry.get(), names().path);
    if (!path || !PyList_Check(path.get()) || PyList_GET_SIZE(path.get()) == 0) continue;
    bool keys = true;
    for (Py_ssize_t p = 0; p < PyList_GET_SIZE(path.get()); ++p)
      keys = keys && PyUnicode_Check(PyList_GET_ITEM(path.get(), p));
    if (!keys) continue;
    Ref value = held_member(entry.get(), names().value);
    if (!set_at_path(metadata.get(), path.get(), value.get())) return false;
  }
  return true;
}

using CombinedCells = std::unordered_map<std::size_t, Ref>;

// The plan's cell edits, on the document's own cells; a combined cell takes
// the place of its current copy.
bool edit_cells(PyObject* cells, const conflicts::Plan& plan, const CombinedCells& combined) {
  for (const auto& edit : plan.cell_edits) {
    const auto at = static_cast<Py_ssize_t>(edit.cell);
    if (edit.combined) {
      auto joined = combined.find(edit.cell);
      if (joined == combined.end()) {
        PyErr_SetString(PyExc_RuntimeError, "a combined cell is missing");
        return false;
      }
      Ref held = joined->second;
      if (PyList_SetItem(cells, at, held.release()) < 0) return false;
    }
    Ref cell = Ref::borrow(PyList_GET_ITEM(cells, at));
    Ref canvas = held_canvas(cell.get());
    // A plain cell (no canvas entry) has only its source edited.
    if (canvas && edit.name && !set_text(canvas.get(), "name", *edit.name)) return false;
    if (canvas && edit.id && !set_text(canvas.get(), "id", *edit.id)) return false;
    if (edit.cell_id && !edit.cell_id->empty() && !set_text(cell.get(), "id", *edit.cell_id))
      return false;
    if (edit.source) {
      Ref old = held_member(cell.get(), names().source);
      Ref value = source_value(*edit.source, old && PyUnicode_Check(old.get()));
      if (!value || PyDict_SetItemString(cell.get(), "source", value.get()) < 0) return false;
    }
  }
  return true;
}

// The cells the plan keeps.  Parent references: to a dropped copy they
// follow the kept one; to a dropped cell they go (each told in `cut`).  A
// cell then naming one parent twice keeps one.
bool keep_cells(PyObject* document, PyObject* cells, const NotebookFacts& merged,
                const conflicts::Plan& plan, std::vector<std::string>& cut) {
  const std::set<std::size_t> dropped(plan.drop_cells.begin(), plan.drop_cells.end());
  std::unordered_map<std::string, std::string> final_name;
  for (const auto& edit : plan.cell_edits)
    final_name[edit.id ? *edit.id : merged.cells[edit.cell].id] =
        edit.name ? *edit.name : merged.cells[edit.cell].name;
  Ref kept = Ref::steal(PyList_New(0));
  if (!kept) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cells); ++i) {
    if (dropped.contains(static_cast<std::size_t>(i))) continue;
    Ref cell = Ref::borrow(PyList_GET_ITEM(cells, i));
    if (PyList_Append(kept.get(), cell.get()) < 0) return false;
    Ref parents = held_member(held_canvas(cell.get()).get(), names().parents);
    if (!parents || !PyList_Check(parents.get())) continue;
    Ref rewritten = Ref::steal(PyList_New(0));
    if (!rewritten) return false;
    std::set<std::string> seen;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(parents.get()); ++k) {
      Ref ref = Ref::borrow(PyList_GET_ITEM(parents.get(), k));
      std::string id;
      if (!pages::text_of(held_member(ref.get(), names().id).get(), id)) return false;
      if (auto target = plan.retarget.find(id); target != plan.retarget.end()) {
        if (target->second.empty()) {
          std::string child;
          if (!pages::text_of(held_member(held_canvas(cell.get()).get(), names().name).get(),
                              child))
            return false;
          auto parent = merged.by_id.find(id);
          cut.push_back(
              (child.empty() ? std::string("a cell") : child) + " no longer has the parent " +
              (parent == merged.by_id.end() || merged.cells[parent->second].name.empty()
                   ? id
                   : std::string(conflicts::plain_name(merged.cells[parent->second].name))) +
              ", which was dropped");
          continue;
        }
        id = target->second;
        if (!set_text(ref.get(), "id", id)) return false;
        if (held_member(ref.get(), names().name)) {
          auto name = final_name.find(id);
          if (name != final_name.end() && !set_text(ref.get(), "name", name->second)) return false;
        }
      }
      if (!seen.insert(id).second) continue;
      if (PyList_Append(rewritten.get(), ref.get()) < 0) return false;
    }
    Ref canvas = held_canvas(cell.get());
    if (PyDict_SetItemString(canvas.get(), "parents", rewritten.get()) < 0) return false;
  }
  return PyDict_SetItemString(document, "cells", kept.get()) == 0;
}

// The plan's parameter edits and removals, and the kept parameters' order.
bool edit_parameters(PyObject* document, const NotebookFacts& merged, const conflicts::Plan& plan) {
  Ref parameters = held_member(held_canvas(document).get(), names().parameters);
  if (!parameters || !PyList_Check(parameters.get())) return true;
  for (const auto& edit : plan.parameter_edits) {
    Ref p = Ref::borrow(PyList_GET_ITEM(parameters.get(), static_cast<Py_ssize_t>(edit.parameter)));
    if (edit.name && PyDict_Check(p.get()) && !set_text(p.get(), "name", *edit.name)) return false;
  }
  const std::set<std::size_t> gone(plan.drop_parameters.begin(), plan.drop_parameters.end());
  Ref kept_parameters = Ref::steal(PyList_New(0));
  if (!kept_parameters) return false;
  if (plan.parameter_order &&
      merged.parameters.size() == static_cast<std::size_t>(PyList_GET_SIZE(parameters.get()))) {
    for (std::size_t i : *plan.parameter_order)
      if (PyList_Append(kept_parameters.get(),
                        PyList_GET_ITEM(parameters.get(), static_cast<Py_ssize_t>(i))) < 0)
        return false;
  } else {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parameters.get()); ++i)
      if (!gone.contains(static_cast<std::size_t>(i)) &&
          PyList_Append(kept_parameters.get(), PyList_GET_ITEM(parameters.get(), i)) < 0)
        return false;
  }
  return PyDict_SetItemString(held_canvas(document).get(), "parameters", kept_parameters.get()) ==
         0;
}

// Applies the plan to the document's own objects.  Each parent reference
// that goes with a dropped cell is told in `cut`.
bool apply(PyObject* document, const NotebookFacts& merged, const conflicts::Plan& plan,
           const CombinedCells& combined, std::vector<std::string>& cut) {
  Ref cells = held_member(document, names().cells);
  if (!cells || !PyList_Check(cells.get())) return true;
  for (std::size_t index : plan.incoming_metadata_cells) {
    Ref cell = Ref::borrow(PyList_GET_ITEM(cells.get(), static_cast<Py_ssize_t>(index)));
    if (!take_incoming_metadata(document, cell.get())) return false;
  }
  return edit_cells(cells.get(), plan, combined) &&
         keep_cells(document, cells.get(), merged, plan, cut) &&
         edit_parameters(document, merged, plan);
}

// Lists what is open on standard error, after `error` (none: nothing
// but the listing was asked for); status 2.
int list_open(const std::string& path, const std::string& error,
              const std::vector<conflicts::Conflict>& open, const NotebookFacts& merged) {
  std::fputs(kUsage, stderr);
  if (!error.empty()) print_line(stderr, "zuv resolve: error: " + error);
  if (open.empty()) print_line(stderr, path + ": nothing is open");
  for (const auto& c : open) print_line(stderr, "  open: " + conflicts::describe(c, merged));
  return status::usage;
}

// The plan for the request: source blocks settled from the index stages
// and copies combined against the base stage where it can, both asked for
// by a first plan.
bool plan_request(PyObject* document, const ResolveArguments& request, const NotebookFacts& merged,
                  const std::vector<conflicts::Conflict>& open, const conflicts::Stages* known,
                  PyObject* base_document, conflicts::Plan& plan, CombinedCells& combined) {
  conflicts::SettledSources settled;
  plan = conflicts::plan_resolution(merged, open, request.selection, known, settled);
  if (!plan.ambiguous.empty() || !plan.unmatched.empty()) return true;  // refused: nothing to run
  conflicts::Combinations outcomes;
  if (known && !plan.combine_pairs.empty()) {
    // Held until the working files of a source merge git runs are gone.
    io::SignalHold hold;
    if (!combine_copies(document, merged, base_document, plan.combine_pairs, request.path, outcomes,
                        combined))
      return false;
  }
  if (known && !plan.source_cells.empty())
    settle_sources(merged, *known, plan.source_cells, request.selection.side, settled);
  if (!settled.empty() || !outcomes.empty())
    plan = conflicts::plan_resolution(merged, open, request.selection, known, settled, outcomes);
  return true;
}

// A file the merge driver merged line by line (not JSON) while git still
// has it unmerged: the chosen side's version replaces it whole.  No cell or
// parameter can be chosen in it.
int take_whole_file(const ResolveArguments& request, const std::string& bytes) {
  if (!request.selection.cells.empty() || !request.selection.parameters.empty())
    return usage_error("resolve", request.path +
                                      " was merged line by line (it is not JSON): only the whole "
                                      "file can be taken, with --current or --incoming");
  if (!io::replace_file(request.path.c_str(), bytes.data(), static_cast<Py_ssize_t>(bytes.size())))
    return python_failure("resolve");
  const char* side = request.selection.side == conflicts::Side::current ? "current" : "incoming";
  print_line(stdout, "resolved: " + request.path + " taken whole from the " + side +
                         " version (it was merged line by line)");
  print_line(stdout, request.path + ": no conflicts left");
  return status::ok;
}

}  // namespace

int run_resolve(const std::vector<std::string>& args) {
  ResolveArguments request;
  std::string error;
  if (!parse(args, request, error)) return usage_error("resolve", error);
  request.selection.combine = request.choice == "--combine";
  request.selection.side =
      request.choice == "--incoming" ? conflicts::Side::incoming : conflicts::Side::current;

  std::string text;
  if (!read_bytes(request.path, text, error)) return failure("resolve", error);
  Ref document = parse_json(text);
  if (!document) {
    const std::string why = take_python_error();
    // Nothing in it can be listed or combined cell by cell.
    if (request.choice != "--current" && request.choice != "--incoming")
      return usage_error("resolve", request.path +
                                        " is not JSON (merged line by line?): take a whole side "
                                        "with --current or --incoming; `zuv conflicts` lists "
                                        "its blocks");
    bool found = false;
    std::string side_bytes;
    if (!read_stage_file(request.path, request.selection.side, found, side_bytes, error))
      return failure("resolve", error);
    if (!found) return failure("resolve", request.path + " is not JSON: " + why);
    return take_whole_file(request, side_bytes);
  }
  if (!PyDict_Check(document.get())) return failure("resolve", request.path + " is not a notebook");
  NotebookFacts merged;
  if (!read_facts(document.get(), merged)) return python_failure("resolve");
  bool unmerged = false;
  conflicts::Stages stages;
  Ref base_document;
  if (!read_stages(request.path, unmerged, stages, error, nullptr, &base_document))
    return failure("resolve", error);
  const conflicts::Stages* known = unmerged ? &stages : nullptr;
  const auto open = conflicts::find_conflicts(merged, known);

  const bool has_selector = request.selection.all || !request.selection.cells.empty() ||
                            !request.selection.parameters.empty();
  if (request.choice.empty() && !has_selector) return list_open(request.path, "", open, merged);
  if (request.choice.empty())
    return list_open(request.path, "choose a side: --current or --incoming (or --combine)", open,
                     merged);
  if (!has_selector)
    return list_open(request.path, "say what to resolve: --all, --cell or --parameter", open,
                     merged);
  conflicts::Plan plan;
  CombinedCells combined;
  if (!plan_request(document.get(), request, merged, open, known, base_document.get(), plan,
                    combined))
    return python_failure("resolve");
  if (!plan.ambiguous.empty()) {
    std::fputs(kUsage, stderr);
    for (const auto& line : plan.ambiguous)
      print_line(stderr, line.starts_with("  ") ? line : "zuv resolve: error: " + line);
    return status::usage;
  }
  if (!plan.unmatched.empty()) {
    for (const auto& u : plan.unmatched)
      print_line(stderr, "zuv resolve: error: no open conflict matches " + u);
    for (const auto& c : open) print_line(stderr, "  open: " + conflicts::describe(c, merged));
    return status::usage;
  }
  std::vector<std::string> cut;
  if (!plan.resolved.empty()) {
    const JsonLayout layout = detect_layout(text, document.get());
    if (!apply(document.get(), merged, plan, combined, cut)) return python_failure("resolve");
    std::string out;
    if (!dump_json(document.get(), layout, out)) return python_failure("resolve");
    if (!io::replace_file(request.path.c_str(), out.data(), static_cast<Py_ssize_t>(out.size())))
      return python_failure("resolve");
  }
  for (const auto& line : plan.resolved) print_line(stdout, "resolved: " + line);
  for (const auto& line : plan.left) print_line(stdout, "left open: " + line);
  for (const auto& line : cut) print_line(stdout, "note: " + line);

  NotebookFacts after;
  if (!read_facts(document.get(), after)) return python_failure("resolve");
  const auto remaining = conflicts::find_conflicts(after, known);
  if (remaining.empty()) {
    print_line(stdout, request.path + ": no conflicts left");
    return status::ok;
  }
  const conflicts::Tally left = conflicts::tally(remaining);
  print_line(stdout, request.path + ": " + std::to_string(left.total()) +
                         (left.total() == 1 ? " conflict left (" : " conflicts left (") +
                         conflicts::tally_words(left) + ")");
  return status::conflicts;
}

}  // namespace zuv::cli
