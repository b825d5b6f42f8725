#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QString>

// The file the log lines go to, kept to a bounded size: once it has grown
// past sizeLimit it is renamed to "<name>.1" (the older ones moving on to
// .2, .3, ..., the oldest beyond keptFiles removed) and a fresh file is
// started under the same name.
//
// Several copies of the program may append to one file. Each line is one
// write to a file opened for appending, so lines never split or mix. The
// copy that finds the file too large switches it while it holds a lock file
// beside it ("<name>.lock"), and only if the file at the name is still too
// large then, so that two copies never switch twice; a copy that finds the
// lock taken logs on without waiting. A copy whose file was
// switched away by another one notices by its size and opens the new one by
// name; every copy also reopens by name now and then, should the file have
// been deleted.
//
// Not thread-safe: the caller serialises the calls.
class KvLogFile
{
public:
    static constexpr qint64 defaultSizeLimit = 4 * 1024 * 1024;
    static constexpr int defaultKeptFiles = 4;

    explicit KvLogFile(const QString &path, qint64 sizeLimit = defaultSizeLimit,
                       int keptFiles = defaultKeptFiles);

    // Appends line, which ends with its newline; false if it was not written.
    bool append(const QByteArray &line);

    QString path() const { return filePath; }
    // The name of an older file: 1 is the newest.
    QString olderFile(int number) const;

private:
    void reopen();
    // False when the file at the name may still be too large: the lock was
    // held too long, or the rename failed.
    bool switchFiles();
    // Makes newest the first older file; the others move up one.
    void moveUp(const QString &newest);

    const QString filePath;
    QFile file;
    const qint64 sizeLimit;
    const int keptFiles;
    QElapsedTimer sinceOpened;
    // Set when a switch failed: the next try waits for the next reopening
    // instead of coming at every line.
    bool switchFailed = false;
    // Why the file at the name is not written, as last said.
    QString refused;
};
