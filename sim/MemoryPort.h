// A simulated card (sim/CardModel.h) on a line in memory: the ports it opens are serial
// ports (link/SerialPort.h) like any other to the exchange, on every platform, and nothing
// on them takes time. Every write reaches the card at once; what it answers waits in the
// port until read, a write that the card makes only once the one before was taken in a
// read of its own. A wait finds bytes there or none: it never blocks, so silence passes on
// the exchange's clock alone.
//
// The card serves one port at a time, as a real one on its line. After a hang-up that port
// fails (PortIo), and the next open finds the card back on a fresh line.
#pragma once

#include "link/SerialPort.h"
#include "sim/CardModel.h"

#include <memory>
#include <string>
#include <vector>

namespace cpuconfig {

class MemoryCard final : public SerialPortFactory {
public:
    explicit MemoryCard(SimulatorOptions options = {}, std::string name = "memory");
    ~MemoryCard() override;
    MemoryCard(const MemoryCard&) = delete;
    MemoryCard& operator=(const MemoryCard&) = delete;

    // The name its ports open by.
    const std::string& port() const { return m_name; }
    // A port to the card: PortOpen for any other name, or while a port to it is open.
    Result<std::unique_ptr<SerialPort>> open(const std::string& name) override;

    SimRecord record() const;
    // Whether a port to the card is open now.
    bool inUse() const;
    // The card says bytes at once, from any thread: a card that answers late.
    void answer(const std::vector<std::uint8_t>& bytes);

    struct Line; // what the card and its open port share

private:
    std::string m_name;
    std::shared_ptr<Line> m_line;
};

} // namespace cpuconfig
