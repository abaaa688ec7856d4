#include "io/file_text.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "io/file_io.hpp"

namespace zuv::io {

FileText::~FileText() {
  if (mapped_) munmap(const_cast<char*>(mapped_), size_);
}

FileText::FileText(FileText&& other) noexcept
    : mapped_(std::exchange(other.mapped_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      read_(std::move(other.read_)) {}

bool FileText::read(const std::string& path, std::string& error) {
  auto fail = [&](int code) {
    error = "cannot read " + path + ": " + std::strerror(code);
    return false;
  };
  FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return fail(errno);
  struct stat status {};
  if (fstat(file.get(), &status) != 0) return fail(errno);
  if (S_ISREG(status.st_mode) && status.st_size > 0) {
    const auto size = static_cast<size_t>(status.st_size);
    void* mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, file.get(), 0);
    if (mapped != MAP_FAILED) {
      mapped_ = static_cast<const char*>(mapped);
      size_ = size;
      return true;
    }
  }
  char chunk[65536];
  for (;;) {
    const ssize_t got = ::read(file.get(), chunk, sizeof chunk);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    read_.append(chunk, static_cast<size_t>(got));
  }
}

}  // namespace zuv::io
