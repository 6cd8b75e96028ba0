#include "platform/datagram_batch.h"

#include <cstring>

namespace velmora {

DatagramBatch::DatagramBatch(size_t capacity)
    : capacity_(capacity), bytes_(kDatagramBatch * capacity) {
  for (size_t i = 0; i < kDatagramBatch; ++i) {
    vectors_[i] = {slot(i), capacity_};
    msghdr& header = headers_[i].msg_hdr;
    header.msg_name = &senders_[i];
    header.msg_iov = &vectors_[i];
    header.msg_iovlen = 1;
  }
}

mmsghdr* DatagramBatch::PrepareReceive() {
  count_ = 0;
  // Of the headers, recvmmsg changes the sender's length (and what it returns).
  for (mmsghdr& header : headers_) header.msg_hdr.msg_namelen = sizeof(sockaddr_in);
  return headers_.data();
}

void DatagramBatch::Keep(size_t i, size_t length) {
  // Datagrams that were refused before this one close up, so that the batch stays in order.
  if (i != count_) {
    std::memmove(slot(count_), slot(i), length);
    senders_[count_] = senders_[i];
  }
  lengths_[count_++] = length;
}

}  // namespace velmora
