#include "common/Sha256.h"

#include <algorithm>

#include <windows.h>

#include <bcrypt.h>

namespace cpuconfig {

std::string sha256Hex(std::span<const std::uint8_t> data) {
    unsigned char digest[32] = {};
    BCRYPT_ALG_HANDLE alg = nullptr;
    if (BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0) {
        // The create/data/finish calls work from Vista on; BCryptHash needs Windows 10.
        BCRYPT_HASH_HANDLE hash = nullptr;
        if (BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0) == 0) {
            std::size_t done = 0;
            while (done < data.size()) {
                const ULONG chunk =
                    static_cast<ULONG>(std::min<std::size_t>(data.size() - done, 1u << 30));
                BCryptHashData(hash, const_cast<PUCHAR>(data.data() + done), chunk, 0);
                done += chunk;
            }
            BCryptFinishHash(hash, digest, sizeof digest, 0);
            BCryptDestroyHash(hash);
        }
        BCryptCloseAlgorithmProvider(alg, 0);
    }
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char b : digest) {
        out.push_back(hex[b >> 4]);
        out.push_back(hex[b & 0xF]);
    }
    return out;
}

} // namespace cpuconfig
