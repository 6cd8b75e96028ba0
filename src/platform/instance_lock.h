#pragma once

#include <string>

namespace velmora {

// Makes sure one router runs per working folder: holds an exclusive lock on a file there for the
// life of the object. Owned by the start-up code on the main thread.
class InstanceLock {
 public:
  enum class State {
    kHeld,        // this object holds the lock
    kBusy,        // another process (or another lock object) holds it
    kNotCreated,  // the file could not be made, opened or locked; error() tells why
  };

  explicit InstanceLock(const std::string& path);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  State state() const { return state_; }
  bool held() const { return state_ == State::kHeld; }
  // The errno of what failed when the state is kNotCreated; 0 otherwise.
  int error() const { return error_; }

 private:
  int fd_ = -1;
  State state_ = State::kNotCreated;
  int error_ = 0;
};

}  // namespace velmora
