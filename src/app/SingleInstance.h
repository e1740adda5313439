#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>

class QLocalServer;

// One Stowkeep per user and data folder: the first start holds a lock in the data folder
// and listens on a local socket; a second start asks it to show its main window and ends.
// A lock that no running Stowkeep of this computer answers for is taken over: one left by
// a killed process, and one that names another computer (a home folder copied or restored
// from another machine).
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    enum class Start {
        First,      // this process is the one instance
        HandedOver, // the running instance shows its window; this start ends
        Refused,    // it cannot run: refusal() says why
    };

    explicit SingleInstance(const QString& dataFolder, QObject* parent = nullptr);
    ~SingleInstance() override;

    Start acquire();
    // The program is ending: a start from now on waits for the lock instead of being shown
    // a window that is about to go.
    void stopListening();
    // Why the start was refused, in words for the user.
    QString refusal() const { return m_refusal; }

signals:
    void showRequested();

private:
    bool askRunningInstanceToShow() const;
    void listen();

    QString m_serverName;
    QLockFile m_lock;
    QLocalServer* m_server = nullptr;
    QString m_refusal;
};
