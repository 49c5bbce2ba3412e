#include "common/Sha256.h"

#include <algorithm>

#include <windows.h>

#include <bcrypt.h>

namespace cpuconfig {

// The create/data/finish calls work from Vista on; BCryptHash needs Windows 10.
struct Sha256::State {
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    ~State() {
        if (hash)
            BCryptDestroyHash(hash);
        if (alg)
            BCryptCloseAlgorithmProvider(alg, 0);
    }
};

Sha256::Sha256() : m_state(std::make_unique<State>()) {
    if (BCryptOpenAlgorithmProvider(&m_state->alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0)
        BCryptCreateHash(m_state->alg, &m_state->hash, nullptr, 0, nullptr, 0, 0);
}

Sha256::~Sha256() = default;

void Sha256::update(std::span<const std::uint8_t> data) {
    std::size_t done = 0;
    while (m_state->hash && done < data.size()) {
        const auto chunk = static_cast<ULONG>(std::min<std::size_t>(data.size() - done, 1u << 30));
        BCryptHashData(m_state->hash, const_cast<PUCHAR>(data.data() + done), chunk, 0);
        done += chunk;
    }
}

void Sha256::finish(std::uint8_t (&digest)[kDigestSize]) {
    if (m_state->hash)
        BCryptFinishHash(m_state->hash, digest, kDigestSize, 0);
}

} // namespace cpuconfig
