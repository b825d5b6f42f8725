#include "platform/KvResult.h"

#include <cstring>

KvError KvError::fromErrno(int code)
{
    return KvError{code, QString::fromLocal8Bit(std::strerror(code))};
}
