#pragma once

#include <QObject>
#include <QString>

// Sends notifications through the desktop's notification service (freedesktop.org
// Notifications over D-Bus). Used where there is no notification area for the tray icon's
// balloon, so that a failed backup still reaches the user. Each notification replaces the
// one before, as balloons do. Does nothing without a service.
class DesktopNotifier : public QObject
{
    Q_OBJECT

public:
    explicit DesktopNotifier(QObject* parent = nullptr);

    void send(const QString& title, const QString& text, int timeoutMs);
    // The id the service gave the last notification (0 before its answer).
    uint lastId() const { return m_lastId; }

private:
    uint m_lastId = 0;
};
