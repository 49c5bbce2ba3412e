// Small result type for the engine: it never throws across its API and never prints.
// A failure carries a code, the OS error number (errno or GetLastError, 0 when none)
// and a message for logs and --verbose output; the user sees the system's own texts.
#pragma once

#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace cpuconfig {

enum class ErrorCode {
    FileMissing,    // the file does not exist (or is a directory)
    FileUnreadable, // exists but cannot be opened or read
    FileTooShort,   // shorter than the reader needs
    FileEmpty,      // an image of zero bytes
    FileTooLarge,   // beyond what the format can count
    CreateFailed,   // the output file cannot be created
    WriteFailed,    // fewer bytes written than asked for
    BadText,        // a header text that does not fit one byte per character
    PortOpen,       // missing, busy or refused at open
    PortSetup,      // queue sizes, timeouts, line settings or event mask refused
    PortIo,         // a read or write on the port failed
    Stopped,        // a stop was requested
    Usage,          // a caller passed something meaningless
};

struct Error {
    ErrorCode code;
    int osError = 0;
    std::string message;
};

template <class T> class [[nodiscard]] Result {
public:
    Result(T value) : m_v(std::move(value)) {}
    Result(Error error) : m_v(std::move(error)) {}

    bool ok() const { return m_v.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & {
        assert(ok());
        return std::get<0>(m_v);
    }
    const T& value() const& {
        assert(ok());
        return std::get<0>(m_v);
    }
    T&& value() && {
        assert(ok());
        return std::get<0>(std::move(m_v));
    }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }

    const Error& error() const {
        assert(!ok());
        return std::get<1>(m_v);
    }

private:
    std::variant<T, Error> m_v;
};

template <> class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : m_error(std::move(error)), m_ok(false) {}

    bool ok() const { return m_ok; }
    explicit operator bool() const { return ok(); }
    const Error& error() const {
        assert(!ok());
        return m_error;
    }

private:
    Error m_error{ErrorCode::Usage, 0, {}};
    bool m_ok = true;
};

inline Error makeError(ErrorCode code, std::string message, int osError = 0) {
    return Error{code, osError, std::move(message)};
}

} // namespace cpuconfig
