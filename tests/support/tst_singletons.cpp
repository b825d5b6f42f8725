#include "SingletonProbes.h"

#include "platform/KvPlatformValueTable.h"
#include "support/KvLazySingleton.h"
#include "support/KvSharedValues.h"

#include <QLibrary>
#include <QtTest>

// Runs the post routines of the application object, as its destruction does.
void qt_call_post_routines();

namespace {

// A value-table home that records what is asked of it.
class RecordingValueTable : public KvPlatformValueTable
{
public:
    bool getClassInfo(const QString &className, void *&address) override
    {
        ++lookups;
        if (!classes.contains(className))
            return false;
        address = classes.value(className);
        return true;
    }
    bool registerClass(const QString &className, void *address) override
    {
        registered.append(className);
        if (classes.contains(className))
            return false;
        classes.insert(className, address);
        return true;
    }

    QHash<QString, void *> classes;
    QStringList registered;
    int lookups = 0;
};

struct TeardownFirst
{
    ~TeardownFirst() { recordTeardown(QStringLiteral("TeardownFirst")); }
};

struct TeardownSecond
{
    ~TeardownSecond() { recordTeardown(QStringLiteral("TeardownSecond")); }
};

int useCountOf(const std::type_info &type)
{
    return lazySingletonStorage().value(KvLazySingletonTypeKey(type)).useCount;
}

void *registeredInstanceOf(const std::type_info &type)
{
    return lazySingletonStorage().value(KvLazySingletonTypeKey(type)).instance;
}

} // namespace

class TestSingletons : public QObject
{
    Q_OBJECT

private slots:
    void locateCreatesAndPublishesTableInEmptyProcess();
    void locateAdoptsExistingTableAndRegistersNothing();
    void secondInstanceCallReturnsSameObjectWithoutTouchingRegistry();
    void secondModuleAdoptsExecutableInstance();
    void executableAdoptsSecondModuleInstance();
    void teardownDestroysLastCreatedFirstAndAdoptedOnce();

private:
    QLibrary m_secondModule{QStringLiteral(SECOND_MODULE_PATH)};

    template<class F> F resolve(const char *symbol)
    {
        if (!m_secondModule.isLoaded() && !m_secondModule.load())
            return nullptr;
        return reinterpret_cast<F>(m_secondModule.resolve(symbol));
    }
};

void TestSingletons::locateCreatesAndPublishesTableInEmptyProcess()
{
    RecordingValueTable home;
    KvSharedValueTable *table = locateSharedValueTable(home);

    QVERIFY(table);
    QVERIFY(table->isEmpty());
    QCOMPARE(home.registered, QStringList{sharedValueTableClassName()});
    QCOMPARE(home.classes.value(sharedValueTableClassName()), static_cast<void *>(table));

    // A later module of the same process finds it.
    QCOMPARE(locateSharedValueTable(home), table);
    QCOMPARE(home.registered.size(), 1);
}

void TestSingletons::locateAdoptsExistingTableAndRegistersNothing()
{
    RecordingValueTable home;
    KvSharedValueTable existing;
    existing.insert(QStringLiteral("already"), 1);
    home.classes.insert(sharedValueTableClassName(), &existing);

    QCOMPARE(locateSharedValueTable(home), &existing);
    QVERIFY(home.registered.isEmpty());

    // A home that refuses the registration still yields a working table.
    RecordingValueTable refusing;
    refusing.classes.insert(QStringLiteral("unrelated"), nullptr);
    KvSharedValueTable *privateTable = locateSharedValueTable(refusing);
    QVERIFY(privateTable);
    privateTable->insert(QStringLiteral("x"), 2);
    QCOMPARE(privateTable->value(QStringLiteral("x")).toInt(), 2);
}

void TestSingletons::secondInstanceCallReturnsSameObjectWithoutTouchingRegistry()
{
    const int cleanupsBefore = KvLazySingletonCleanup::pendingCount();

    ExecutableProbe *first = KvLazySingleton<ExecutableProbe>::instance();
    QVERIFY(first);
    QCOMPARE(useCountOf(typeid(ExecutableProbe)), 1);
    QCOMPARE(registeredInstanceOf(typeid(ExecutableProbe)), static_cast<void *>(first));

    ExecutableProbe *second = KvLazySingleton<ExecutableProbe>::instance();
    QCOMPARE(second, first);
    QCOMPARE(useCountOf(typeid(ExecutableProbe)), 1);
    QCOMPARE(KvLazySingletonCleanup::pendingCount(), cleanupsBefore + 1);
    QCOMPARE(sharedValue(QStringLiteral("ExecutableProbe.constructed")).toInt(), 1);
}

