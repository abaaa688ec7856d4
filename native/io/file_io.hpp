// Native file I/O with the interpreter's error reporting: every failure sets
// the OSError that the equivalent Python call would raise.
#pragma once

#include <string>

#include "py/ref.hpp"

namespace zuv::io {

// An owned file descriptor, closed when the holder goes.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) noexcept : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor();
  int get() const noexcept { return fd_; }
  void reset(int fd) noexcept;
  int release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now and reports the outcome (close can report a failed write).
  bool close() noexcept;

 private:
  int fd_;
};

// The file-system path of a str path, as `open()` would encode it.
Ref fs_path(PyObject* path);

// open(path, flags) with O_CLOEXEC, raising the OSError that open() raises.
bool open_file(PyObject* path, int flags, FileDescriptor& out);

// Writes all of `data`, retrying short writes and EINTR.
bool write_all(int fd, const char* data, size_t size);

// Reads the whole file; `file` keeps the descriptor open for the caller.
bool read_file(PyObject* path, std::string& out, FileDescriptor& file);

}  // namespace zuv::io
