// A disk that fails on demand, for the replacing writes of a test binary that links
// FailDevice.cpp: it stands in for the system's device and passes every step on to it until
// told to fail.
#pragma once

#include <cstdint>
#include <optional>

namespace cpuconfig::test {

// Writes fail with osError once limit bytes of a file have been written (a disk that fills
// up). std::nullopt restores normal writes.
void failWritesAfter(std::optional<std::uint64_t> limit, int osError);
// Every flush fails with osError (a disk that fails once the data is sent to it), the waits
// for ranges sent ahead as well. std::nullopt restores normal flushes.
void failFlushes(std::optional<int> osError);

} // namespace cpuconfig::test
