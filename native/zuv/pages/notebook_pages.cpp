#include "zuv/pages/notebook_pages.hpp"

#include <random>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "diff_rules/plain_records.hpp"
#include "io/atomic_write.hpp"
#include "py/imports.hpp"
#include "zuv/notebook/keyed_view.hpp"
#include "zuv/notebook/notebook_file.hpp"
#include "zuv/notebook/notebook_text.hpp"
#include "zuv/notebook/py_text.hpp"
#include "zuv/pages/page_sections.hpp"

namespace zuv::pages {

using cli::held_canvas;
using cli::held_member;

namespace {

bool source_lines(PyObject* source, std::vector<std::string>& out) {
  if (!source || source == Py_None) return true;
  if (PyList_Check(source)) {
    Ref list = Ref::borrow(source);
    out.reserve(out.size() + static_cast<std::size_t>(PyList_GET_SIZE(list.get())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
      Ref line = Ref::borrow(PyList_GET_ITEM(list.get(), i));
      if (PyUnicode_IS_COMPACT_ASCII(line.get())) {  // most lines: the text is its bytes
        out.emplace_back(static_cast<const char*>(PyUnicode_DATA(line.get())),
                         static_cast<std::size_t>(PyUnicode_GET_LENGTH(line.get())));
        continue;
      }
      std::string text;
      if (!text_of(line.get(), text)) return false;
      out.push_back(std::move(text));
    }
    return true;
  }
  std::string text;
  if (!text_of(source, text)) return false;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (text[i] == '\n') {
      out.push_back(text.substr(start, i + 1 - start));
      start = i + 1;
    }
  if (start < text.size()) out.push_back(text.substr(start));
  return true;
}

page::Status status_named(std::string_view word) {
  if (word == "added") return page::Status::added;
  if (word == "removed") return page::Status::removed;
  if (word == "modified") return page::Status::modified;
  return page::Status::unchanged;
}

bool parent_refs(PyObject* list, std::vector<page::ParentRef>& out) {
  if (!list || !PyList_Check(list)) return true;
  Ref held = Ref::borrow(list);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(held.get()); ++i) {
    Ref ref = Ref::borrow(PyList_GET_ITEM(held.get(), i));
    page::ParentRef parent;
    if (!text_of(held_member(ref.get(), names().id).get(), parent.id) ||
        !text_of(held_member(ref.get(), names().name).get(), parent.name))
      return false;
    out.push_back(std::move(parent));
  }
  return true;
}

// A code cell on both sides: its former name if it changed, and the
// comment and header colour changes the text view also shows.
struct CanvasChange {
  bool renamed = false;
  std::string old_name;
  std::vector<std::string> lines;
};

bool is_code(PyObject* cell) {
  Ref type = held_member(cell, names().cell_type);
  return type && PyUnicode_Check(type.get()) &&
         PyUnicode_CompareWithASCIIString(type.get(), "code") == 0;
}

// Read before diff_dicts writes its own keys into the cells.
bool read_canvas_changes(PyObject* old_doc, PyObject* new_doc,
                         std::unordered_map<std::string, CanvasChange>& out) {
  std::unordered_map<std::string, Ref> old_canvases;
  Ref old_list = held_member(old_doc, names().cells);
  Ref new_list = held_member(new_doc, names().cells);
  if (!old_list || !PyList_Check(old_list.get()) || !new_list || !PyList_Check(new_list.get()))
    return true;  // read_cells has accepted or refused the documents
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(old_list.get()); ++i) {
    Ref cell = Ref::borrow(PyList_GET_ITEM(old_list.get(), i));
    if (!is_code(cell.get())) continue;
    Ref canvas = held_canvas(cell.get());
    std::string id;
    if (!text_of(held_member(canvas.get(), names().id).get(), id)) return false;
    old_canvases.try_emplace(std::move(id), std::move(canvas));
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(new_list.get()); ++i) {
    Ref cell = Ref::borrow(PyList_GET_ITEM(new_list.get(), i));
    if (!is_code(cell.get())) continue;
    Ref canvas = held_canvas(cell.get());
    std::string id, old_name, new_name;
    if (!text_of(held_member(canvas.get(), names().id).get(), id)) return false;
    auto found = old_canvases.find(id);
    if (found == old_canvases.end() || out.contains(id)) continue;
    Ref old_canvas = found->second;
    if (!text_of(held_member(old_canvas.get(), names().name).get(), old_name) ||
        !text_of(held_member(canvas.get(), names().name).get(), new_name))
      return false;
    CanvasChange change;
    change.renamed = old_name != new_name;
    change.old_name = std::move(old_name);
    if (!cli::canvas_changes(old_canvas.get(), canvas.get(), change.lines)) return false;
    if (change.renamed || !change.lines.empty()) out.emplace(std::move(id), std::move(change));
  }
  return true;
}

// Canvas id -> name of the first cell with that id.
std::unordered_map<std::string, std::string> names_by_id(const std::vector<CellInfo>& cells) {
  std::unordered_map<std::string, std::string> out;
  for (const CellInfo& c : cells)
    if (c.has_id) out.emplace(c.id, c.name);
  return out;
}

// A cell's gained and lost parents as the page shows them: a reference on
// both lists with the same id is the same edge (only its "name" differed),
// each id once, and each parent called by the name of its cell in the
// notebook it belongs to (the id where no cell has it).
void name_parent_changes(page::CellEntry& entry,
                         const std::unordered_map<std::string, std::string>& old_names,
                         const std::unordered_map<std::string, std::string>& new_names) {
  std::unordered_set<std::string> gained_ids, lost_ids;
  for (const page::ParentRef& ref : entry.gained) gained_ids.insert(ref.id);
  for (const page::ParentRef& ref : entry.lost) lost_ids.insert(ref.id);
  auto keep = [](std::vector<page::ParentRef>& refs, const std::unordered_set<std::string>& other,
                 const std::unordered_map<std::string, std::string>& cell_names) {
    std::unordered_set<std::string> seen;
    std::erase_if(refs, [&](const page::ParentRef& ref) {
      return other.contains(ref.id) || !seen.insert(ref.id).second;
    });
    for (page::ParentRef& ref : refs) {
      auto found = cell_names.find(ref.id);
      ref.name = found == cell_names.end() ? std::string() : found->second;
    }
  };
  keep(entry.gained, lost_ids, new_names);
  keep(entry.lost, gained_ids, old_names);
}

std::string make_nonce() {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device device;
  std::string nonce;
  for (int i = 0; i < 22; ++i) nonce += kDigits[device() % (sizeof kDigits - 1)];
  return nonce;
}

}  // namespace

