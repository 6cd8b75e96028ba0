#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace velmora {

// The files the router reads and writes, behind a narrow interface so that tests and fuzz targets
// can run on memory. Paths are relative to the current directory unless absolute.
class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual std::optional<std::string> ReadFile(const std::string& path) = 0;
  // Replaces the file as a whole: after a crash at any point the old content or the new one is
  // there, never a part. An existing file's mode and owner are kept.
  virtual bool WriteFileAtomically(const std::string& path, std::string_view data) = 0;
  virtual bool RemoveFile(const std::string& path) = 0;
};

// The machine's file system.
class PosixFileSystem final : public FileSystem {
 public:
  std::optional<std::string> ReadFile(const std::string& path) override;
  bool WriteFileAtomically(const std::string& path, std::string_view data) override;
  bool RemoveFile(const std::string& path) override;
};

// Files held in memory. Safe to share between threads.
class MemoryFileSystem final : public FileSystem {
 public:
  std::optional<std::string> ReadFile(const std::string& path) override;
  bool WriteFileAtomically(const std::string& path, std::string_view data) override;
  bool RemoveFile(const std::string& path) override;

  void set_writable(bool writable) { writable_ = writable; }

 private:
  std::mutex mutex_;
  std::map<std::string, std::string> files_;
  bool writable_ = true;
};

}  // namespace velmora
