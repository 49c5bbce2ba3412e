#include "link/Win32SerialPort.h"

#include "link/SerialPortBase.h"

#include <algorithm>
#include <cctype>
#include <memory>

#include <windows.h>

namespace cpuconfig {
namespace {

constexpr DWORD kPurgeReceive = PURGE_RXABORT | PURGE_RXCLEAR; // 0x000A: cancel reads, empty queue
static_assert(kPurgeReceive == 0x000A);
constexpr DWORD kPurgeSend = PURGE_TXABORT | PURGE_TXCLEAR; // 0x0005: cancel writes, empty queue
static_assert(kPurgeSend == 0x0005);
constexpr DWORD kDcbLength = 28; // DCBlength for the data phase: the record's own size
static_assert(sizeof(DCB) == kDcbLength);
constexpr DWORD kQueueSize = 1024; // receive and send queue, bytes
// Every exchange, from the open on: reads return at once with what is there; a write may
// take 2000 ms a byte and 50 more.
constexpr COMMTIMEOUTS kExchangeTimeouts{MAXDWORD, 0, 0, 2000, 50};
// The query while it awaits the card's reply: a read waits for the rest of it.
constexpr COMMTIMEOUTS kQueryReplyTimeouts{40, 40, 40, 2000, 50};
// How long a cancelled operation may take to report back. A driver that never does gets
// its record abandoned rather than a worker that hangs.
constexpr DWORD kCancelGraceMs = 1000;

std::string osText(DWORD err) {
    char* buf = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, err, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                   reinterpret_cast<LPSTR>(&buf), 0, nullptr);
    std::string text = (n != 0 && buf != nullptr) ? std::string(buf, n) : std::string();
    if (buf != nullptr) {
        LocalFree(buf);
    }
    while (!text.empty() &&
           (std::isspace(static_cast<unsigned char>(text.back())) != 0 || text.back() == '.')) {
        text.pop_back();
    }
    const std::string code = "Windows error " + std::to_string(err);
    return text.empty() ? code : text + " (" + code + ")";
}

// Every Win32 failure of this backend becomes an Error here, with GetLastError's number.
Error portError(ErrorCode code, const std::string& port, const char* call, DWORD err) {
    return makeError(code, port + ": " + call + ": " + osText(err), static_cast<int>(err));
}

// Errors after which the port takes nothing more: the adapter was pulled or the handle is
// dead. Any other write outcome is left to the card's answers to judge.
bool deviceGone(DWORD err) {
    switch (err) {
    case ERROR_INVALID_HANDLE:
    case ERROR_ACCESS_DENIED: // what many USB adapters report once unplugged
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
        return true;
    default:
        return false;
    }
}

HANDLE newEvent() {
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
} // manual reset, unset

// An overlapped record with its event. The record stays where it is while an operation is
// pending on it (the driver writes into it), so it lives on the heap and is only freed once
// nothing is pending.
struct Record {
    OVERLAPPED ov{};
    DWORD eventMask = 0; // WaitCommEvent's result, written when the wait completes

    // Clears the record for the next operation, keeping its event.
    void clear() {
        HANDLE event = ov.hEvent;
        ov = OVERLAPPED{};
        ov.hEvent = event;
        ResetEvent(event);
        eventMask = 0;
    }
};

std::unique_ptr<Record> newRecord() {
    auto record = std::make_unique<Record>();
    record->ov.hEvent = newEvent();
    if (record->ov.hEvent == nullptr) {
        return nullptr;
    }
    return record;
}

// Sets the record's event and closes it: the closing steps, for any record still held.
void setAndClose(std::unique_ptr<Record>& record) {
    if (record) {
        SetEvent(record->ov.hEvent);
        CloseHandle(record->ov.hEvent);
        record.reset();
    }
}

enum class WaitEnd { Done, TimedOut, Stopped, Failed };

constexpr DWORD kPollMs = 10; // receive-queue polling where the driver's wait gives up early
// How often a wait looks at the stop token. The token is polled rather than wired to an
// event through std::stop_callback: with MinGW's libstdc++ a callback that runs on the
// stopping thread while the waiter leaves its wait can block the waiter for good.
constexpr DWORD kStopPollMs = 10;

DWORD toMs(std::chrono::milliseconds d) {
    return static_cast<DWORD>(std::clamp<long long>(d.count(), 0, INFINITE - 1));
}

// Each port holds three manual-reset events (write, receive wait, read), each with its
// overlapped record. Every wait also watches the stop token (every 10 ms), so a stop ends
// it promptly on shutdown. No overlapped operation is left pending when a call returns: one
// that timed out or was stopped is cancelled and reaped first, so its record can be
// reused or released.
class Win32SerialPort final : public SerialPortBase {
public:
    static Result<std::unique_ptr<SerialPort>> open(const std::string& name);

