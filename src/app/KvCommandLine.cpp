#include "app/KvCommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>

namespace {

// The usage error status of command-line tools.
const int usageError = 2;

const char liftOption[] = "--lift-leftovers";

} // namespace

KvCommandLine::KvCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Restrains other programs' processor use by the rules you write.\n"
                       "Qt's options, such as -platform, -display and -style, apply too."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays this help and exits."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Displays the version and exits."));
    const QCommandLineOption lift(
        QString::fromLatin1(liftOption + 2),
        QStringLiteral("Lifts what runs of the program that ended without lifting it left in "
                       "force, and exits. A run's lifeline does this when the run is killed."));
    parser.addOptions({help, version, lift});

    QString refusal;
    if (!parser.parse(arguments))
        refusal = parser.errorText();
    else if (!parser.positionalArguments().isEmpty())
        refusal =
            QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().first());

    if (!refusal.isEmpty()) {
        const QString program = QFileInfo(arguments.value(0)).fileName();
        m_answer = program + QStringLiteral(": ") + refusal + QLatin1Char('\n') + parser.helpText();
        m_exitStatus = usageError;
    } else if (parser.isSet(help)) {
        m_answer = parser.helpText();
        m_exitStatus = 0;
    } else if (parser.isSet(version)) {
        m_answer = QCoreApplication::applicationName() + QLatin1Char(' ') +
                   QCoreApplication::applicationVersion() + QLatin1Char('\n');
        m_exitStatus = 0;
    } else {
        m_liftsLeftovers = parser.isSet(lift);
    }
}

bool KvCommandLine::asksToLiftLeftovers(int argc, char **argv)
{
    return std::any_of(argv + 1, argv + argc,
                       [](const char *argument) { return qstrcmp(argument, liftOption) == 0; });
}

int KvCommandLine::answer() const
{
    std::fputs(m_answer.toLocal8Bit().constData(), m_exitStatus == 0 ? stdout : stderr);
    return m_exitStatus;
}
