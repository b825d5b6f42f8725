#include "process/KvRestrictionJournal.h"

#include "platform/KvPlatformFiles.h"
#include "platform/KvPlatformProcesses.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

#include <cerrno>

namespace {

const QByteArray header = "Corvane restriction journal 1";

QByteArray kindName(KvRestrictionJournal::Kind kind)
{
    return kind == KvRestrictionJournal::Kind::Cap ? "cap" : "suspend";
}

} // namespace

QString KvRestrictionJournal::defaultDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
}

QString KvRestrictionJournal::pathOfThisRun(const QString &directory)
{
    return QDir(directory).filePath(fileName(KvPlatformProcesses::current().runId()));
}

QString KvRestrictionJournal::fileName(const QString &runId)
{
    return QStringLiteral("restrictions-%1.journal").arg(runId);
}

QStringList KvRestrictionJournal::filesIn(const QString &directory)
{
    return QDir(directory).entryList({QStringLiteral("restrictions.journal"),
                                      QStringLiteral("restrictions-*.journal"),
                                      QStringLiteral("restrictions-*.journal.new")},
                                     QDir::Files, QDir::Name);
}

bool KvRestrictionJournal::runOf(const QString &fileName, QString &runId)
{
    static const QRegularExpression pattern(
        QStringLiteral("^restrictions-([\\w-]+)\\.journal(\\.new)?$"));
    const QRegularExpressionMatch match = pattern.match(fileName);
    runId = match.captured(1);
    return match.hasMatch();
}

KvRestrictionJournal::KvRestrictionJournal(const QString &path)
    : filePath(path)
{}

bool KvRestrictionJournal::read(QList<Entry> &entries, QString &problem) const
{
    entries.clear();
    problem.clear();
    QFile file(filePath);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        problem = file.errorString();
        return false;
    }
    // A journal is small; anything large is not one of ours.
    const QByteArray content = file.read(1 << 20);
    const QList<QByteArray> lines = content.split('\n');
    if (lines.isEmpty() || lines.first().trimmed() != header) {
        problem = QStringLiteral("it is not a restriction journal");
        return false;
    }
    QStringList badLines;
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        if (line.isEmpty())
            continue;
        const QList<QByteArray> fields = line.split(' ');
        bool idOk = false;
        bool timeOk = false;
        Entry entry;
        if (fields.size() == 3) {
            entry.processId = fields.at(1).toUInt(&idOk);
            entry.creationTime = fields.at(2).toULongLong(&timeOk);
        }
        const bool kindOk = fields.value(0) == "cap" || fields.value(0) == "suspend";
        if (!idOk || !timeOk || !kindOk) {
            badLines.append(QString::number(i + 1));
            continue;
        }
        entry.kind = fields.at(0) == "cap" ? Kind::Cap : Kind::Suspension;
        entries.append(entry);
    }
    if (!badLines.isEmpty())
        problem =
            QStringLiteral("unreadable line(s) %1 left out").arg(badLines.join(QLatin1Char(',')));
    return true;
}

KvStatus KvRestrictionJournal::add(const QList<Entry> &entries)
{
    held += entries;
    const KvStatus written = write();
    if (!written)
        held.erase(held.end() - entries.size(), held.end());
    return written;
}

KvStatus KvRestrictionJournal::remove(const QList<Entry> &entries)
{
    for (const Entry &entry : entries)
        held.removeOne(entry);
    return write();
}

KvStatus KvRestrictionJournal::write()
{
    if (held.isEmpty()) {
        // Nothing in force: no file, and nothing to clean up after a crash.
        if (QFile::exists(filePath) && !QFile::remove(filePath))
            return KvError{EIO, QStringLiteral("it cannot be removed")};
        return {};
    }
    QDir().mkpath(QFileInfo(filePath).absolutePath());
    QByteArray content = header + '\n';
    for (const Entry &entry : qAsConst(held)) {
        content += kindName(entry.kind) + ' ' + QByteArray::number(entry.processId) + ' ' +
                   QByteArray::number(entry.creationTime) + '\n';
    }
    // Written whole beside the journal, then renamed over it: a run killed
    // at any point leaves the old journal or the new one. Nothing is flushed
    // to the disk: what a killed program wrote is safe in the kernel, and a
    // power loss ends every restriction anyway. Whatever else has the name
    // of the file beside it (a pipe that would block the open) goes, and
    // the open is tried once more: the name is this run's alone.
    const QString temporary = filePath + QStringLiteral(".new");
    QFile file(temporary);
    errno = 0;
    bool opened = file.open(QIODevice::WriteOnly | QIODevice::NewOnly);
    if (!opened && QFile::remove(temporary))
        opened = file.open(QIODevice::WriteOnly | QIODevice::NewOnly);
    if (!opened || file.write(content) != content.size() || !file.flush()) {
        const KvError error{errno ? errno : EIO, file.errorString()};
        file.close();
        QFile::remove(temporary);
        return error;
    }
    file.close();
    return KvPlatformFiles::current().replace(temporary, filePath);
}