    ~Win32SerialPort() override;
    Win32SerialPort(const Win32SerialPort&) = delete;
    Win32SerialPort& operator=(const Win32SerialPort&) = delete;

    // The closing steps: set and close the write event, set and close the wait and read
    // events, release the write record, purge the receive side, close the port.
    void close() override;

private:
    bool isOpen() const override { return m_state != nullptr; }
    Result<void> doApplyLineSettings(const LineSettings& settings) override;
    // Acknowledge: new wait and read events, then the EV_RXCHAR mask. Answer: the port's
    // errors cleared, then the mask. Reply: the errors cleared, the reply's timeouts, then
    // the mask. More: the mask again. Nothing: new wait and read events, dropping what a
    // wait left pending.
    Result<void> doExpect(Awaiting what) override;
    Result<bool> doWaitReadable(std::chrono::milliseconds limit, std::stop_token stop) override;
    // ClearCommError's count of the receive queue.
    Result<std::size_t> doBytesWaiting() override;
    Result<std::size_t> doRead(std::span<std::uint8_t> buffer, std::chrono::milliseconds limit,
                               std::stop_token stop) override;
    Result<void> doWrite(std::span<const std::uint8_t> data, std::stop_token stop) override;
    Result<void> doDiscardInput() override { return purge(kPurgeReceive); }
    // What the driver still holds of a stopped transfer is dropped, not sent on to the card.
    Result<void> doDiscardOutput() override { return purge(kPurgeSend); }

    struct State; // the handles and overlapped records
    Win32SerialPort(std::string name, std::unique_ptr<State> state);
    Result<void> setUp();                                   // queue sizes, exchange timeouts
    Result<void> setTimeouts(const COMMTIMEOUTS& timeouts); // SetCommTimeouts
    Result<void> watchCharacters();                         // SetCommMask EV_RXCHAR
    Result<void> renewWaitEvents();                         // new wait and read events
    Result<void> purge(DWORD flags);                        // PurgeComm with these flags

    std::unique_ptr<State> m_state;
};

} // namespace

std::string win32DeviceName(const std::string& portName) {
    const bool comN = portName.size() > 3 &&
                      std::equal(portName.begin(), portName.begin() + 3, "COM",
                                 [](char a, char b) {
                                     return std::toupper(static_cast<unsigned char>(a)) == b;
                                 }) &&
                      std::all_of(portName.begin() + 3, portName.end(), [](char c) {
                          return std::isdigit(static_cast<unsigned char>(c)) != 0;
                      });
    return comN ? "\\\\.\\" + portName : portName;
}

struct Win32SerialPort::State {
    HANDLE port = INVALID_HANDLE_VALUE;
    HANDLE portLock = nullptr;     // named after the port while it is held; see open()
    std::unique_ptr<Record> write; // allocated when the exchange starts
    std::unique_ptr<Record> wait;  // receive-character wait, from the first arming on
    std::unique_ptr<Record> read;

    ~State() {
        // After a failed open: whatever was acquired. After Win32SerialPort::close(), which
        // runs the closing steps in their order, only the port lock is left.
        setAndClose(write);
        setAndClose(wait);
        setAndClose(read);
        if (port != INVALID_HANDLE_VALUE) {
            CloseHandle(port);
        }
        if (portLock != nullptr) {
            CloseHandle(portLock);
        }
    }