void TestSingletons::secondModuleAdoptsExecutableInstance()
{
    ExecutableProbe *own = KvLazySingleton<ExecutableProbe>::instance();

    auto moduleValueTable = resolve<void *(*)()>("secondModuleValueTable");
    auto moduleStorage = resolve<void *(*)()>("secondModuleStorage");
    auto moduleProbe = resolve<void *(*)()>("secondModuleExecutableProbe");
    auto modulePendingCleanups = resolve<int (*)()>("secondModulePendingCleanups");
    QVERIFY2(moduleValueTable && moduleStorage && moduleProbe && modulePendingCleanups,
             qPrintable(m_secondModule.errorString()));

    QCOMPARE(moduleValueTable(), static_cast<void *>(&sharedValues()));
    QCOMPARE(moduleStorage(), static_cast<void *>(&lazySingletonStorage()));

    QCOMPARE(moduleProbe(), static_cast<void *>(own));
    QCOMPARE(useCountOf(typeid(ExecutableProbe)), 2);
    QCOMPARE(modulePendingCleanups(), 0);
    QCOMPARE(sharedValue(QStringLiteral("ExecutableProbe.constructed")).toInt(), 1);

    // The module keeps what it adopted without asking the registry again.
    QCOMPARE(moduleProbe(), static_cast<void *>(own));
    QCOMPARE(useCountOf(typeid(ExecutableProbe)), 2);
}

void TestSingletons::executableAdoptsSecondModuleInstance()
{
    auto moduleProbe = resolve<void *(*)()>("secondModuleModuleProbe");
    auto modulePendingCleanups = resolve<int (*)()>("secondModulePendingCleanups");
    QVERIFY2(moduleProbe && modulePendingCleanups, qPrintable(m_secondModule.errorString()));

    void *created = moduleProbe();
    QCOMPARE(modulePendingCleanups(), 1);
    const int cleanupsBefore = KvLazySingletonCleanup::pendingCount();

    QCOMPARE(static_cast<void *>(KvLazySingleton<ModuleProbe>::instance()), created);
    QCOMPARE(useCountOf(typeid(ModuleProbe)), 2);
    QCOMPARE(KvLazySingletonCleanup::pendingCount(), cleanupsBefore);
    QCOMPARE(sharedValue(QStringLiteral("ModuleProbe.constructed")).toInt(), 1);
}

void TestSingletons::teardownDestroysLastCreatedFirstAndAdoptedOnce()
{
    // ExecutableProbe exists since the earlier cases; these two come after it.
    QVERIFY(KvLazySingleton<ExecutableProbe>::instance());
    QVERIFY(KvLazySingleton<TeardownFirst>::instance());
    QVERIFY(KvLazySingleton<TeardownSecond>::instance());
    QVERIFY(KvLazySingleton<ModuleProbe>::instance());
    setSharedValue(QStringLiteral("teardown.order"), QStringList());

    qt_call_post_routines();

    QStringList order = sharedValue(QStringLiteral("teardown.order")).toStringList();
    QCOMPARE(order.count(QStringLiteral("ModuleProbe")), 1);
    order.removeAll(QStringLiteral("ModuleProbe"));
    QCOMPARE(order, (QStringList{QStringLiteral("TeardownSecond"), QStringLiteral("TeardownFirst"),
                                 QStringLiteral("ExecutableProbe")}));
    QCOMPARE(sharedValue(QStringLiteral("ExecutableProbe.destroyed")).toInt(), 1);
    QCOMPARE(sharedValue(QStringLiteral("ModuleProbe.destroyed")).toInt(), 1);
    QCOMPARE(KvLazySingletonCleanup::pendingCount(), 0);

    // No module can adopt a destroyed instance afterwards.
    QCOMPARE(registeredInstanceOf(typeid(ExecutableProbe)), nullptr);
    QCOMPARE(registeredInstanceOf(typeid(ModuleProbe)), nullptr);
}

QTEST_GUILESS_MAIN(TestSingletons)
#include "tst_singletons.moc"