bool text_of(PyObject* value, std::string& out) {
  out.clear();
  if (!value || value == Py_None) return true;
  Ref text = PyUnicode_Check(value) ? Ref::borrow(value) : Ref::steal(PyObject_Str(value));
  if (!text) return false;
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
  PyErr_Clear();
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  if (!bytes) return false;
  out.assign(PyBytes_AS_STRING(bytes.get()),
             static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  return true;
}

bool read_cells(PyObject* document, std::vector<CellInfo>& out, bool sources) {
  Ref cells = held_member(document, names().cells);
  if (!cells) return true;
  if (!PyList_Check(cells.get())) {
    PyErr_SetString(PyExc_ValueError, "\"cells\" is not a list");
    return false;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cells.get()); ++i) {
    Ref cell = Ref::borrow(PyList_GET_ITEM(cells.get(), i));
    if (!PyDict_Check(cell.get())) {
      PyErr_SetString(PyExc_ValueError, "a cell is not a JSON object");
      return false;
    }
    CellInfo info;
    Ref type = held_member(cell.get(), names().cell_type);
    info.code = type && PyUnicode_Check(type.get()) &&
                PyUnicode_CompareWithASCIIString(type.get(), "code") == 0;
    Ref canvas = held_canvas(cell.get());
    Ref id = held_member(canvas.get(), names().id);
    info.has_id = static_cast<bool>(id);
    if (!text_of(id.get(), info.id) ||
        !text_of(held_member(canvas.get(), names().name).get(), info.name) ||
        !parent_refs(held_member(canvas.get(), names().parents).get(), info.parents) ||
        (sources && !source_lines(held_member(cell.get(), names().source).get(), info.source)))
      return false;
    out.push_back(std::move(info));
  }
  return true;
}

Ref load_notebook(const std::string& path, std::string& error) {
  std::string text;
  if (!cli::read_bytes(path, text, error)) return {};
  if (text.find_first_not_of(" \t\r\n") == std::string::npos) return Ref::steal(PyDict_New());
  Ref document = cli::parse_json(text);
  if (!document) {
    error = path + " is not a JSON notebook: " + cli::take_python_error();
    return {};
  }
  if (!PyDict_Check(document.get())) {
    error = path + " does not hold a JSON object";
    return {};
  }
  return document;
}

