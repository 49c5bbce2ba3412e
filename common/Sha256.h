#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace cpuconfig {

// SHA-256 of data fed in pieces, so that a file of any size is hashed as it streams by
// (the OS's or OpenSSL's implementation).
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(std::span<const std::uint8_t> data);
    // Lower-case hex digest of everything fed so far; the hash is spent afterwards.
    std::string finishHex();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// Lower-case hex SHA-256 of data.
std::string sha256Hex(std::span<const std::uint8_t> data);

} // namespace cpuconfig
