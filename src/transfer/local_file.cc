#include "transfer/local_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace discshell {

bool isSafeLocalName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

std::optional<PendingFile> PendingFile::create() {
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name =
        ".discshell-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".tmp";
    // O_EXCL with mode 0666 lets the kernel apply the umask, as a plain create would.
    FileDescriptor fd(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.valid()) return PendingFile(std::move(fd), name);
    if (errno != EEXIST) return std::nullopt;
  }
  return std::nullopt;
}

PendingFile::PendingFile(PendingFile&& other) noexcept
    : fd_(std::move(other.fd_)), name_(std::move(other.name_)) {
  other.name_.clear();
}

PendingFile::~PendingFile() {
  fd_.reset();
  if (!name_.empty()) ::unlink(name_.c_str());
}

bool PendingFile::commit(const std::string& finalName) {
  if (!fd_.reset()) return false;
  if (::rename(name_.c_str(), finalName.c_str()) != 0) return false;
  name_.clear();
  return true;
}

}  // namespace discshell
