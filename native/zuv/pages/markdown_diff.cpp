#include "zuv/pages/markdown_diff.hpp"

#include <cstdio>

#include "zuv/commands.hpp"
#include "zuv/notebook/notebook_file.hpp"
#include "zuv/notebook/py_text.hpp"
#include "zuv/pages/notebook_pages.hpp"

namespace zuv::cli {

namespace {

// A side as the pages read it: a missing or empty file is an empty
// notebook.  On failure an empty Ref, no exception set, `error` saying why.
Ref document_of(const DiffInput& side, std::string& error) {
  if (side.missing || side.bytes.find_first_not_of(" \t\r\n") == std::string::npos)
    return Ref::steal(PyDict_New());
  Ref document = parse_json(side.bytes);
  if (!document) {
    error = side.label + " is not a JSON notebook: " + take_python_error();
    return {};
  }
  if (!PyDict_Check(document.get())) {
    error = side.label + " does not hold a JSON object";
    return {};
  }
  return document;
}

bool add_documents(PyObject* old_doc, PyObject* new_doc, const std::string& heading,
                   const std::string& subtitle, markdown::Document& out) {
  page::Page page;
  if (!pages::diff_page(old_doc, new_doc, page)) return false;
  out.add_diff(heading, subtitle, page);
  return true;
}

}  // namespace

bool parse_max_bytes(const std::string& text, std::size_t& out) {
  if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  out = std::stoull(text);
  return out == 0 || out >= kMinMarkdownBytes;
}

bool add_markdown_diff(const DiffInput& before, const DiffInput& after, const std::string& heading,
                       const std::string& subtitle, markdown::Document& out) {
  std::string error;
  Ref old_doc = document_of(before, error);
  Ref new_doc = old_doc ? document_of(after, error) : Ref{};
  if (!new_doc) {
    if (PyErr_Occurred()) return false;  // no memory for an empty dict
    out.add_note(heading, "Not shown: " + error);
    return true;
  }
  return add_documents(old_doc.get(), new_doc.get(), heading, subtitle, out);
}

int print_markdown(const char* command, const markdown::Document& document, std::size_t max_bytes) {
  if (document.empty()) return status::ok;
  const std::string text = document.render(max_bytes);
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
    return failure(command, "cannot write to standard output");
  return status::ok;
}

int write_markdown_diff(const MarkdownDiffRequest& request, bool& changed) {
  std::string error;
  DiffInput before{request.old_label, {}, false}, after{request.new_label, {}, false};
  if (!read_bytes(request.old_path, before.bytes, error) ||
      !read_bytes(request.new_path, after.bytes, error))
    return failure("diff", error);
  changed = before.bytes != after.bytes;
  if (!changed) return status::ok;
  Ref old_doc = document_of(before, error);
  if (!old_doc) return PyErr_Occurred() ? python_failure("diff") : failure("diff", error);
  Ref new_doc = document_of(after, error);
  if (!new_doc) return PyErr_Occurred() ? python_failure("diff") : failure("diff", error);
  markdown::Document document;
  if (!add_documents(old_doc.get(), new_doc.get(), request.new_label,
                     request.old_label + " \xE2\x86\x92 " + request.new_label, document))
    return python_failure("diff");
  return print_markdown("diff", document, request.max_bytes);
}

}  // namespace zuv::cli
