#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <stdexcept>

#include "platform/sha256.h"

namespace discshell {
namespace {

// The library fails only without memory or with a broken installation;
// neither leaves anything to report but the failure itself.
void check(int status) {
  if (status != 1) throw std::runtime_error("libcrypto's SHA-256 failed");
}

}  // namespace

struct Sha256::Context {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> digest{EVP_MD_CTX_new(), EVP_MD_CTX_free};
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
  // The tool reads no configuration files, libcrypto's own included; left
  // out, it also keeps the library's memory down by half a megabyte.
  static const int initialised = OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
  check(initialised);
  check(context_->digest ? EVP_DigestInit_ex(context_->digest.get(), EVP_sha256(), nullptr) : 0);
}

Sha256::~Sha256() = default;

void Sha256::update(std::span<const unsigned char> bytes) {
  check(EVP_DigestUpdate(context_->digest.get(), bytes.data(), bytes.size()));
}

Sha256::Digest Sha256::finish() {
  Digest digest{};
  check(EVP_DigestFinal_ex(context_->digest.get(), digest.data(), nullptr));
  return digest;
}

}  // namespace discshell
