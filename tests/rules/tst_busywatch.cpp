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
        QTest::addColumn<unsigned>("cap"); // 0: suspended (the rows so named)
        // A sample a second: the share of the machine the process used since
        // the last, and what else came with it (f: it is in the foreground
        // now, b: it is not; t: its cap held it back; r: its id names a new
        // process; e: it ended).
        QTest::addColumn<QString>("samples");
        // After each: nothing, H(old), L(et go) or E(nded).
        QTest::addColumn<QString>("verdicts");
        const char *const rows[][3] = {{"exactly at the threshold", "25 25", ".H"},
                                       {"just under it", "24 24 24", "..."},
                                       {"a dip for one sample", "50 10 50 50", "...H"},
                                       {"calm under half the cap", "50 50 4 4", ".H.L"},
                                       {"at half the cap, not calm", "50 50 5 5 5", ".H..."},
                                       {"throttled but calm-looking", "50 50 4t 4 4", ".H..L"},
                                       {"suspended, calm by itself", "50 50 0 0", ".H.L"},
                                       {"foreground, never held", "50f 50 50b 50", "...H"},
                                       {"foreground, let go at once", "50 50 50f", ".HL"},
                                       {"ended while watched", "50 50e 50 50", "...."},
                                       {"id reused", "50 50 50r 50 50", ".HE.H"}};
        for (const auto &row : rows)
            QTest::newRow(row[0]) << (qstrncmp(row[0], "suspended", 9) ? 10u : 0u)
                                  << QString(row[1]) << QString(row[2]);
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
