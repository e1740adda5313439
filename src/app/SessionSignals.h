#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the main thread (through a
// self-pipe), so the program ends exactly as at the end of the desktop session.
class SessionSignals : public QObject
{
    Q_OBJECT

public:
    explicit SessionSignals(QObject* parent = nullptr);
    ~SessionSignals() override;

    // A signal came before anybody listened (while the main window was being created).
    bool endWasRequested() const { return m_endRequested; }

signals:
    void endRequested();

private:
    void readSignal();

    QSocketNotifier* m_notifier = nullptr;
    bool m_endRequested = false;
};
