#include "sim/CardModel.h"

#include "common/Sha256.h"
#include "package/PackageFormat.h"

#include <algorithm>
#include <cstdio>

namespace cpuconfig {
namespace {

using namespace protocol;

std::string hex(const std::uint8_t* data, std::size_t n, std::size_t max = 32) {
    std::string out;
    char b[4];
    for (std::size_t i = 0; i < std::min(n, max); ++i) {
        std::snprintf(b, sizeof b, i ? " %02x" : "%02x", data[i]);
        out += b;
    }
    if (n > max)
        out += " ...";
    return out;
}

// The pace the card never takes bytes slower than (see lineTime()).
inline constexpr std::uint32_t kSlowestPace = 96000;

} // namespace

std::optional<SimFault> simFaultFromText(const std::string& text) {
    static const std::pair<const char*, SimFault> names[] = {
        {"none", SimFault::None},        {"silent", SimFault::Silent},
        {"no-ack", SimFault::NoAck},     {"nak", SimFault::Nak},
        {"no-final", SimFault::NoFinal}, {"garbage", SimFault::Garbage},
        {"hangup", SimFault::Hangup},
    };
    for (const auto& [name, fault] : names)
        if (text == name)
            return fault;
    return std::nullopt;
}

std::chrono::microseconds lineTime(std::size_t bytes, std::uint32_t baud) {
    const long long pace = std::max(baud, kSlowestPace);
    return std::chrono::microseconds(static_cast<long long>(bytes) * 11 * 1000000 / pace);
}

void CardModel::log(const std::string& line) const {
    if (m_options.log)
        m_options.log(line);
}

SimAction CardModel::feed(std::span<const std::uint8_t> bytes, const SimLine& line) {
    m_action = {};
    if (m_record.lines.size() < 100000)
        m_record.lines.push_back(line);
    for (std::size_t i = 0; i < bytes.size() && !m_action.hangUp; ++i) {
        if (line.mark) {
            if (midFrame())
                ++m_record.dataBytesUnderMark;
            onAddressByte(bytes[i]);
        } else {
            onDataByte(bytes[i]);
        }
    }
    return std::move(m_action);
}

std::vector<SimReply> CardModel::writesOf(const std::vector<std::uint8_t>& bytes,
                                          bool afterTaken) const {
    std::vector<SimReply> writes;
    if (m_options.answerByteByByte && bytes.size() > 1) {
        for (std::size_t i = 0; i < bytes.size(); ++i)
            writes.push_back({{bytes[i]}, afterTaken || i > 0});
    } else if (!bytes.empty()) {
        writes.push_back({bytes, afterTaken});
    }
    return writes;
}

void CardModel::send(const std::vector<std::uint8_t>& bytes, bool afterTaken) {
    for (auto& write : writesOf(bytes, afterTaken))
        m_action.replies.push_back(std::move(write));
}

void CardModel::onAddressByte(std::uint8_t b) {
    if (m_state != State::Address) {
        if (m_state == State::Transfer)
            log("transfer broken off by a new address");
        m_state = State::Address;
        m_addressBuf.clear();
    }
    m_addressBuf.push_back(b);
    if (m_addressBuf.size() < 2)
        return;
    const bool mine = m_addressBuf[0] == m_addressBuf[1] &&
                      m_addressBuf[0] == static_cast<std::uint8_t>(m_options.screen & 0xFF);
    log("address " + hex(m_addressBuf.data(), 2) + " parity mark" +
        (mine ? "" : " (another card's)"));
    m_record.address = m_addressBuf;
    m_state = State::Idle;
    if (!mine)
        return;
    if (m_options.hears && !m_options.hears(++m_addressed)) {
        log("did not hear it");
        return;
    }
    bool afterGarbage = false;
    switch (m_options.fault) {
    case SimFault::Silent:
        return;
    case SimFault::NoAck:
        send({kAck, kAck}); // two bytes in one go: no acknowledge
        return;
    case SimFault::Garbage:
        send({0x7E, 0x00, 0xFF});
        // The other end takes the garbage in a read of its own before the acknowledge.
        afterGarbage = true;
        break;
    default:
        break;
    }
    send(m_options.ackAnswer.value_or(std::vector<std::uint8_t>{kAck}), afterGarbage);
    m_state = State::Command;
    m_command.clear();
    ++m_record.acknowledges;
}

void CardModel::onDataByte(std::uint8_t b) {
    switch (m_state) {
    case State::Idle:
    case State::Address:
        m_state = State::Idle; // noise on the bus, or a card not addressed
        return;
    case State::Command:
        m_command.push_back(b);
        if (m_command.size() == 2 && m_command[1] != kUpgradeCommand &&
            m_command[1] != kQueryCommand) {
            log("unknown command " + hex(m_command.data(), 2));
            m_state = State::Idle;
            return;
        }
        if (m_command.size() == kQueryFrameSize && m_command[1] == kQueryCommand) {
            log("query frame " + hex(m_command.data(), m_command.size()) + " parity space");
            m_record.queryFrame = m_command;
            m_state = State::Idle;
            const QueryFrame good = queryFrame(kAck);
            if (!std::equal(m_command.begin(), m_command.end(), good.begin())) {
                log("query frame not understood");
                return;
            }
            if (m_options.fault == SimFault::NoFinal || m_options.fault == SimFault::Silent)
                return;
            const std::string model = m_options.model.substr(0, kSimModelBytes);
            auto reply = queryReply(static_cast<std::uint8_t>(m_options.screen), model);
            if (m_options.queryReply)
                reply = *m_options.queryReply;
            send(reply);
            log("answered the query with model \"" + model + "\"");
            ++m_record.queriesAnswered;
            return;
        }
        if (m_command.size() == kHeaderCommandSize && m_command[1] == kUpgradeCommand) {
            m_expected = announcedLength(m_command);
            log("header command " + hex(m_command.data(), 7) + " header " +
                hex(m_command.data() + 7, 8) + " length " + std::to_string(m_expected) +
                " parity space");
            m_record.headerCommand = m_command;
            m_record.transfer.clear();
            m_record.endMarkOk = false;
            m_record.imageSha256.clear();
            m_state = State::Transfer;
            if (m_expected == 0) {
                m_state = State::Idle;
            }
        }
        return;
    case State::Transfer: {
        m_record.transfer.push_back(b);
        const std::size_t got = m_record.transfer.size();
        if (m_options.fault == SimFault::Hangup &&
            got * 100 >= m_expected * static_cast<std::uint64_t>(
                                          std::clamp(m_options.hangupAtPercent, 0, 100))) {
            log("hanging up after " + std::to_string(got) + " of " + std::to_string(m_expected) +
                " bytes");
            // Counted before the line drops, so that whoever sees the hang-up sees it counted.
            ++m_record.hangups;
            m_action.hangUp = true;
            m_state = State::Idle;
            return;
        }
        if (m_options.chatter && got == m_expected / 2) {
            send(*m_options.chatter);
            log("said " + hex(m_options.chatter->data(), m_options.chatter->size()) +
                " during the transfer");
        }
        if (got == m_expected)
            finishTransfer();
        return;
    }
    }
}

void CardModel::finishTransfer() {
    m_state = State::Idle;
    const std::vector<std::uint8_t>& transfer = m_record.transfer;
    const bool endMark = !transfer.empty() && transfer.back() == kEndMark;
    std::string sha;
    if (transfer.size() >= kTrailerSize) {
        std::vector<std::uint8_t> image(transfer.size() - kTrailerSize);
        nibbleSwap(transfer.data(), image.data(), image.size());
        sha = sha256Hex(image);
        log("transfer " + std::to_string(transfer.size()) + " bytes, end mark " +
            (endMark ? "aa ok" : "missing") + ", image " + std::to_string(image.size()) +
            " bytes sha256 " + sha);
    } else {
        log("transfer " + std::to_string(transfer.size()) + " bytes: too short for a trailer");
    }
    m_record.endMarkOk = endMark;
    m_record.imageSha256 = sha;
    ++m_record.upgradesCompleted;
    switch (m_options.fault) {
    case SimFault::Nak:
        send({kNak});
        log("answered 00");
        return;
    case SimFault::NoFinal:
        log("no answer");
        return;
    default: {
        const auto answer = m_options.finalAnswer.value_or(std::vector<std::uint8_t>{kAck});
        send(answer);
        log("answered " + hex(answer.data(), answer.size()));
    }
    }
}

} // namespace cpuconfig
