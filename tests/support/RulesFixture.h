#pragma once

#include "platform/KvPlatformConnectivity.h"
#include "platform/KvPlatformProcessEvents.h"
#include "platform/KvPlatformWinEvents.h"
#include "platform/simulated/KvSimulatedConnectivity.h"
#include "platform/simulated/KvSimulatedJobs.h"
#include "platform/simulated/KvSimulatedMachine.h"
#include "platform/simulated/KvSimulatedProcessEvents.h"
#include "platform/simulated/KvSimulatedWinEvents.h"
#include "rules/RuleOptions.h"

#include <QCoreApplication>
#include <QIcon>
#include <QImage>
#include <QSettings>
#include <QTemporaryDir>

// The simulated machine behind the rules engine, and rules written to a
// settings store in a temporary place. The process notifier is a singleton
// that lives until the application object goes, so the simulation must
// outlive it: make one fixture for the whole test program.
class RulesFixture
{
public:
    RulesFixture()
        : jobs(machine)
    {}

    // Call once, before anything reads the settings store or the log.
    bool setUp()
    {
        if (!home.isValid())
            return false;
        qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toUtf8());
        qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toUtf8());
        QCoreApplication::setOrganizationName(QStringLiteral("Veltrom"));
        QCoreApplication::setApplicationName(QStringLiteral("Corvane"));
        machine.installAsCurrent();
        jobs.installAsCurrent();
        KvPlatformProcessEvents::install(&processEvents);
        KvPlatformWinEvents::install(&winEvents);
        KvPlatformConnectivity::install(&connectivity);
        return true;
    }

    static void clearStore()
    {
        QSettings settings;
        settings.remove(QLatin1String(RuleOptions::rulesGroup));
        settings.sync();
    }

    struct Stored
    {
        Stored(const QString &name, bool enabled, const QStringList &targets,
               const QStringList &conditions = {})
            : name(name)
            , enabled(enabled)
            , targets(targets)
            , conditions(conditions)
        {}

        QString name;
        bool enabled = true;
        QStringList targets;
        QStringList conditions;
        unsigned conditionStatus = RuleOptions::Running;
        unsigned action = RuleOptions::LimitCpu;
        unsigned cpuLimit = 30;
        unsigned delaySeconds = 0;
    };

    static void storeRule(unsigned id, const Stored &rule)
    {
        RuleOptions options(id);
        options.setValue(QLatin1String(RuleOptions::nameKey), rule.name);
        options.setEnabled(rule.enabled);
        options.setSelectedProcesses(RuleOptions::Target, rule.targets);
        options.setSelectedProcesses(RuleOptions::Condition, rule.conditions);
        options.setValue(QLatin1String(RuleOptions::conditionStatusKey), rule.conditionStatus);
        options.setValue(QLatin1String(RuleOptions::targetActionKey), rule.action);
        options.setValue(QLatin1String(RuleOptions::cpuLimitKey), rule.cpuLimit);
        options.setValue(QLatin1String(RuleOptions::applyDelayKey),
                         rule.delaySeconds ? int(Qt::Checked) : int(Qt::Unchecked));
        options.setValue(QLatin1String(RuleOptions::applyDelayValueKey), rule.delaySeconds);
    }

    static QVariant storedValue(unsigned id, const char *key)
    {
        return RuleOptions(id).value(QLatin1String(key));
    }

    // A process that runs on the machine and is announced to the notifier,
    // as the system would announce it.
    DWORD startProcess(const QString &path)
    {
        const DWORD id = machine.addProcess(path);
        processEvents.fireCreated(KvSimulatedProcessEvents::creationProperties(
            id, 0, path, path, path.section(QLatin1Char('/'), -1)));
        return id;
    }

    void endProcess(DWORD id)
    {
        machine.removeProcess(id);
        processEvents.fireDeleted(KvSimulatedProcessEvents::deletionProperties(id));
    }

    // Takes every process but the test program's own off the machine, so
    // that the next test starts from an empty process table.
    void removeOtherProcesses()
    {
        for (DWORD id : machine.processIds()) {
            if (id != machine.currentProcessId())
                machine.removeProcess(id);
        }
    }

    static QImage statusImage(const QString &name)
    {
        return QImage(QStringLiteral(":/resources/images/status/%1.png").arg(name))
            .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    }

    static QImage imageOf(const QVariant &decoration)
    {
        return decoration.value<QIcon>().pixmap(16, 16).toImage().convertToFormat(
            QImage::Format_ARGB32_Premultiplied);
    }

    QTemporaryDir home;
    KvSimulatedMachine machine;
    KvSimulatedJobs jobs;
    KvSimulatedProcessEvents processEvents;
    KvSimulatedWinEvents winEvents;
    KvSimulatedConnectivity connectivity;
};
