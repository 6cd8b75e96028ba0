#pragma once

#include <libmnl/libmnl.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace velmora {

// One rtnetlink conversation with the kernel of the calling thread's network namespace: a dump
// read to its end, or a change acknowledged. Each object owns its socket; use one per thread. A
// socket that could not be opened (or opened anew) is opened again at the next Dump or Change,
// which fail with the reason when it still cannot be.
class NetlinkSocket {
 public:
  // Called for every message of a dump; returns false to end the dump with a failure.
  using MessageHandler = std::function<bool(const nlmsghdr&)>;

  NetlinkSocket();
  ~NetlinkSocket();
  NetlinkSocket(const NetlinkSocket&) = delete;
  NetlinkSocket& operator=(const NetlinkSocket&) = delete;

  bool is_open() const { return socket_ != nullptr; }

  // Starts a message of `type` with the request flags (NLM_F_REQUEST plus `flags`) and a family
  // header of `header_size` bytes, zeroed, in the socket's message buffer; the caller fills the
  // header and adds attributes with the mnl_attr_put functions before Dump or Change.
  nlmsghdr* StartMessage(uint16_t type, uint16_t flags, size_t header_size);
  // Sends the started dump request and hands every message of the answer to `handler`, across
  // as many reads as the kernel needs. A dump that a table change interrupted is asked again,
  // with `restart` called first so that the caller forgets what it collected. False with errno
  // set when the kernel or the handler refused or the socket failed; the socket is then opened
  // anew, so that no part of the abandoned answer is read as the next one.
  bool Dump(const MessageHandler& handler, const std::function<void()>& restart);
  // Sends the started change and waits for its acknowledgement, passing over whatever else the
  // socket holds: 0, or the errno the kernel answered with.
  int Change();
  // A dump of the started request as rows: `read` turns each message into one, or into none
  // for a message that is not one of them. Nullopt with errno set when Dump fails.
  template <typename Row, typename Reader>
  std::optional<std::vector<Row>> Collect(const Reader& read) {
    std::vector<Row> rows;
    const bool done = Dump(
        [&](const nlmsghdr& message) {
          if (std::optional<Row> row = read(message)) rows.push_back(std::move(*row));
          return true;
        },
        [&rows] { rows.clear(); });
    if (!done) return std::nullopt;
    return rows;
  }

 private:
  // Opens the socket, noting the reason when it cannot be opened.
  void Open();
  // Opens the socket when there is none; false with errno set to the reason when it stays shut.
  bool EnsureOpen();
  void Close();
  // Replaces the socket, keeping errno.
  void Reopen();
  bool DumpOnce(const MessageHandler& handler, bool& interrupted);

  mnl_socket* socket_ = nullptr;
  int open_error_ = 0;  // why the last Open failed
  uint32_t sequence_ = 0;
  std::vector<char> request_;
  std::vector<char> answer_;
};

}  // namespace velmora
