#include "SingleInstance.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSysInfo>

#include <unistd.h>

namespace {

const QByteArray ShowRequest = "show\n";
const QByteArray ShownReply = "shown\n";
// Generous: the running instance answers from its event loop, which may be busy a moment.
constexpr int AnswerTimeoutMs = 5000;
// Longer than an ending instance waits for its cancelled job (TFrmMain's quit grace).
constexpr int EndingWaitMs = 20000;

} // namespace

SingleInstance::SingleInstance(const QString& dataFolder, QObject* parent)
    : QObject(parent), m_lock(dataFolder + u"/stowkeep.lock")
{
    // The socket name follows the data folder, so instances with different data never meet.
    const QByteArray hash = QCryptographicHash::hash(dataFolder.toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
    m_serverName = u"stowkeep-" + QString::number(::getuid()) + u'-' + QString::fromLatin1(hash);
    m_lock.setStaleLockTime(0);
}

SingleInstance::~SingleInstance() = default;

SingleInstance::Start SingleInstance::acquire()
{
    if (m_lock.tryLock(0)) {
        listen();
        return Start::First;
    }
    // Without a usable data folder there is nothing to guard; run on.
    if (m_lock.error() != QLockFile::LockFailedError)
        return Start::First;
    if (askRunningInstanceToShow())
        return Start::HandedOver;

    // QLockFile takes over the lock of a dead process of this computer by itself. A lock it
    // cannot judge (another computer's, or one it cannot read) is taken over here. Such a
    // lock nearly always came along with a home folder copied or restored from another
    // computer, and refusing it would stop every backup for good; two computers using one
    // data folder at the same time (two sessions on a network home) is not a setup the
    // program supports, and the store's atomic writes keep the profiles whole even then.
    qint64 pid = 0;
    QString host;
    QString application;
    const bool readable = m_lock.getLockInfo(&pid, &host, &application);
    const bool thisComputer = readable && (host.isEmpty() || host == QSysInfo::machineHostName());
    if (thisComputer) {
        // An instance that is ending stops answering and lets go of the lock within its
        // grace time.
        if (m_lock.tryLock(EndingWaitMs)) {
            listen();
            return Start::First;
        }
        m_refusal = QStringLiteral("Stowkeep is already running (process %1) but does not answer. "
                                   "End that process, or log out and in again, then start Stowkeep again.")
                        .arg(pid);
        return Start::Refused;
    }
    qWarning().noquote() << (readable ? QStringLiteral("Taking over the lock %1 of process %2 on the computer \"%3\": "
                                                       "no Stowkeep of this computer answers for it.")
                                            .arg(m_lock.fileName(), QString::number(pid), host)
                                      : QStringLiteral("Taking over the lock %1, which cannot be read.")
                                            .arg(m_lock.fileName()));
    if (m_lock.removeStaleLockFile() && m_lock.tryLock(0)) {
        listen();
        return Start::First;
    }
    m_refusal = QStringLiteral("Stowkeep cannot start: its lock file %1 cannot be replaced.").arg(m_lock.fileName());
    return Start::Refused;
}

bool SingleInstance::askRunningInstanceToShow() const
{
    QLocalSocket socket;
    socket.connectToServer(m_serverName);
    if (!socket.waitForConnected(AnswerTimeoutMs))
        return false;
    socket.write(ShowRequest);
    socket.waitForBytesWritten(AnswerTimeoutMs);
    // A stopped or hung instance still accepts the connection: only its reply counts.
    QByteArray reply;
    while (!reply.contains(ShownReply) && socket.waitForReadyRead(AnswerTimeoutMs))
        reply += socket.readAll();
    return reply.contains(ShownReply);
}

void SingleInstance::stopListening()
{
    if (m_server)
        m_server->close();
}

void SingleInstance::listen()
{
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(m_serverName);
    m_server->listen(m_serverName);
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* client = m_server->nextPendingConnection()) {
            connect(client, &QLocalSocket::readyRead, this, [this, client] {
                if (client->readAll().contains("show")) {
                    emit showRequested();
                    client->write(ShownReply);
                }
            });
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        }
    });
}