    // Waits for the record's operation, a stop request, or the limit (INFINITE: none).
    static WaitEnd waitFor(Record& record, DWORD limitMs, const std::stop_token& stop) {
        const auto start = std::chrono::steady_clock::now();
        for (;;) {
            if (stop.stop_requested()) {
                return WaitEnd::Stopped;
            }
            DWORD slice = kStopPollMs;
            if (limitMs != INFINITE) {
                const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - start);
                const DWORD left =
                    spent.count() >= limitMs ? 0 : limitMs - static_cast<DWORD>(spent.count());
                slice = std::min(slice, left);
            }
            switch (WaitForSingleObject(record.ov.hEvent, slice)) {
            case WAIT_OBJECT_0:
                return WaitEnd::Done;
            case WAIT_TIMEOUT:
                if (slice < kStopPollMs) {
                    return WaitEnd::TimedOut;
                }
                break;
            default:
                return WaitEnd::Failed;
            }
        }
    }

    // Cancels the operation pending on record and reaps it. Returns the bytes it moved
    // before it ended. A driver that does not report the cancel in time keeps the record:
    // it is abandoned (deliberately leaked) and a fresh one takes its place.
    DWORD cancel(std::unique_ptr<Record>& record) {
        // CancelIo, not CancelIoEx (absent before Vista): the port belongs to the one thread
        // that issued every operation on it.
        CancelIo(port);
        DWORD moved = 0;
        if (WaitForSingleObject(record->ov.hEvent, kCancelGraceMs) == WAIT_OBJECT_0) {
            GetOverlappedResult(port, &record->ov, &moved, FALSE);
            return moved;
        }
        (void)record.release();
        record = newRecord();
        return moved;
    }

    bool ensureReceiveRecords() {
        if (!wait) {
            wait = newRecord();
        }
        if (!read) {
            read = newRecord();
        }
        return wait && read;
    }

    // Bytes in the receive queue, 0 when unknown.
    DWORD bytesWaiting() const {
        DWORD errors = 0;
        COMSTAT status{};
        return ClearCommError(port, &errors, &status) ? status.cbInQue : 0;
    }

    // Looks at the receive queue every few milliseconds until bytes are waiting or the
    // deadline passes. false when a stop was requested.
    bool pollReceive(std::chrono::steady_clock::time_point deadline,
                     const std::stop_token& stop) const {
        while (bytesWaiting() == 0) {
            if (stop.stop_requested()) {
                return false;
            }
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return true;
            }
            Sleep(std::min<DWORD>(kPollMs, toMs(left)));
        }
        return true;
    }
};

Win32SerialPort::Win32SerialPort(std::string name, std::unique_ptr<State> state)
    : SerialPortBase(std::move(name)), m_state(std::move(state)) {}

Win32SerialPort::~Win32SerialPort() {
    close();
}

