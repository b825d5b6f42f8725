// The busy and calm bookkeeping on samples made by hand: one process on a
// machine of two CPUs, busy at 25 % of it for 2 s, calm for 2 s.

#include "rules/BusyWatch.h"

#include <QtTest>

class TestBusyWatch : public QObject
{
    Q_OBJECT

private slots:
    void holdsWhileBusyAndLetsGoOnceCalm_data()
    {
        QTest::addColumn<unsigned>("cap"); // 0: suspended
        // A sample a second: the share of the machine the process used since
        // the last, and what else came with it (f: it is in the foreground
        // now, b: it is not; t: its cap held it back; r: its id names a new
        // process; e: it ended).
        QTest::addColumn<QString>("samples");
        // After each: nothing, H(old), L(et go) or E(nded).
        QTest::addColumn<QString>("verdicts");
        QTest::newRow("exactly at the threshold") << 10u << "25 25"
                                                  << ".H";
        QTest::newRow("just under it") << 10u << "24 24 24"
                                       << "...";
        QTest::newRow("a dip for one sample") << 10u << "50 10 50 50"
                                              << "...H";
        QTest::newRow("calm under half the cap") << 10u << "50 50 4 4"
                                                 << ".H.L";
        QTest::newRow("at half the cap, not calm") << 10u << "50 50 5 5 5"
                                                   << ".H...";
        QTest::newRow("throttled but calm-looking") << 10u << "50 50 4t 4 4"
                                                    << ".H..L";
        QTest::newRow("suspended, calm by itself") << 0u << "50 50 0 0"
                                                   << ".H.L";
        QTest::newRow("foreground, never held") << 10u << "50f 50 50b 50"
                                                << "...H";
        QTest::newRow("foreground, let go at once") << 10u << "50 50 50f"
                                                    << ".HL";
        QTest::newRow("ended while watched") << 10u << "50 50e 50 50"
                                             << "....";
        QTest::newRow("id reused") << 10u << "50 50 50r 50 50"
                                   << ".HE.H";
    }
    void holdsWhileBusyAndLetsGoOnceCalm()
    {
        QFETCH(unsigned, cap);
        QFETCH(QString, samples);
        BusyWatch watch(2);
        watch.setTerms({25, 2, 2, cap});
        watch.watch(7);
        BusyWatch::Sample sample{7, 1000, 0, 0};
        QVERIFY(watch.take(0, {sample}).isEmpty());
        QString verdicts;
        for (const QString &step : samples.split(' ')) {
            char verdict = '.';
            if (step.contains('f') && watch.setForeground(7))
                verdict = 'L';
            if (step.contains('b'))
                watch.setForeground(0);
            if (step.contains('e'))
                watch.forget(7);
            sample.startTime += step.contains('r');
            sample.timesHeldBack += step.contains('t');
            sample.cpuTime += QString(step).remove(QRegularExpression("[a-z]")).toUInt() * 20000;
            for (const BusyWatch::Change &change :
                 watch.take(verdicts.size() * 1000 + 1000, {sample}))
                verdict = "HLE"[int(change.verdict)];
            verdicts += verdict;
        }
        QTEST(verdicts, "verdicts");
    }
};

QTEST_APPLESS_MAIN(TestBusyWatch)
#include "tst_busywatch.moc"
