// `zuv diff --html OUT OLD NEW`: the pipeline page of one diff.
#include "zuv/pages/html_diff.hpp"

#include "zuv/commands.hpp"
#include "zuv/notebook/py_text.hpp"
#include "zuv/pages/notebook_pages.hpp"

namespace zuv::cli {

int write_html_diff(const HtmlDiffRequest& request) {
  std::string error;
  Ref old_doc = pages::load_notebook(request.old_path, error);
  if (!old_doc) return failure("diff", error);
  Ref new_doc = pages::load_notebook(request.new_path, error);
  if (!new_doc) return failure("diff", error);
  page::Page page;
  page.title = "Pipeline diff";
  page.subtitle = request.old_label + " \xE2\x86\x92 " + request.new_label;
  if (!pages::diff_page(old_doc.get(), new_doc.get(), page)) return python_failure("diff");
  if (!pages::write_page(request.output, page)) return python_failure("diff");
  return status::ok;
}

}  // namespace zuv::cli
