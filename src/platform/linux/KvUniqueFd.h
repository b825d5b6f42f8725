#pragma once

#include <unistd.h>

#include <utility>

// A file descriptor that is closed with its holder; moved, never copied.
class KvUniqueFd
{
public:
    KvUniqueFd() = default;
    explicit KvUniqueFd(int fd)
        : fd(fd)
    {}
    KvUniqueFd(KvUniqueFd &&other) noexcept
        : fd(std::exchange(other.fd, -1))
    {}
    KvUniqueFd &operator=(KvUniqueFd &&other) noexcept
    {
        reset(std::exchange(other.fd, -1));
        return *this;
    }
    KvUniqueFd(const KvUniqueFd &) = delete;
    KvUniqueFd &operator=(const KvUniqueFd &) = delete;
    ~KvUniqueFd() { reset(); }

    int get() const { return fd; }
    bool isValid() const { return fd >= 0; }
    // Hands the descriptor over: it is no longer closed here.
    int release() { return std::exchange(fd, -1); }
    void reset(int replacement = -1)
    {
        if (fd >= 0)
            ::close(fd);
        fd = replacement;
    }

private:
    int fd = -1;
};
