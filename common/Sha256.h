#pragma once

#include "common/NonCopyable.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace cpuconfig {

// SHA-256 of data fed in pieces, so that a file of any size is hashed as it streams by
// (the OS's or OpenSSL's implementation).
class Sha256 : NonCopyable {
public:
    Sha256();
    ~Sha256();

    void update(std::span<const std::uint8_t> data);
    // Lower-case hex digest of everything fed so far; the hash is spent afterwards.
    std::string finishHex();

private:
    static constexpr std::size_t kDigestSize = 32;
    // The backend's part: the 32 bytes of the digest.
    void finish(std::uint8_t (&digest)[kDigestSize]);

    struct State;
    std::unique_ptr<State> m_state;
};

// Lower-case hex SHA-256 of data.
std::string sha256Hex(std::span<const std::uint8_t> data);

} // namespace cpuconfig