namespace {

using NodeIndex = std::unordered_map<std::string, std::size_t>;  // canvas id -> node

// Node order: the new notebook's, each removed cell after the cell it
// followed in the old one.
NodeIndex place_nodes(const std::vector<CellInfo>& old_cells,
                      const std::vector<CellInfo>& new_cells, page::Page& out) {
  NodeIndex index;
  std::unordered_set<std::string> in_new;
  for (const CellInfo& c : new_cells) in_new.insert(c.id);
  std::unordered_map<std::string, std::vector<const CellInfo*>> removed_after;
  std::string previous;
  for (const CellInfo& c : old_cells) {
    if (in_new.contains(c.id))
      previous = c.id;
    else
      removed_after[previous].push_back(&c);
  }
  auto add_node = [&](const CellInfo& c) {
    if (index.contains(c.id)) return;  // a repeated id takes part once
    index.emplace(c.id, out.cells.size());
    page::CellEntry entry;
    entry.id = c.id;
    entry.name = c.name;
    out.cells.push_back(std::move(entry));
  };
  for (const CellInfo* c : removed_after[""]) add_node(*c);
  for (const CellInfo& c : new_cells) {
    add_node(c);
    for (const CellInfo* r : removed_after[c.id]) add_node(*r);
  }
  return index;
}

void apply_canvas_changes(std::unordered_map<std::string, CanvasChange>& changes,
                          const NodeIndex& index, page::Page& out) {
  for (auto& [id, change] : changes) {
    auto found = index.find(id);
    if (found == index.end()) continue;
    page::CellEntry& entry = out.cells[found->second];
    entry.renamed = change.renamed;
    entry.old_name = std::move(change.old_name);
    entry.changes = std::move(change.lines);
  }
}

// Statuses, sources and parent changes from the diff document.
bool read_cell_changes(PyObject* diff, const NodeIndex& index, page::Page& out) {
  Ref diff_cells = held_member(diff, names().cells);
  if (!diff_cells || !PyList_Check(diff_cells.get())) return true;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(diff_cells.get()); ++i) {
    Ref cell = Ref::borrow(PyList_GET_ITEM(diff_cells.get(), i));
    Ref canvas = held_canvas(cell.get());
    std::string id, status;
    if (!text_of(held_member(canvas.get(), names().id).get(), id) ||
        !text_of(held_member(canvas.get(), names().diff_status).get(), status))
      return false;
    auto found = index.find(id);
    if (found == index.end()) continue;
    page::CellEntry& entry = out.cells[found->second];
    entry.status = status_named(status);
    if (!source_lines(held_member(canvas.get(), names().prev_source).get(), entry.old_source) ||
        !source_lines(held_member(cell.get(), names().source).get(), entry.new_source) ||
        !parent_refs(held_member(canvas.get(), names().added_parents).get(), entry.gained) ||
        !parent_refs(held_member(canvas.get(), names().removed_parents).get(), entry.lost))
      return false;
  }
  return true;
}

// A cell that only gained or lost parents is shown as changed but keeps
// its status; one that was added or removed lists no parent chips (its
// edges say it).
void settle_parent_changes(page::Page& out,
                           const std::unordered_map<std::string, std::string>& old_names,
                           const std::unordered_map<std::string, std::string>& new_names) {
  for (page::CellEntry& entry : out.cells) {
    if (entry.status == page::Status::added || entry.status == page::Status::removed)
      entry.gained.clear(), entry.lost.clear();
    else
      name_parent_changes(entry, old_names, new_names);
  }
}

// Edges: every parent reference of either side; one whose parent is in
// neither notebook gets a node of its own, after the cells.
void add_edges(const std::vector<CellInfo>& old_cells, const std::vector<CellInfo>& new_cells,
               const NodeIndex& index, page::Page& out) {
  struct EdgeKey {
    std::size_t parent, child;
    bool operator==(const EdgeKey&) const = default;
  };
  struct EdgeHash {
    std::size_t operator()(const EdgeKey& k) const { return k.parent * 1000003u ^ k.child; }
  };
  std::unordered_map<EdgeKey, std::size_t, EdgeHash> edge_index;
  std::unordered_map<std::string, std::size_t> missing;
  std::vector<page::CellEntry> missing_cells;
  auto node_for_parent = [&](const page::ParentRef& ref) {
    if (auto found = index.find(ref.id); found != index.end()) return found->second;
    auto [slot, fresh] = missing.emplace(ref.id, out.cells.size() + missing_cells.size());
    if (fresh) {
      page::CellEntry entry;
      entry.id = ref.id;  // shown by its id: no cell has it
      entry.status = page::Status::missing;
      entry.notes.push_back(
          "a parent reference names this canvas id, but no cell of either "
          "notebook has it");
      missing_cells.push_back(std::move(entry));
    }
    return slot->second;
  };
  for (int side = 0; side < 2; ++side) {
    const auto& cells = side == 0 ? old_cells : new_cells;
    for (const CellInfo& c : cells) {
      const std::size_t child = index.at(c.id);
      for (const page::ParentRef& ref : c.parents) {
        const std::size_t parent = node_for_parent(ref);
        auto [slot, fresh] = edge_index.emplace(EdgeKey{parent, child}, out.edges.size());
        if (fresh) {
          out.edges.push_back(
              {parent, child, side == 0 ? page::EdgeStatus::removed : page::EdgeStatus::added});
        } else if (side == 1 && out.edges[slot->second].status == page::EdgeStatus::removed) {
          out.edges[slot->second].status = page::EdgeStatus::unchanged;
        }
      }
    }
  }
  for (page::CellEntry& entry : missing_cells) out.cells.push_back(std::move(entry));
}

