#include "tst_RuleIdGenerator.h"

#include "ui/RuleIdGenerator.h"

#include <QSet>
#include <QTest>

void TestRuleIdGenerator::initTestCase()
{
    QVERIFY(store.isValid());
    TemporaryStore::clear();
}

void TestRuleIdGenerator::randomIdIsTheUuidTailReadLittleEndian()
{
    // Byte 8 of a random UUID carries the variant (binary 10 in its top
    // bits); read little-endian it is the id's lowest byte. Byte 6 would
    // carry the version instead, and a big-endian read would put the
    // variant at the top.
    QSet<unsigned> seen;
    for (int draw = 0; draw < 64; ++draw) {
        const unsigned id = RuleIdGenerator::randomId();
        QCOMPARE(id & 0xC0u, 0x80u);
        seen.insert(id);
    }
    QVERIFY(seen.size() > 1);
}

void TestRuleIdGenerator::newIdSkipsZeroAndStoredIds()
{
    {
        QSettings settings;
        settings.setValue(QStringLiteral("rules/{beef}/name"), QStringLiteral("one"));
        settings.setValue(QStringLiteral("rules/{2a}/name"), QStringLiteral("two"));
    }
    QList<unsigned> draws{0u, 0xbeefu, 0x2au, 0u, 0x2bu, 0x99u};
    int drawn = 0;
    const unsigned id = RuleIdGenerator::newId([&] { return draws.at(drawn++); });
    QCOMPARE(id, 0x2bu);
    QCOMPARE(drawn, 5);

    // A fresh id is taken as drawn.
    drawn = 0;
    draws = {0x1234u};
    QCOMPARE(RuleIdGenerator::newId([&] { return draws.at(drawn++); }), 0x1234u);
}
