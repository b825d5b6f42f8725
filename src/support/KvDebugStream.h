#pragma once

#include <QFile>
#include <QTextStream>

// A text stream over a file it owns. The device is detached before the file
// goes, which closes the file.
class KvDebugStream : public QTextStream
{
public:
    explicit KvDebugStream(const QString &path);
    virtual ~KvDebugStream();

    // Opens the file for appending text; false if it cannot be opened.
    bool open();

private:
    QFile file;
};
