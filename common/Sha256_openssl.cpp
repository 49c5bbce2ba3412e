#include "common/Sha256.h"

#include <openssl/evp.h>

namespace cpuconfig {

struct Sha256::State {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~State() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256() : m_state(std::make_unique<State>()) {
    EVP_DigestInit_ex(m_state->ctx, EVP_sha256(), nullptr);
}

Sha256::~Sha256() = default;

void Sha256::update(std::span<const std::uint8_t> data) {
    EVP_DigestUpdate(m_state->ctx, data.data(), data.size());
}

void Sha256::finish(std::uint8_t (&digest)[kDigestSize]) {
    unsigned int len = kDigestSize;
    EVP_DigestFinal_ex(m_state->ctx, digest, &len);
}

} // namespace cpuconfig
