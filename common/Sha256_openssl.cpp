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

std::string Sha256::finishHex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(m_state->ctx, digest, &len);
    static const char* hex = "0123456789abcdef";
    std::string out;
    out.reserve(len * 2);
    for (unsigned i = 0; i < len; ++i) {
        out.push_back(hex[digest[i] >> 4]);
        out.push_back(hex[digest[i] & 0xF]);
    }
    return out;
}

std::string sha256Hex(std::span<const std::uint8_t> data) {
    Sha256 hash;
    hash.update(data);
    return hash.finishHex();
}

} // namespace cpuconfig
