#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;

// One Stowkeep per user and data folder: the first start holds a lock in the data folder
// and listens on a local socket; a second start asks it to show its main window and ends.
// A lock left by a killed process is taken over.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    explicit SingleInstance(const QString& dataFolder, QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when this process is the one instance; otherwise tells the running one to show
    // its window and returns false.
    bool acquire();

signals:
    void showRequested();

private:
    QString m_serverName;
    QLockFile m_lock;
    QLocalServer* m_server = nullptr;
};
