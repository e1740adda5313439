#include "SleepInhibitor.h"

#include "JobRunner.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace {

const QString Service = QStringLiteral("org.freedesktop.login1");
const QString Path = QStringLiteral("/org/freedesktop/login1");
const QString Manager = QStringLiteral("org.freedesktop.login1.Manager");

} // namespace

SleepInhibitor::SleepInhibitor(QDBusConnection bus, QObject* parent) : QObject(parent), m_bus(std::move(bus))
{
    if (m_bus.isConnected())
        m_bus.connect(Service, Path, Manager, QStringLiteral("PrepareForShutdown"), this,
                      SLOT(onPrepareForShutdown(bool)));
}

SleepInhibitor::~SleepInhibitor() = default;

void SleepInhibitor::acquire(const QString& why)
{
    if (m_wanted)
        return;
    m_wanted = true;
    if (!m_bus.isConnected())
        return;
    inhibit(QStringLiteral("sleep"), why, QStringLiteral("block"));
    inhibit(QStringLiteral("shutdown"), why, QStringLiteral("delay"));
}

void SleepInhibitor::release()
{
    m_wanted = false;
    ++m_generation;
    m_locks.clear();
}

void SleepInhibitor::inhibit(const QString& what, const QString& why, const QString& mode)
{
    QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Manager, QStringLiteral("Inhibit"));
    call << what << QStringLiteral("Stowkeep") << why << mode;
    // Asynchronous: a login manager that is slow to answer never holds up a backup.
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    const quint64 generation = m_generation;
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, generation](QDBusPendingCallWatcher* done) { takeLock(done, generation); });
}

void SleepInhibitor::takeLock(QDBusPendingCallWatcher* watcher, quint64 generation)
{
    const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *watcher;
    watcher->deleteLater();
    // An error (no login manager, a refusal) leaves the run as it would be without one.
    if (reply.isError() || generation != m_generation)
        return;
    m_locks << reply.value();
}

void SleepInhibitor::onPrepareForShutdown(bool starting)
{
    if (starting && m_wanted)
        emit shutdownRequested();
}

void holdWhileJobsRun(SleepInhibitor& inhibitor, JobRunner& runner)
{
    QObject::connect(&runner, &JobRunner::jobStarted, &inhibitor, [&inhibitor, &runner] {
        const bool restore = runner.runningKind() == JobRunner::Kind::Restore;
        inhibitor.acquire((restore ? u"Restoring " : u"Backing up ") + runner.runningProfile());
    });
    QObject::connect(&runner, &JobRunner::idle, &inhibitor, &SleepInhibitor::release);
}
