#include "platform/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace velmora {
namespace {

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Gives the temporary file the mode and owner of the file it replaces; a new file is private to
// its owner, since it may hold passwords.
bool CopyModeAndOwner(int fd, const std::string& path) {
  struct stat old {};
  if (stat(path.c_str(), &old) != 0) return fchmod(fd, 0600) == 0;
  if (fchmod(fd, old.st_mode & 07777) != 0) return false;
  if (old.st_uid != geteuid() || old.st_gid != getegid()) {
    // Only root may give a file away; anyone else keeps their own ownership.
    if (fchown(fd, old.st_uid, old.st_gid) != 0 && geteuid() == 0) return false;
  }
  return true;
}

void SyncDirectory(const std::string& dir) {
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

std::optional<std::string> PosixFileSystem::ReadFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string content;
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    const ssize_t n = read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    content.append(buffer.data(), static_cast<size_t>(n));
  }
  close(fd);
  return content;
}

bool PosixFileSystem::WriteFileAtomically(const std::string& path, std::string_view data) {
  std::string temp = path + ".XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  const bool written = CopyModeAndOwner(fd, path) && WriteAll(fd, data) && fsync(fd) == 0;
  const bool closed = close(fd) == 0;
  if (!written || !closed || rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  SyncDirectory(DirectoryOf(path));
  return true;
}

bool PosixFileSystem::RemoveFile(const std::string& path) {
  return unlink(path.c_str()) == 0;
}

std::optional<std::string> MemoryFileSystem::ReadFile(const std::string& path) {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto it = files_.find(path);
  if (it == files_.end()) return std::nullopt;
  return it->second;
}

bool MemoryFileSystem::WriteFileAtomically(const std::string& path, std::string_view data) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!writable_) return false;
  files_[path] = std::string(data);
  return true;
}

bool MemoryFileSystem::RemoveFile(const std::string& path) {
  std::lock_guard<std::mutex> guard(mutex_);
  return files_.erase(path) > 0;
}

}  // namespace velmora
