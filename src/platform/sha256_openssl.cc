// SHA-256 through libcrypto's EVP interface. The library is loaded when m
// first needs it, not at start-up: mapped into every run it would cost each
// command about 1.5 MiB of memory for the one command that uses it.
#include <dlfcn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <bit>
#include <optional>
#include <stdexcept>

#include "platform/sha256.h"

namespace discshell {
namespace {

struct Library {
  decltype(&OPENSSL_init_crypto) initialise = nullptr;
  decltype(&EVP_MD_CTX_new) newContext = nullptr;
  decltype(&EVP_MD_CTX_free) freeContext = nullptr;
  decltype(&EVP_sha256) sha256 = nullptr;
  decltype(&EVP_DigestInit_ex) begin = nullptr;
  decltype(&EVP_DigestUpdate) update = nullptr;
  decltype(&EVP_DigestFinal_ex) end = nullptr;
};

template <typename Function>
bool resolve(void* handle, const char* name, Function& function) {
  void* symbol = ::dlsym(handle, name);
  if (symbol != nullptr) function = std::bit_cast<Function>(symbol);
  return symbol != nullptr;
}

// The library with every function m uses, or none. It stays loaded.
const Library* library() {
  static const std::optional<Library> loaded = []() -> std::optional<Library> {
    void* handle = ::dlopen(DISCSHELL_LIBCRYPTO, RTLD_NOW | RTLD_LOCAL);
    Library l;
    if (handle == nullptr || !resolve(handle, "OPENSSL_init_crypto", l.initialise) ||
        !resolve(handle, "EVP_MD_CTX_new", l.newContext) ||
        !resolve(handle, "EVP_MD_CTX_free", l.freeContext) ||
        !resolve(handle, "EVP_sha256", l.sha256) ||
        !resolve(handle, "EVP_DigestInit_ex", l.begin) ||
        !resolve(handle, "EVP_DigestUpdate", l.update) ||
        !resolve(handle, "EVP_DigestFinal_ex", l.end)) {
      return std::nullopt;
    }
    // The tool reads no configuration files, libcrypto's own included; left
    // out, it also keeps the library's memory down by half a megabyte.
    if (l.initialise(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) != 1) return std::nullopt;
    return l;
  }();
  return loaded ? &*loaded : nullptr;
}

// The library fails only without memory or with a broken installation;
// neither leaves anything to report but the failure itself.
void check(int status) {
  if (status != 1) throw std::runtime_error("libcrypto's SHA-256 failed");
}

}  // namespace

struct Sha256::Context {
  const Library& library;
  EVP_MD_CTX* digest;
  explicit Context(const Library& loaded) : library(loaded), digest(loaded.newContext()) {}
  ~Context() {
    if (digest != nullptr) library.freeContext(digest);
  }
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
};

bool Sha256::available() { return library() != nullptr; }

std::string Sha256::unavailableReason() {
  return std::string("the SHA-256 library ") + DISCSHELL_LIBCRYPTO + " cannot be loaded";
}

Sha256::Sha256() {
  const Library* loaded = library();
  if (loaded == nullptr) throw std::runtime_error(unavailableReason());
  context_ = std::make_unique<Context>(*loaded);
  check(context_->digest != nullptr ? loaded->begin(context_->digest, loaded->sha256(), nullptr)
                                    : 0);
}

Sha256::~Sha256() = default;

void Sha256::update(std::span<const unsigned char> bytes) {
  check(context_->library.update(context_->digest, bytes.data(), bytes.size()));
}

Sha256::Digest Sha256::finish() {
  Digest digest{};
  check(context_->library.end(context_->digest, digest.data(), nullptr));
  return digest;
}

}  // namespace discshell