// Parameters, in the diff document's order.
bool read_parameters(PyObject* diff, page::Page& out) {
  Ref metadata = held_member(diff, names().metadata);
  Ref parameters =
      held_member(held_member(metadata.get(), names().canvas).get(), names().parameter);
  if (!parameters || !PyList_Check(parameters.get())) return true;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parameters.get()); ++i) {
    Ref p = Ref::borrow(PyList_GET_ITEM(parameters.get(), i));
    page::ParameterEntry entry;
    std::string status, type, value;
    if (!text_of(held_member(p.get(), names().name).get(), entry.name) ||
        !text_of(held_member(p.get(), names().diff_status).get(), status) ||
        !text_of(held_member(p.get(), names().type).get(), type) ||
        !text_of(held_member(p.get(), names().value).get(), value))
      return false;
    entry.status = status_named(status);
    switch (entry.status) {
      case page::Status::added:
        entry.new_type = type, entry.new_value = value;
        break;
      case page::Status::removed:
        entry.old_type = type, entry.old_value = value;
        break;
      case page::Status::modified:
        entry.new_type = type, entry.new_value = value;
        if (!text_of(held_member(p.get(), names().prev_value).get(), entry.old_value)) return false;
        if (Ref prev_type = held_member(p.get(), names().prev_type)) {
          if (!text_of(prev_type.get(), entry.old_type)) return false;
        } else {
          entry.old_type = type;
        }
        break;
      default:
        entry.old_type = entry.new_type = type, entry.old_value = entry.new_value = value;
    }
    out.parameters.push_back(std::move(entry));
  }
  return true;
}

}  // namespace

bool diff_page(PyObject* old_doc, PyObject* new_doc, page::Page& out) {
  // Plain cells take part under stand-in canvas metadata (see keyed_views).
  Ref old_view, new_view;
  if (!cli::keyed_views(old_doc, new_doc, old_view, new_view)) return false;
  old_doc = old_view.get();
  new_doc = new_view.get();
  // Cells and parent references as each side has them, read before the
  // diff rules rewrite the parent lists they share with the documents
  // (sources come from the diff document).
  std::vector<CellInfo> old_cells, new_cells;
  if (!read_cells(old_doc, old_cells, false) || !read_cells(new_doc, new_cells, false))
    return false;
  const auto old_names = names_by_id(old_cells), new_names = names_by_id(new_cells);
  std::erase_if(old_cells, [](const CellInfo& c) { return !c.code; });
  std::erase_if(new_cells, [](const CellInfo& c) { return !c.code; });
  std::unordered_map<std::string, CanvasChange> canvas_changes;
  if (!read_canvas_changes(old_doc, new_doc, canvas_changes)) return false;
  Ref diff = diff::diff_plain(old_doc, new_doc);
  if (!diff) return false;

  const NodeIndex index = place_nodes(old_cells, new_cells, out);
  apply_canvas_changes(canvas_changes, index, out);
  if (!read_cell_changes(diff.get(), index, out)) return false;
  // The text view calls a cell whose name, comments or header colour
  // changed modified; the page's badge, node and counts agree with it.
  for (page::CellEntry& entry : out.cells)
    if (entry.status == page::Status::unchanged && (entry.renamed || !entry.changes.empty()))
      entry.status = page::Status::modified;
  settle_parent_changes(out, old_names, new_names);
  add_edges(old_cells, new_cells, index, out);
  return read_parameters(diff.get(), out);
}

bool write_page(const std::string& path, const page::Page& page) {
  const std::string html = page::render(page, make_nonce());
  return io::write_file(path.c_str(), html.data(), static_cast<Py_ssize_t>(html.size()));
}

bool write_sectioned_page(const std::string& path, const std::string& title,
                          const std::vector<std::pair<std::string, page::Page>>& pages) {
  const std::string nonce = make_nonce();
  std::vector<page::Section> sections;
  sections.reserve(pages.size());
  for (const auto& [heading, one] : pages) sections.push_back({heading, page::render(one, nonce)});
  const std::string html = page::render_sections(title, sections, nonce);
  return io::write_file(path.c_str(), html.data(), static_cast<Py_ssize_t>(html.size()));
}

}  // namespace zuv::pages
