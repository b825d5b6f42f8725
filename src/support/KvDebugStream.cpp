#include "support/KvDebugStream.h"

KvDebugStream::KvDebugStream(const QString &path)
    : file(path)
{}

KvDebugStream::~KvDebugStream()
{
    flush();
    setDevice(nullptr);
}

bool KvDebugStream::open()
{
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        return false;
    setDevice(&file);
    return true;
}
