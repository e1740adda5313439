// The process never writes a core dump, which would hold the backup passwords.

#include "app/NoCoreDumps.h"

#include <QtTest>

#include <sys/prctl.h>
#include <sys/resource.h>

class TestNoCoreDumps : public QObject
{
    Q_OBJECT

private slots:
    void noCoreDumpAfterTheCall()
    {
        disableCoreDumps();
        struct rlimit limit {};
        QCOMPARE(::getrlimit(RLIMIT_CORE, &limit), 0);
        QCOMPARE(limit.rlim_cur, rlim_t {0});
        QCOMPARE(limit.rlim_max, rlim_t {0});
        QCOMPARE(::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 0);
    }
};

QTEST_GUILESS_MAIN(TestNoCoreDumps)
#include "tst_nocoredumps.moc"
