#include "SingletonProbes.h"

#include "support/KvLazySingleton.h"

#include <QtTest>

// Runs the post routines of the application object, as its destruction does.
void qt_call_post_routines();

// One instance per process, even where a second module carries its own copy
// of the support library, as a plugin would.
class TestSingletons : public QObject
{
    Q_OBJECT

private slots:
    void oneInstanceAcrossModules()
    {
        QLibrary module(QStringLiteral(SECOND_MODULE_PATH));
        const auto moduleProbe =
            reinterpret_cast<void *(*)(int)>(module.resolve("secondModuleProbe"));
        QVERIFY2(moduleProbe, qPrintable(module.errorString()));
        // Probe 1 is created here and adopted there, probe 2 the other way round.
        void *own = KvLazySingleton<Probe<1>>::instance();
        QCOMPARE(static_cast<void *>(KvLazySingleton<Probe<1>>::instance()), own);
        QCOMPARE(moduleProbe(1), own);
        QCOMPARE(moduleProbe(1), own);
        void *created = moduleProbe(2);
        QCOMPARE(static_cast<void *>(KvLazySingleton<Probe<2>>::instance()), created);
    }
    void teardownDestroysLastCreatedFirstAndAdoptedOnce()
    {
        // These come after probe 1, made by the first case.
        KvLazySingleton<Probe<3>>::instance();
        KvLazySingleton<Probe<4>>::instance();
        qt_call_post_routines();
        // Probe 2 belongs to the module, whose own list tears it down once.
        QStringList order = sharedValue(QStringLiteral("teardown")).toStringList();
        QCOMPARE(order.removeAll(QStringLiteral("2")), 1);
        QCOMPARE(order, QStringList({"4", "3", "1"}));
        // No module can adopt a destroyed instance afterwards.
        for (const std::type_info *type : {&typeid(Probe<1>), &typeid(Probe<2>)})
            QCOMPARE(lazySingletonStorage().value(KvLazySingletonTypeKey(*type)).instance, nullptr);
    }
};

QTEST_GUILESS_MAIN(TestSingletons)
#include "tst_singletons.moc"
