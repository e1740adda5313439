// Without a notification area, a failure balloon reaches the user through the desktop's
// notification service. The test runs on a private session bus (dbus-run-session) and
// stands in for the service itself.

#include "MainWindowFixture.h"
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
    void balloonGoesToTheNotificationService();
};

void TestNotification::balloonGoesToTheNotificationService()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        QSKIP("no session bus (run through dbus-run-session)");
    FakeNotifications service;
    QVERIFY(bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &service,
                               QDBusConnection::ExportAllSlots));
    QVERIFY(bus.registerService(QStringLiteral("org.freedesktop.Notifications")));

    DataFolderFixture data;
    data.writeStore("[Photos]\nFrequencyOption=2\nFrequencyInterval=1\n");
    auto engine = std::make_unique<RecordingEngine>();
    engine->queueRunResults({6, 6});
    auto frm = makeMainWindow(std::move(engine));
    QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable()); // offscreen: no notification area
    setClock(*frm, QDateTime(QDate(2026, 12, 9), QTime(8, 0)));
    frm->TimerScheduleTimer();

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
    QTRY_COMPARE(service.received.size(), 2);
    QVERIFY(service.received[1].startsWith(QStringLiteral("Stowkeep|7|")));
}

QTEST_MAIN(TestNotification)
#include "tst_notification.moc"
