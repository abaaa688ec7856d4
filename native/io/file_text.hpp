// A file's whole text, for reading.
#pragma once

#include <string>
#include <string_view>

namespace zuv::io {

// A regular file is mapped: its pages come straight from the page cache,
// with no copy and no fresh memory to fault in (read into a buffer, a
// notebook of many megabytes costs thousands of page faults, a third of a
// large merge's time).  Anything else (a pipe, an empty file) is read.  A
// mapped file that another program truncates while it is read ends the
// process with SIGBUS, as it would git, which maps files the same way.
class FileText {
 public:
  FileText() = default;
  ~FileText();
  FileText(FileText&& other) noexcept;
  FileText(const FileText&) = delete;
  FileText& operator=(const FileText&) = delete;
  FileText& operator=(FileText&&) = delete;

  // False with `error` ("cannot read PATH: reason").
  bool read(const std::string& path, std::string& error);

  std::string_view view() const {
    return mapped_ ? std::string_view(mapped_, size_) : std::string_view(read_);
  }
  size_t size() const { return view().size(); }
  bool empty() const { return view().empty(); }

 private:
  const char* mapped_ = nullptr;
  size_t size_ = 0;
  std::string read_;
};

}  // namespace zuv::io
