// SHA-256 from Windows' own cryptography (CNG, bcrypt.dll).
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>

#include <algorithm>
#include <stdexcept>

#include "platform/sha256.h"

namespace discshell {
namespace {

// CNG fails only without memory or with a broken installation; neither
// leaves anything to report but the failure itself.
void check(NTSTATUS status) {
  if (status < 0) throw std::runtime_error("CNG's SHA-256 failed");
}

// Opened once and kept for the whole run, as CNG advises.
BCRYPT_ALG_HANDLE sha256Provider() {
  static const BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE opened = nullptr;
    check(::BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM, nullptr, 0));
    return opened;
  }();
  return provider;
}

}  // namespace

struct Sha256::Context {
  BCRYPT_HASH_HANDLE hash = nullptr;
  Context() = default;
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  ~Context() {
    if (hash != nullptr) ::BCryptDestroyHash(hash);
  }
};

bool Sha256::available() { return true; }

std::string Sha256::unavailableReason() { return ""; }

Sha256::Sha256() : context_(std::make_unique<Context>()) {
  check(::BCryptCreateHash(sha256Provider(), &context_->hash, nullptr, 0, nullptr, 0, 0));
}

Sha256::~Sha256() = default;

void Sha256::update(std::span<const unsigned char> bytes) {
  // CNG takes at most 4 GiB a call, and a pointer it does not write through.
  while (!bytes.empty()) {
    const auto piece = std::min<std::size_t>(bytes.size(), ULONG{1} << 30);
    check(::BCryptHashData(context_->hash, const_cast<PUCHAR>(bytes.data()),
                           static_cast<ULONG>(piece), 0));
    bytes = bytes.subspan(piece);
  }
}

Sha256::Digest Sha256::finish() {
  Digest digest{};
  check(::BCryptFinishHash(context_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
  return digest;
}

}  // namespace discshell