Result<std::unique_ptr<SerialPort>> Win32SerialPort::open(const std::string& name) {
    auto state = std::make_unique<State>();
    state->write = newRecord();
    if (!state->write) {
        return portError(ErrorCode::PortOpen, name, "CreateEventA", GetLastError());
    }
    // Share mode 0: a port held by another program or exchange fails here, as it must.
    state->port = CreateFileA(win32DeviceName(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (state->port == INVALID_HANDLE_VALUE) {
        return portError(ErrorCode::PortOpen, name, "CreateFileA", GetLastError());
    }
    // A name that happens to be a file or a pipe is no port: never write to it. (Serial
    // drivers report a character device; some virtual ones report nothing useful.)
    if (const DWORD type = GetFileType(state->port);
        type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE) {
        return makeError(ErrorCode::PortOpen, name + ": not a serial device");
    }
    // Windows' own serial driver refuses a second open, but not every driver does (Wine,
    // some virtual ports): a second exchange on the port would then talk across the first.
    // A named object per port, alive while any holder's handle is, keeps it exclusive
    // between our programs there too; it goes away with a holder that is killed.
    std::string key = win32DeviceName(name);
    for (char& c : key) {
        c = c == '\\' ? '/' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    state->portLock = CreateMutexA(nullptr, FALSE, ("Local\\cpuconfig-port-" + key).c_str());
    if (state->portLock == nullptr) {
        return portError(ErrorCode::PortOpen, name, "CreateMutexA", GetLastError());
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        return makeError(ErrorCode::PortOpen, name + ": in use by another exchange",
                         ERROR_ACCESS_DENIED);
    }
    std::unique_ptr<Win32SerialPort> port(new Win32SerialPort(name, std::move(state)));
    if (auto r = port->setUp(); !r) {
        port->close(); // a port that will not be set up is released with the closing steps
        return r.error();
    }
    return std::unique_ptr<SerialPort>(std::move(port));
}

Result<std::unique_ptr<SerialPort>> Win32SerialPorts::open(const std::string& name) {
    return Win32SerialPort::open(name);
}

Result<void> Win32SerialPort::setUp() {
    if (!SetupComm(m_state->port, kQueueSize, kQueueSize)) {
        return portError(ErrorCode::PortSetup, name(), "SetupComm", GetLastError());
    }
    return setTimeouts(kExchangeTimeouts);
}

Result<void> Win32SerialPort::setTimeouts(const COMMTIMEOUTS& timeouts) {
    COMMTIMEOUTS t = timeouts;
    if (!SetCommTimeouts(m_state->port, &t)) {
        return portError(ErrorCode::PortSetup, name(), "SetCommTimeouts", GetLastError());
    }
    return {};
}

Result<void> Win32SerialPort::doApplyLineSettings(const LineSettings& settings) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    // Its result is not tested: a port that cannot report its settings refuses them below.
    GetCommState(m_state->port, &dcb);
    dcb.BaudRate = settings.baud;
    dcb.ByteSize = settings.dataBits;
    dcb.Parity = settings.parity == Parity::Mark ? MARKPARITY : SPACEPARITY;
    if (settings.parity == Parity::Space) { // the data phase
        dcb.DCBlength = kDcbLength;
    }
    if (!SetCommState(m_state->port, &dcb)) {
        return portError(ErrorCode::PortSetup, name(), "SetCommState", GetLastError());
    }
    return {};
}

Result<void> Win32SerialPort::doExpect(Awaiting what) {
    switch (what) {
    case Awaiting::Acknowledge:
        if (auto r = renewWaitEvents(); !r) {
            return r;
        }
        return watchCharacters();
    case Awaiting::Answer:
        m_state->bytesWaiting(); // clears the port's errors; the count is not wanted
        return watchCharacters();
    case Awaiting::Reply:
        m_state->bytesWaiting();
        if (auto r = setTimeouts(kQueryReplyTimeouts); !r) {
            return r;
        }
        return watchCharacters();
    case Awaiting::More:
        return watchCharacters();
    case Awaiting::Nothing:
        break;
    }
    return renewWaitEvents();
}

Result<void> Win32SerialPort::watchCharacters() {
    if (!m_state->ensureReceiveRecords()) {
        return portError(ErrorCode::PortSetup, name(), "CreateEventA", GetLastError());
    }
    if (!SetCommMask(m_state->port, EV_RXCHAR)) {
        return portError(ErrorCode::PortSetup, name(), "SetCommMask", GetLastError());
    }
    return {};
}

Result<bool> Win32SerialPort::doWaitReadable(std::chrono::milliseconds limit,
                                             std::stop_token stop) {
    if (!m_state->ensureReceiveRecords()) {
        return portError(ErrorCode::PortSetup, name(), "CreateEventA", GetLastError());
    }
    State& s = *m_state;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    Record& wait = *s.wait;
    wait.clear();
    if (!WaitCommEvent(s.port, &wait.eventMask, &wait.ov)) {
        const DWORD err = GetLastError();
        if (err != ERROR_IO_PENDING) {
            return portError(ErrorCode::PortIo, name(), "WaitCommEvent", err);
        }
        switch (s.waitFor(wait, toMs(limit), stop)) {
        case WaitEnd::Done:
            break;
        case WaitEnd::Stopped:
            s.cancel(s.wait);
            return stopped();
        case WaitEnd::TimedOut:
            s.cancel(s.wait);
            // A character that came in before the mask was armed raises no event; it is
            // still an answer.
            return s.bytesWaiting() > 0;
        case WaitEnd::Failed:
            return portError(ErrorCode::PortIo, name(), "WaitForMultipleObjects", GetLastError());
        }
        DWORD unused = 0;
        if (!GetOverlappedResult(s.port, &wait.ov, &unused, FALSE)) {
            const DWORD waitErr = GetLastError();
            if (waitErr != ERROR_OPERATION_ABORTED) {
                return portError(ErrorCode::PortIo, name(), "WaitCommEvent", waitErr);
            }
            wait.eventMask = 0;
        }
    }
    if ((wait.eventMask & EV_RXCHAR) != 0) {
        return true;
    }
    // The wait ended early without a character. Some drivers give the wait up at once
    // (Wine does on a port without modem lines, such as a pseudo-terminal): watch the
    // receive queue for the rest of the limit instead, so the limit still holds.
    return s.pollReceive(deadline, stop) ? Result<bool>(s.bytesWaiting() > 0)
                                         : Result<bool>(stopped());
}

Result<void> Win32SerialPort::renewWaitEvents() {
    setAndClose(m_state->wait);
    setAndClose(m_state->read);
    if (!m_state->ensureReceiveRecords()) {
        return portError(ErrorCode::PortSetup, name(), "CreateEventA", GetLastError());
    }
    return {};
}

Result<std::size_t> Win32SerialPort::doBytesWaiting() {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(m_state->port, &errors, &status)) {
        return portError(ErrorCode::PortIo, name(), "ClearCommError", GetLastError());
    }
    return static_cast<std::size_t>(status.cbInQue);
}

Result<std::size_t> Win32SerialPort::doRead(std::span<std::uint8_t> buffer,
                                            std::chrono::milliseconds limit, std::stop_token stop) {
    if (!m_state->ensureReceiveRecords()) {
        return portError(ErrorCode::PortSetup, name(), "CreateEventA", GetLastError());
    }
    State& s = *m_state;
    Record& record = *s.read;
    record.clear();
    const DWORD count = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), MAXDWORD));
    DWORD got = 0;
    if (ReadFile(s.port, buffer.data(), count, &got, &record.ov)) {
        // Finished at once; the record holds the count (the out-parameter is unreliable for
        // overlapped handles).
        GetOverlappedResult(s.port, &record.ov, &got, FALSE);
        return static_cast<std::size_t>(got);
    }
    const DWORD err = GetLastError();
    if (err != ERROR_IO_PENDING) {
        return portError(ErrorCode::PortIo, name(), "ReadFile", err);
    }
    switch (s.waitFor(record, toMs(limit), stop)) {
    case WaitEnd::Done:
        if (!GetOverlappedResult(s.port, &record.ov, &got, FALSE)) {
            return portError(ErrorCode::PortIo, name(), "ReadFile", GetLastError());
        }
        return static_cast<std::size_t>(got);
    case WaitEnd::TimedOut:
        // Whatever the read took before the cancel is in the buffer: keep it.
        return static_cast<std::size_t>(s.cancel(s.read));
    case WaitEnd::Stopped:
        s.cancel(s.read);
        return stopped();
    case WaitEnd::Failed:
        break;
    }
    const DWORD waitErr = GetLastError();
    s.cancel(s.read);
    return portError(ErrorCode::PortIo, name(), "WaitForMultipleObjects", waitErr);
}

