#include "link/Exchange.h"

#include <algorithm>
#include <cstdio>

namespace cpuconfig {

using std::chrono::milliseconds;
using namespace protocol;

Exchange::Exchange(const SelectionProvider& selection, const LinkOptions& options,
                   std::stop_token stop, Outcome& record)
    : m_selection(selection), m_options(options), m_stop(std::move(stop)), m_record(record) {
    if (!m_options.clock)
        m_options.clock = &systemClock();
    if (!m_options.ports)
        m_options.ports = &platformSerialPorts();
}

Exchange::~Exchange() {
    close();
}

Result<void> Exchange::applyLine(Parity parity) {
    LineSettings line;
    line.baud = baudFromText(m_selection.baudText()); // read afresh at every phase
    line.dataBits = 8;
    line.parity = parity;
    return m_port->applyLineSettings(line);
}

Exchange::Opening Exchange::open() {
    auto failed = [this](const Error& e) {
        m_error = e;
        note(e.message);
        recordPortFault(e);
        if (e.code == ErrorCode::Stopped) {
            close();
            return Opening::Stopped;
        }
        if (m_port) {
            m_port->close(); // a failed set-up releases without the closing steps
            m_port.reset();
        }
        return Opening::SetupFailed;
    };

    m_record.stage = Stage::Opening;
    m_record.port = m_selection.portName();
    auto opened = m_options.ports->open(m_record.port);
    if (!opened)
        return failed(opened.error());
    m_port = std::move(*opened);
    if (auto r = applyLine(Parity::Mark); !r)
        return failed(r.error());

    const std::string screenText = m_selection.screenText();
    m_record.screen = screenText;
    const auto screen = screenFromText(screenText);
    const auto frame = screen ? addressFrame(*screen) : std::nullopt;
    if (!frame)
        return failed(makeError(ErrorCode::Usage,
                                "screen number \"" + screenText + "\" is not one of 1 to 80"));
    if (auto r = write(*frame); !r && r.error().code == ErrorCode::Stopped)
        return failed(r.error());
    // A failed address write is judged by the missing acknowledge, as every write is.
    m_record.stage = Stage::Acknowledge;

    if (auto r = m_port->expect(Awaiting::Acknowledge); !r)
        return failed(r.error());

    const auto answer = receive([](std::span<const std::uint8_t> b,
                                   std::size_t got) { return isAcknowledge(b.first(got)); },
                                kReplyWait, m_options.ackWait);
    if (answer == Answer::Stopped)
        return failed(makeError(ErrorCode::Stopped, "stopped"));
    if (answer == Answer::RearmRefused)
        return failed(m_error);
    if (auto r = m_port->expect(Awaiting::Nothing); !r)
        return failed(r.error());
    if (answer == Answer::Passed)
        return Opening::Acknowledged;
    note("no acknowledge from screen " + std::to_string(*screen) + ": " +
         unanswered("the single byte 01"));
    return Opening::NoAcknowledge;
}

Result<void> Exchange::enterDataPhase() {
    auto r = applyLine(Parity::Space);
    if (!r) {
        m_error = r.error();
        note(r.error().message);
        recordPortFault(r.error());
    }
    return r;
}

void Exchange::recordPortFault(const Error& e) {
    if (!m_record.portError && (e.code == ErrorCode::PortOpen || e.code == ErrorCode::PortSetup))
        m_record.portError = e;
}

void Exchange::note(const std::string& line) {
    m_record.lastWord = line;
    if (m_options.log)
        m_options.log(line);
}

Result<void> Exchange::write(std::span<const std::uint8_t> data) {
    auto r = m_port->write(data, m_stop);
    if (!r) {
        m_error = r.error();
        if (r.error().code != ErrorCode::Stopped)
            note(r.error().message);
    }
    return r;
}

Result<bool> Exchange::waitOnClock(milliseconds limit) {
    Clock& clock = *m_options.clock;
    const auto deadline = clock.now() + limit;
    for (;;) {
        const auto remaining = std::chrono::ceil<milliseconds>(deadline - clock.now());
        if (remaining <= milliseconds::zero())
            return false;
        const auto slice = std::min(remaining, m_options.realWaitCap);
        const auto before = clock.now();
        auto r = m_port->waitReadable(slice, m_stop);
        if (!r || *r)
            return r;
        // Nothing arrived. A real clock has seen that time pass; a fake one is told to
        // let the rest of the wait pass.
        const auto spent = clock.now() - before;
        if (spent < remaining &&
            !clock.sleepFor(std::chrono::ceil<milliseconds>(remaining - spent), m_stop))
            return makeError(ErrorCode::Stopped, "stopped");
    }
}

Exchange::Answer Exchange::receive(const AnswerTest& test, milliseconds readLimit,
                                   milliseconds silence) {
    m_heard.clear();
    m_silence = silence;
    for (;;) {
        auto arrived = waitOnClock(silence);
        if (!arrived) {
            m_error = arrived.error();
            if (arrived.error().code == ErrorCode::Stopped)
                return Answer::Stopped;
            // A port that fails or hangs up while we wait is silence from the card.
            note(arrived.error().message);
            [[maybe_unused]] auto purged = m_port->discardInput();
            return Answer::None;
        }
        if (!*arrived)
            return Answer::None;
        auto waiting = m_port->bytesWaiting();
        if (!waiting) {
            m_error = waiting.error();
            [[maybe_unused]] auto purged = m_port->discardInput();
            return Answer::None;
        }
        if (auto r = m_port->expect(Awaiting::More); !r) {
            m_error = r.error();
            return Answer::RearmRefused;
        }
        if (*waiting == 0)
            continue;
        const std::size_t want = std::min(*waiting, m_buffer.size());
        std::fill_n(m_buffer.begin(), want, std::uint8_t{0});
        auto got = m_port->read(std::span(m_buffer.data(), want), readLimit, m_stop);
        if (!got) {
            m_error = got.error();
            if (got.error().code == ErrorCode::Stopped)
                return Answer::Stopped;
            [[maybe_unused]] auto purged = m_port->discardInput();
            return Answer::None;
        }
        if (test(m_buffer, *got))
            return Answer::Passed;
        hear(m_buffer.data(), *got);
    }
}

void Exchange::hear(const std::uint8_t* bytes, std::size_t n) {
    constexpr std::size_t kMost = 8 * 3; // eight bytes are enough to tell what it was
    for (std::size_t i = 0; i < n; ++i) {
        if (m_heard.size() >= kMost) {
            if (!m_heard.ends_with("..."))
                m_heard += " ...";
            return;
        }
        char b[4];
        std::snprintf(b, sizeof b, "%s%02x", m_heard.empty() ? "" : " ", unsigned{bytes[i]});
        m_heard += b;
    }
}

std::string Exchange::unanswered(const std::string& expected) const {
    if (m_heard.empty())
        return "silent for " + std::to_string(m_silence.count()) + " ms";
    return "it said " + m_heard + ", not " + expected;
}

void Exchange::close() {
    if (!m_port)
        return;
    [[maybe_unused]] auto ended = m_port->expect(Awaiting::Nothing);
    [[maybe_unused]] auto purged = m_port->discardInput();
    if (m_stop.stop_requested()) [[maybe_unused]]
        auto dropped = m_port->discardOutput(); // the rest of a stopped transfer
    m_port->close();
    m_port.reset();
}

} // namespace cpuconfig
