#pragma once

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QList>
#include <QObject>
#include <QString>

class JobRunner;
class QDBusPendingCallWatcher;

// Keeps the computer from sleeping in the middle of a backup or restore: while held, the
// login manager (systemd-logind, over D-Bus) has a "block" lock on sleep and a "delay" lock
// on shutdown from us. A shutdown that begins meanwhile is announced by shutdownRequested,
// so the run can be cancelled cleanly before the delay lock goes. Without a login manager
// nothing happens and runs go on as before.
class SleepInhibitor : public QObject
{
    Q_OBJECT

public:
    explicit SleepInhibitor(QDBusConnection bus = QDBusConnection::systemBus(), QObject* parent = nullptr);
    ~SleepInhibitor() override;

    // Asks for both locks; nothing when they are held or asked for already. Never waits.
    void acquire(const QString& why);
    // Gives both locks back (also one whose answer has not come yet).
    void release();
    // Both locks are in our hands (false without a login manager).
    bool held() const { return m_locks.size() == 2; }

signals:
    void shutdownRequested();

private slots:
    // Slot by name: QtDBus connects signals of the bus only that way.
    void onPrepareForShutdown(bool starting);

private:
    void inhibit(const QString& what, const QString& why, const QString& mode);
    void takeLock(QDBusPendingCallWatcher* watcher, quint64 generation);

    QDBusConnection m_bus;
    QList<QDBusUnixFileDescriptor> m_locks; // a lock lasts as long as its descriptor is open
    bool m_wanted = false;
    quint64 m_generation = 0; // answers to an acquire that was released since are dropped
};

// Holds the inhibitor's locks from the start of a job until nothing runs or waits any more.
void holdWhileJobsRun(SleepInhibitor& inhibitor, JobRunner& runner);
