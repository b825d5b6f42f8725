#pragma once

#include <QObject>

// Reports every change of the foreground window as the process that owns it,
// on the GUI thread, and logs it.
class KvForegroundNotifier : public QObject
{
    Q_OBJECT

public:
    explicit KvForegroundNotifier(QObject *parent = nullptr);

    // Starts following the foreground; says so when it cannot be.
    void watch();

    // The process of the foreground window now, KvProcessInfo::noProcessId
    // when none is known.
    static quint32 currentProcess();

signals:
    void changed(quint32 processId);
};
