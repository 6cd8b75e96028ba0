#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velmora {

// How many datagrams one system call of the packet path receives or sends at most.
inline constexpr size_t kDatagramBatch = 64;

// Room for up to kDatagramBatch received datagrams of up to `capacity` bytes each, with the
// headers one recvmmsg fills, all allocated once and reused; and the datagrams it holds now. A
// receiving socket fills it; the thread that owns the socket owns the batch.
class DatagramBatch {
 public:
  explicit DatagramBatch(size_t capacity);
  DatagramBatch(const DatagramBatch&) = delete;
  DatagramBatch& operator=(const DatagramBatch&) = delete;

  size_t capacity() const { return capacity_; }
  size_t size() const { return count_; }
  std::span<uint8_t> operator[](size_t i) { return {slot(i), lengths_[i]}; }
  const sockaddr_in& from(size_t i) const { return senders_[i]; }

  // For the sockets: the headers for one recvmmsg into every slot (built once), and the keeping
  // of what it got.
  mmsghdr* PrepareReceive();
  const mmsghdr& received(size_t i) const { return headers_[i]; }
  // Keeps received datagram `i` (`length` bytes) as the next one of the batch.
  void Keep(size_t i, size_t length);
  void Clear() { count_ = 0; }

 private:
  uint8_t* slot(size_t i) { return bytes_.data() + i * capacity_; }

  size_t capacity_;
  std::vector<uint8_t> bytes_;  // kDatagramBatch * capacity_
  std::array<mmsghdr, kDatagramBatch> headers_{};
  std::array<iovec, kDatagramBatch> vectors_{};
  std::array<sockaddr_in, kDatagramBatch> senders_{};
  std::array<size_t, kDatagramBatch> lengths_{};
  size_t count_ = 0;
};

}  // namespace velmora
