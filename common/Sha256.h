#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace cpuconfig {

// Lower-case hex SHA-256 of data (the OS's or OpenSSL's implementation).
std::string sha256Hex(std::span<const std::uint8_t> data);

} // namespace cpuconfig
