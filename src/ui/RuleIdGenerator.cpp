#include "ui/RuleIdGenerator.h"

#include "rules/KvSettings.h"
#include "rules/RuleStore.h"

#include <QSet>
#include <QUuid>

namespace {

QSet<unsigned> storedIds()
{
    KvSettings settings;
    settings.beginGroup(QLatin1String(RuleStore::rulesGroup));
    QSet<unsigned> ids;
    const QStringList groups = settings.childGroups();
    for (const QString &group : groups)
        ids.insert(RuleStore::idOf(group));
    return ids;
}

} // namespace

unsigned RuleIdGenerator::randomId()
{
    const QUuid uuid = QUuid::createUuid();
    return unsigned(uuid.data4[0]) | unsigned(uuid.data4[1]) << 8 | unsigned(uuid.data4[2]) << 16 |
           unsigned(uuid.data4[3]) << 24;
}

unsigned RuleIdGenerator::newId(const Source &source)
{
    const QSet<unsigned> taken = storedIds();
    for (;;) {
        const unsigned id = source();
        if (id != 0 && !taken.contains(id))
            return id;
    }
}
