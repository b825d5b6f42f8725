#include "rules/KvSettings.h"

#include "rules/KvSettingsFile.h"
#include "support/KvLog.h"


namespace {

// A stored count above this is checked against the elements that really
// exist, so that a corrupted count cannot make a reader walk billions of
// missing entries.
constexpr int plausibleArraySize = 256;

} // namespace

#ifdef Q_OS_WIN
// The registry has no file to take in: the store is opened as Qt does.
KvSettings::KvSettings() = default;
#else
KvSettings::KvSettings()
    : QSettings(KvSettingsFile::instance().workingCopy(), QSettings::IniFormat)
{}
#endif

KvSettings::~KvSettings() = default;

QVariant KvSettings::value(const QString &key) const
{
    return QSettings::value(key);
}

void KvSettings::publish()
{
    KvSettingsFile::instance().publish(*this);
}

int KvSettings::arraySize(const QString &key)
{
    const int size = QSettings::value(key + QStringLiteral("/size")).toInt();
    if (size <= 0)
        return 0;
    if (size <= plausibleArraySize)
        return size;

    beginGroup(key);
    int highestStored = 0;
    const QStringList elements = childGroups();
    for (const QString &element : elements)
        highestStored = qMax(highestStored, element.toInt());
    endGroup();
    if (highestStored < size) {
        kvCritical(lcCorvane) << "settings list \"" << group() << "/" << key << "\" claims " << size
                              << " elements but stores " << highestStored << "; reading only those";
    }
    return qMin(size, highestStored);
}

QStringList KvSettings::readStringArray(const QString &key)
{
    const int size = arraySize(key);
    QStringList values;
    values.reserve(size);
    beginReadArray(key);
    for (int index = 0; index < size; ++index) {
        setArrayIndex(index);
        values.append(QSettings::value(QStringLiteral("value")).toString());
    }
    endArray();
    return values;
}

void KvSettings::writeStringArray(const QString &key, const QStringList &values)
{
    beginWriteArray(key, values.size());
    for (int index = 0; index < values.size(); ++index) {
        setArrayIndex(index);
        setValue(QStringLiteral("value"), values.at(index));
    }
    endArray();
}

bool KvSettings::toFlag(const QVariant &value)
{
    if (value.type() == QVariant::Bool)
        return value.toBool();
    bool numeric = false;
    const qlonglong number = value.toLongLong(&numeric);
    if (numeric)
        return number != 0;
    return value.toString().compare(QLatin1String("true"), Qt::CaseInsensitive) == 0;
}

unsigned KvSettings::toUnsigned(const QVariant &value)
{
    // Through a wide signed type, so that a hand-written -1 stays an
    // out-of-range value instead of collapsing to 0.
    bool numeric = false;
    const qlonglong number = value.toLongLong(&numeric);
    return numeric ? static_cast<unsigned>(number) : 0u;
}
