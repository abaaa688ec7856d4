// Interim: runs `merge_files` on private copies in a temporary folder and
// reads its result back, so that the driver can write the merged document
// in the current file's layout.
#include "zuv/pipeline_merge.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "zuv/notebook_file.hpp"

namespace zuv::cli {

namespace {

// A private temporary folder, removed with what it holds.
class TemporaryFolder {
 public:
  TemporaryFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zuv-merge-XXXXXX";
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  ~TemporaryFolder() {
    if (path_.empty()) return;
    if (DIR* dir = opendir(path_.c_str())) {
      while (dirent* entry = readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
          unlink((path_ + "/" + entry->d_name).c_str());
      closedir(dir);
    }
    rmdir(path_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

bool write_new_file(const std::string& path, const std::string& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    return false;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  bool ok = done == bytes.size();
  if (close(fd) < 0) ok = false;
  if (!ok) PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
  return ok;
}

Ref text(const std::string& s) {
  return Ref::steal(PyUnicode_DecodeFSDefaultAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

}  // namespace

Ref merge_pipeline(const PipelineMergeInputs& inputs) {
  TemporaryFolder folder;
  if (folder.path().empty()) return Ref::steal(PyErr_SetFromErrno(PyExc_OSError));
  std::string current_copy = folder.path() + "/current.ipynb";
  std::string base = inputs.base_path;
  std::string bytes, error;
  if (!read_bytes(inputs.current_path, bytes, error)) {
    PyErr_SetString(PyExc_OSError, error.c_str());
    return {};
  }
  if (!write_new_file(current_copy, bytes)) return {};
  if (inputs.base_empty) {
    base = folder.path() + "/base.ipynb";
    if (!write_new_file(base, R"({"cells": [], "metadata": {"canvas": {"parameters": []}}})"))
      return {};
  }
  Ref module = Ref::steal(PyImport_ImportModule("zuv_weft_git.drivers.notebook_merge"));
  Ref merge_files = module ? getattr(module.get(), "merge_files") : Ref{};
  Ref kwargs = Ref::steal(PyDict_New());
  Ref args = Ref::steal(PyTuple_New(0));
  if (!merge_files || !kwargs || !args) return {};
  struct Argument {
    const char* name;
    const std::string& value;
  };
  for (Argument a : {Argument{"current_file_path", current_copy}, Argument{"base_file_path", base},
                     Argument{"incoming_file_path", inputs.incoming_path},
                     Argument{"file_path", inputs.label_path}}) {
    Ref value = text(a.value);
    if (!value || PyDict_SetItemString(kwargs.get(), a.name, value.get()) < 0) return {};
  }
  if (!Ref::steal(PyObject_Call(merge_files.get(), args.get(), kwargs.get()))) return {};
  if (!read_bytes(current_copy, bytes, error)) {
    PyErr_SetString(PyExc_OSError, error.c_str());
    return {};
  }
  return parse_json(bytes);
}

}  // namespace zuv::cli
