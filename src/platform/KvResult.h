#pragma once

#include <QString>

#include <utility>

// Why a call to the system failed: the system's own code (errno on Linux,
// GetLastError on Windows) and a short message, which log lines show as
// their formats require.
struct KvError
{
    int code = 0;
    QString message;

    // The error of errno code, with the system's words for it.
    static KvError fromErrno(int code);
};

// The outcome of a call to the system: its value, or the error that kept it
// from being had. Each result carries its own error, so that nothing has to
// be read from a global after the fact.
template<class T> class KvResult
{
public:
    KvResult(T value)
        : m_value(std::move(value))
    {}
    KvResult(KvError error)
        : m_error(std::move(error))
        , m_failed(true)
    {}

    bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }
    // The value; a default one after a failure.
    const T &value() const { return m_value; }
    T valueOr(T fallback) const { return m_failed ? std::move(fallback) : m_value; }
    // The value moved out, for values that cannot be copied.
    T take() { return std::move(m_value); }
    const KvError &error() const { return m_error; }

private:
    T m_value{};
    KvError m_error;
    bool m_failed = false;
};

// A result without a value: success, or the error.
template<> class KvResult<void>
{
public:
    KvResult() = default;
    KvResult(KvError error)
        : m_error(std::move(error))
        , m_failed(true)
    {}

    bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }
    const KvError &error() const { return m_error; }

private:
    KvError m_error;
    bool m_failed = false;
};

using KvStatus = KvResult<void>;
