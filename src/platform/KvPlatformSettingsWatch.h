#pragma once

#include <QObject>

// A watch of the settings that the system keeps for the program rather than
// a file (Windows: the registry), made by KvPlatformFiles::watchSettingsKey.
// It tells when anyone changed them, on the GUI thread, from the event loop,
// until it is destroyed.
class KvPlatformSettingsWatch : public QObject
{
    Q_OBJECT

public:
    ~KvPlatformSettingsWatch() override = default;

signals:
    void changed();

protected:
    KvPlatformSettingsWatch() = default;
};
