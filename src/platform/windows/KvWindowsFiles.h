#pragma once

#include "platform/KvPlatformFiles.h"

class KvWindowsFiles : public KvPlatformFiles
{
public:
    KvStatus replace(const QString &from, const QString &to) override;
    KvFileContent readRegular(const QString &path, qint64 limit) override;
    KvStatus writeRegular(const QString &path, const QByteArray &bytes) override;
    KvResult<std::unique_ptr<KvPlatformSettingsWatch>>
    watchSettingsKey(const QString &organization, const QString &application) override;
};
