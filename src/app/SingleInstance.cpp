#include "SingleInstance.h"

#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>

#include <unistd.h>

namespace {

const QByteArray ShowRequest = "show\n";

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

bool SingleInstance::acquire()
{
    if (!m_lock.tryLock(0)) {
        // Without a usable data folder there is nothing to guard; run on.
        if (m_lock.error() != QLockFile::LockFailedError)
            return true;
        // QLockFile takes over a lock whose process is gone; this one is alive.
        QLocalSocket socket;
        socket.connectToServer(m_serverName);
        if (socket.waitForConnected(2000)) {
            socket.write(ShowRequest);
            socket.waitForBytesWritten(2000);
            socket.disconnectFromServer();
        }
        return false;
    }
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(m_serverName);
    m_server->listen(m_serverName);
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* client = m_server->nextPendingConnection()) {
            connect(client, &QLocalSocket::readyRead, this, [this, client] {
                if (client->readAll().contains("show"))
                    emit showRequested();
            });
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        }
    });
    return true;
}
