// SHA-256 from the platform's cryptographic library; the build picks the
// implementation (sha256_openssl.cc: libcrypto's EVP interface).
#pragma once

#include <array>
#include <memory>
#include <span>
#include <string>

namespace discshell {

class Sha256 {
 public:
  using Digest = std::array<unsigned char, 32>;

  /// Whether the library is at hand (it may be loaded only when needed).
  [[nodiscard]] static bool available();
  /// Why it is not, for a message.
  [[nodiscard]] static std::string unavailableReason();

  /// Throws std::runtime_error when the library cannot start a digest.
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(std::span<const unsigned char> bytes);
  /// The digest of every byte given so far; call it once, last.
  [[nodiscard]] Digest finish();

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

}  // namespace discshell
