#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <utility>

namespace velmora {

// A number that one thread replaces while others read it. Copying takes a snapshot, so records
// built of these stay plain values.
template <typename T>
class SharedNumber {
 public:
  SharedNumber(T v = T{}) : value_(v) {}  // NOLINT(google-explicit-constructor)
  SharedNumber(const SharedNumber& o) : value_(o.get()) {}
  SharedNumber& operator=(const SharedNumber& o) { return *this = o.get(); }
  SharedNumber& operator=(T v) {
    value_.store(v, std::memory_order_relaxed);
    return *this;
  }
  operator T() const { return get(); }  // NOLINT(google-explicit-constructor)
  T get() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<T> value_;
};

// A text that one thread replaces while others read it: a reader gets the old text or the new one,
// never half of either.
class SharedText {
 public:
  SharedText(std::string v = {}) : value_(std::move(v)) {}  // NOLINT(google-explicit-constructor)
  SharedText(const char* v) : value_(v) {}                  // NOLINT(google-explicit-constructor)
  SharedText(const SharedText& o) : value_(o.get()) {}
  SharedText& operator=(const SharedText& o) { return *this = o.get(); }
  SharedText& operator=(std::string v) {
    std::lock_guard<std::mutex> guard(mutex_);
    value_ = std::move(v);
    return *this;
  }
  SharedText& operator=(const char* v) { return *this = std::string(v); }
  std::string get() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return value_;
  }
  operator std::string() const { return get(); }  // NOLINT(google-explicit-constructor)
  bool operator==(const SharedText& o) const { return get() == o.get(); }
  bool operator==(const std::string& o) const { return get() == o; }

 private:
  mutable std::mutex mutex_;
  std::string value_;
};

}  // namespace velmora
