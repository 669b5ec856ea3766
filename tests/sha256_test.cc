// The SHA-256 seam, whichever library is behind it.
#include "platform/sha256.h"

#include <gtest/gtest.h>

#include <string_view>

namespace discshell {
namespace {

std::string hex(const Sha256::Digest& digest) {
  std::string text;
  for (const unsigned char byte : digest) {
    text += "0123456789abcdef"[byte >> 4];
    text += "0123456789abcdef"[byte & 0xF];
  }
  return text;
}

std::span<const unsigned char> bytes(std::string_view text) {
  return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

TEST(Sha256, GivesTheStandardDigestsWhateverThePieces) {
  EXPECT_EQ(hex(Sha256().finish()),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  Sha256 pieces;
  for (std::string_view piece : {"a", "", "bc"}) pieces.update(bytes(piece));
  EXPECT_EQ(hex(pieces.finish()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
}  // namespace discshell
