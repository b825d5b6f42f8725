#pragma once

#include <windows.h>

#include <unknwn.h>

// Holds one reference on a COM interface and releases it when it goes.
template<class Interface> class KvComPointer
{
public:
    KvComPointer() = default;
    KvComPointer(const KvComPointer &) = delete;
    KvComPointer &operator=(const KvComPointer &) = delete;
    ~KvComPointer() { reset(); }

    Interface *get() const { return m_pointer; }
    Interface *operator->() const { return m_pointer; }
    explicit operator bool() const { return m_pointer != nullptr; }

    // For calls that hand out a new reference through an out-parameter.
    Interface **put()
    {
        reset();
        return &m_pointer;
    }
    void **putVoid() { return reinterpret_cast<void **>(put()); }

    void reset()
    {
        if (m_pointer)
            m_pointer->Release();
        m_pointer = nullptr;
    }

private:
    Interface *m_pointer = nullptr;
};
