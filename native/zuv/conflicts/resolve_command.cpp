// `zuv resolve FILE (--current | --incoming) [--cell ID_OR_NAME]...
// [--parameter NAME]... [--all]`: resolves what a merge left open, in place.
#include <algorithm>
#include <cstdio>
#include <set>

#include "io/atomic_write.hpp"
#include "zuv/commands.hpp"
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
  std::optional<conflicts::Side> side;
  conflicts::Selection selection;
};

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
    if (arg == "--current" || arg == "--incoming" || arg == "--all") {
      if (inline_value) {
        error = "option " + arg + " takes no value";
        return false;
      }
      if (arg == "--all") {
        out.selection.all = true;
        continue;
      }
      const auto side = arg == "--current" ? conflicts::Side::current : conflicts::Side::incoming;
      if (out.side && *out.side != side) {
        error = "--current and --incoming exclude each other";
        return false;
      }
      out.side = side;
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

using pages::held_canvas;
using pages::held_member;

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

// Applies the plan to the document's own objects.  Each parent reference
// that goes with a dropped cell is told in `cut`.
bool apply(PyObject* document, const NotebookFacts& merged, const conflicts::Plan& plan,
           std::vector<std::string>& cut) {
  Ref cells = held_member(document, names().cells);
  if (!cells || !PyList_Check(cells.get())) return true;
  for (const auto& edit : plan.cell_edits) {
    Ref cell = Ref::borrow(PyList_GET_ITEM(cells.get(), static_cast<Py_ssize_t>(edit.cell)));
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
  // Parent references: to a dropped copy they follow the kept one; to a
  // dropped cell they go.  A cell then naming one parent twice keeps one.
  const std::set<std::size_t> dropped(plan.drop_cells.begin(), plan.drop_cells.end());
  std::unordered_map<std::string, std::string> final_name;
  for (const auto& edit : plan.cell_edits)
    final_name[edit.id ? *edit.id : merged.cells[edit.cell].id] =
        edit.name ? *edit.name : merged.cells[edit.cell].name;
  Ref kept = Ref::steal(PyList_New(0));
  if (!kept) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cells.get()); ++i) {
    if (dropped.contains(static_cast<std::size_t>(i))) continue;
    Ref cell = Ref::borrow(PyList_GET_ITEM(cells.get(), i));
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
  if (PyDict_SetItemString(document, "cells", kept.get()) < 0) return false;

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

}  // namespace

int run_resolve(const std::vector<std::string>& args) {
  ResolveArguments request;
  std::string error;
  if (!parse(args, request, error)) return usage_error("resolve", error);
  if (!request.side) return usage_error("resolve", "choose a side: --current or --incoming");
  request.selection.side = *request.side;

  std::string text;
  if (!read_bytes(request.path, text, error)) return failure("resolve", error);
  Ref document = parse_json(text);
  if (!document) return failure("resolve", request.path + " is not JSON: " + take_python_error());
  if (!PyDict_Check(document.get())) return failure("resolve", request.path + " is not a notebook");
  NotebookFacts merged;
  if (!read_facts(document.get(), merged)) return python_failure("resolve");
  bool unmerged = false;
  conflicts::Stages stages;
  if (!read_stages(request.path, unmerged, stages, error)) return failure("resolve", error);
  const conflicts::Stages* known = unmerged ? &stages : nullptr;
  const auto open = conflicts::find_conflicts(merged, known);

  const bool has_selector = request.selection.all || !request.selection.cells.empty() ||
                            !request.selection.parameters.empty();
  if (!has_selector) {
    std::fprintf(stderr,
                 "usage: zuv resolve FILE (--current | --incoming) [--cell ID_OR_NAME]... "
                 "[--parameter NAME]... [--all]\n");
    std::fprintf(stderr, "zuv resolve: error: say what to resolve: --all, --cell or --parameter\n");
    if (open.empty()) print_line(stderr, request.path + ": nothing is open");
    for (const auto& c : open) print_line(stderr, "  open: " + conflicts::describe(c, merged));
    return status::usage;
  }
  conflicts::SettledSources settled;
  conflicts::Plan plan =
      conflicts::plan_resolution(merged, open, request.selection, known, settled);
  if (known && !plan.source_cells.empty()) {
    settle_sources(merged, stages, plan.source_cells, request.selection.side, settled);
    if (!settled.empty())
      plan = conflicts::plan_resolution(merged, open, request.selection, known, settled);
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
    if (!apply(document.get(), merged, plan, cut)) return python_failure("resolve");
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
