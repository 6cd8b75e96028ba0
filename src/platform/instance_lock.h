#pragma once

#include <string>

namespace velmora {

// Makes sure one router runs per working folder: holds an exclusive lock on a file there for the
// life of the object. Owned by the start-up code.
class InstanceLock {
 public:
  explicit InstanceLock(const std::string& path);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // False when another process (or another lock object) holds it, or the file cannot be made.
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace velmora
