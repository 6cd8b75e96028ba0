#include "support/md5.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/bytes.h"

namespace velmora {
namespace {

using testing::AsBytes;
using testing::Hex;

TEST(Md5Test, TheRfc1321Suite) {
  const std::pair<const char*, const char*> suite[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"}};
  for (const auto& [text, digest] : suite) {
    EXPECT_EQ(Hex(Md5().Update(AsBytes(text)).Final()), digest) << text;
  }
  // Fed in pieces across block boundaries, the same digest.
  const std::string text = suite[6].first;
  Md5 pieces;
  for (size_t i = 0; i < text.size(); i += 7)
    pieces.Update(AsBytes(text).subspan(i, std::min<size_t>(7, text.size() - i)));
  EXPECT_EQ(Hex(pieces.Final()), suite[6].second);
}

}  // namespace
}  // namespace velmora
