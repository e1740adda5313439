// Without a notification area, a failure balloon reaches the user through the desktop's
// notification service, and a manual run's success is told there in any case. The test
// runs on a private session bus (dbus-run-session) and stands in for the service itself.

#include "EditorWindow.h"
#include "RecordingEngine.h"
#include "ui/DesktopNotifier.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QTest>

// The freedesktop.org notification service, as far as Stowkeep uses it.
class FakeNotifications : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    QStringList received;
    uint nextId = 7;

public slots:
    uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary,
                const QString& body, const QStringList&, const QVariantMap&, int timeout)
    {
        received << QStringList{app, QString::number(replaces), icon, summary, body, QString::number(timeout)}.join(u'|');
        return nextId++;
    }
};

class TestNotification : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void balloonGoesToTheNotificationService();
    void manualSuccessIsOneLineReplacedByTheNext();

private:
    std::unique_ptr<FakeNotifications> m_service;
};

void TestNotification::init()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        QSKIP("no session bus (run through dbus-run-session)");
    m_service = std::make_unique<FakeNotifications>();
    QVERIFY(bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), m_service.get(),
                               QDBusConnection::ExportAllSlots));
    QVERIFY(bus.registerService(QStringLiteral("org.freedesktop.Notifications")));
}

void TestNotification::cleanup()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
    bus.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
    m_service.reset();
}

void TestNotification::balloonGoesToTheNotificationService()
{
    FakeNotifications& service = *m_service;
    DataFolderFixture data;
    data.writeStore("[Photos]\nFrequencyOption=2\nFrequencyInterval=1\n");
    auto engine = std::make_unique<RecordingEngine>();
    engine->queueRunResults({6, 6});
    auto frm = makeMainWindow(std::move(engine));
    QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable()); // offscreen: no notification area
    setClock(*frm, QDateTime(QDate(2026, 12, 9), QTime(8, 0)));
    frm->TimerScheduleTimer();
    QVERIFY(waitUntilIdle(*frm));

    QTRY_COMPARE(service.received.size(), 1);
    QCOMPARE(service.received[0],
             QStringLiteral("Stowkeep|0|stowkeep|Stowkeep|Error backing up profile \"Photos\". Error "
                            "description: engine text for code 6|30000"));

    // The next failure replaces that notification, as a balloon replaces the one before.
    auto* notifier = frm->findChild<DesktopNotifier*>(QStringLiteral("DesktopNotifier"));
    QVERIFY(notifier);
    QTRY_COMPARE(notifier->lastId(), 7u);
    setClock(*frm, QDateTime(QDate(2026, 12, 9), QTime(9, 0)));
    frm->TimerScheduleTimer();
    QVERIFY(waitUntilIdle(*frm));
    QTRY_COMPARE(service.received.size(), 2);
    QVERIFY(service.received[1].startsWith(QStringLiteral("Stowkeep|7|")));
}

void TestNotification::manualSuccessIsOneLineReplacedByTheNext()
{
    FakeNotifications& service = *m_service;
    EditorWindow w("[Docs]\nDestinationFolder=/dst\nFrequencyOption=0\n"
                   "[Hourly]\nFrequencyOption=2\nFrequencyInterval=1\n");
    // What the catalog says once the run has ended.
    w.engine->setHistory(QStringLiteral("Docs"), QStringLiteral("/dst"),
                         {RunSummary{QDateTime::currentDateTime(), 0, 1203, 412000000, true, {}}, {}, {}});
    w.tick(QDateTime(QDate(2026, 12, 9), QTime(8, 0))); // a scheduled success says nothing
    w.clickRow(0);
    w.runProfile();
    QTRY_COMPARE(service.received.size(), 1);
    QCOMPARE(service.received[0], QStringLiteral("Stowkeep|0|stowkeep|Stowkeep|Backup of Docs finished: 1,203 "
                                                 "files, 412 MB, verified.|10000"));
    auto* notifier = w.frm->findChild<DesktopNotifier*>(QStringLiteral("SuccessNotifier"));
    QVERIFY(notifier);
    QTRY_COMPARE(notifier->lastId(), 7u);
    w.runProfile();
    QTRY_COMPARE(service.received.size(), 2);
    QVERIFY(service.received[1].startsWith(QStringLiteral("Stowkeep|7|stowkeep|Stowkeep|Backup of Docs")));
    QCOMPARE(w.engine->runJobs().size(), 3);
}

QTEST_MAIN(TestNotification)
#include "tst_notification.moc"