Result<void> Win32SerialPort::doWrite(std::span<const std::uint8_t> data, std::stop_token stop) {
    State& s = *m_state;
    if (!s.write) { // abandoned by a cancel the driver never confirmed
        s.write = newRecord();
        if (!s.write) {
            return portError(ErrorCode::PortIo, name(), "CreateEventA", GetLastError());
        }
    }
    Record& record = *s.write;
    record.clear();
    const DWORD count = static_cast<DWORD>(std::min<std::size_t>(data.size(), MAXDWORD));
    DWORD written = 0;
    if (WriteFile(s.port, data.data(), count, &written, &record.ov)) {
        return {};
    }
    DWORD err = GetLastError();
    if (err == ERROR_IO_PENDING) {
        // No limit of our own: the driver ends the write after its write timeout.
        switch (s.waitFor(record, INFINITE, stop)) {
        case WaitEnd::Done:
            if (GetOverlappedResult(s.port, &record.ov, &written, FALSE)) {
                return {};
            }
            err = GetLastError();
            break;
        case WaitEnd::Stopped:
            s.cancel(s.write);
            return stopped();
        case WaitEnd::TimedOut:
        case WaitEnd::Failed:
            err = GetLastError();
            s.cancel(s.write);
            break;
        }
    }
    // The outcome of a write is judged by the card's answers, unless the port is gone.
    if (deviceGone(err)) {
        return portError(ErrorCode::PortIo, name(), "WriteFile", err);
    }
    return {};
}

Result<void> Win32SerialPort::purge(DWORD flags) {
    if (!PurgeComm(m_state->port, flags)) {
        return portError(ErrorCode::PortIo, name(), "PurgeComm", GetLastError());
    }
    return {};
}

void Win32SerialPort::close() {
    if (m_state == nullptr) {
        return;
    }
    State& s = *m_state;
    // Set and close the write event, then the wait and read events; the write record goes
    // with its event.
    if (s.write) {
        SetEvent(s.write->ov.hEvent);
        CloseHandle(s.write->ov.hEvent);
    }
    if (s.wait) {
        SetEvent(s.wait->ov.hEvent);
    }
    if (s.read) {
        SetEvent(s.read->ov.hEvent);
    }
    if (s.wait) {
        CloseHandle(s.wait->ov.hEvent);
        s.wait.reset();
    }
    if (s.read) {
        CloseHandle(s.read->ov.hEvent);
        s.read.reset();
    }
    s.write.reset();
    PurgeComm(s.port, kPurgeReceive);
    CloseHandle(s.port);
    s.port = INVALID_HANDLE_VALUE;
    m_state.reset(); // the port lock
}

SerialPortFactory& platformSerialPorts() {
    static Win32SerialPorts factory;
    return factory;
}

} // namespace cpuconfig
