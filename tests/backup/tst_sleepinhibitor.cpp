// While a backup runs, the login manager holds a sleep lock and a shutdown delay lock from
// us, and gets both back when the run ends. The test runs on a private session bus
// (dbus-run-session) and stands in for systemd-logind itself.

#include "RecordingEngine.h"
#include "backup/JobRunner.h"
#include "backup/SleepInhibitor.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QSignalSpy>
#include <QTest>

#include <poll.h>
#include <unistd.h>

// org.freedesktop.login1.Manager, as far as Stowkeep uses it. Each lock is the write end of
// a pipe: the lock is given back when every copy of it is closed, which the read end sees.
class FakeLogin1 : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    QStringList calls;
    QList<int> readEnds;

    ~FakeLogin1() override
    {
        for (int fd : readEnds)
            ::close(fd);
    }

    // Whether the lock handed out as number i has been given back.
    bool released(int i) const
    {
        pollfd p{readEnds[i], POLLIN, 0};
        char byte;
        return ::poll(&p, 1, 0) == 1 && ::read(readEnds[i], &byte, 1) == 0;
    }

public slots:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                    const QString& mode)
    {
        calls << QStringList{what, who, why, mode}.join(u'|');
        int fds[2];
        if (::pipe(fds) != 0)
            return {};
        readEnds << fds[0];
        QDBusUnixFileDescriptor lock(fds[1]); // keeps a copy of its own
        ::close(fds[1]);
        return lock;
    }
};

class TestSleepInhibitor : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void locksAreHeldWhileWantedAndGivenBack();
    void aShutdownThatBeginsIsAnnounced();
    void locksAreHeldWhileJobsRun();

private:
    std::unique_ptr<FakeLogin1> m_login;
};

void TestSleepInhibitor::init()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        QSKIP("no session bus (run through dbus-run-session)");
    m_login = std::make_unique<FakeLogin1>();
    QVERIFY(bus.registerObject(QStringLiteral("/org/freedesktop/login1"), m_login.get(),
                               QDBusConnection::ExportAllSlots));
    QVERIFY(bus.registerService(QStringLiteral("org.freedesktop.login1")));
}

void TestSleepInhibitor::cleanup()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.unregisterService(QStringLiteral("org.freedesktop.login1"));
    bus.unregisterObject(QStringLiteral("/org/freedesktop/login1"));
    m_login.reset();
}

void TestSleepInhibitor::locksAreHeldWhileWantedAndGivenBack()
{
    SleepInhibitor inhibitor(QDBusConnection::sessionBus());
    inhibitor.acquire(QStringLiteral("Backing up Documents"));
    inhibitor.acquire(QStringLiteral("Backing up Documents")); // held already: no second pair
    QTRY_COMPARE(m_login->calls.size(), 2);
    QCOMPARE(m_login->calls, (QStringList{"sleep|Stowkeep|Backing up Documents|block",
                                          "shutdown|Stowkeep|Backing up Documents|delay"}));
    QTRY_VERIFY(inhibitor.held());
    QVERIFY(!m_login->released(0));
    QVERIFY(!m_login->released(1));

    inhibitor.release();
    QTRY_VERIFY(m_login->released(0));
    QTRY_VERIFY(m_login->released(1));

    // Released before the answers came: the locks are given back as they arrive.
    inhibitor.acquire(QStringLiteral("Restoring"));
    inhibitor.release();
    QTRY_COMPARE(m_login->readEnds.size(), 4);
    QTRY_VERIFY(m_login->released(2));
    QTRY_VERIFY(m_login->released(3));
}

void TestSleepInhibitor::aShutdownThatBeginsIsAnnounced()
{
    SleepInhibitor inhibitor(QDBusConnection::sessionBus());
    QSignalSpy shutdown(&inhibitor, &SleepInhibitor::shutdownRequested);
    // A second inhibitor that always wants its locks tells when an announcement has arrived.
    SleepInhibitor probe(QDBusConnection::sessionBus());
    QSignalSpy arrived(&probe, &SleepInhibitor::shutdownRequested);
    probe.acquire(QStringLiteral("probe"));
    const auto announce = [](bool starting) {
        QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/login1"),
                                                         QStringLiteral("org.freedesktop.login1.Manager"),
                                                         QStringLiteral("PrepareForShutdown"));
        signal << starting;
        QDBusConnection::sessionBus().send(signal);
    };

    announce(true); // nothing runs: nothing to cancel
    QTRY_COMPARE(arrived.size(), 1);
    QCOMPARE(shutdown.size(), 0);

    inhibitor.acquire(QStringLiteral("Backing up Documents"));
    announce(false); // a shutdown called off
    announce(true);
    QTRY_COMPARE(arrived.size(), 2);
    QCOMPARE(shutdown.size(), 1);
}

void TestSleepInhibitor::locksAreHeldWhileJobsRun()
{
    RecordingEngine engine;
    JobRunner runner(engine);
    SleepInhibitor inhibitor(QDBusConnection::sessionBus());
    holdWhileJobsRun(inhibitor, runner);
    auto job = engine.createBackupJob();
    bool heldDuringRuns = true;
    engine.setDuringRun([&](IBackupJob&) {
        QTRY_VERIFY(inhibitor.held());
        heldDuringRuns = heldDuringRuns && !m_login->released(0) && !m_login->released(1);
    });
    // Two runs in a row keep the same locks, given back once nothing runs any more.
    runner.submitBackup(QStringLiteral("Documents"), *job, {});
    runner.submitBackup(QStringLiteral("Photos"), *job, {});
    QTRY_VERIFY(!runner.busy());
    QVERIFY(heldDuringRuns);
    QCOMPARE(m_login->calls, (QStringList{"sleep|Stowkeep|Backing up Documents|block",
                                          "shutdown|Stowkeep|Backing up Documents|delay"}));
    QTRY_VERIFY(m_login->released(0));
    QTRY_VERIFY(m_login->released(1));
}

QTEST_GUILESS_MAIN(TestSleepInhibitor)
#include "tst_sleepinhibitor.moc"
