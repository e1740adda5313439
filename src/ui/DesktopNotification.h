#pragma once

#include <QString>

// Sends a notification through the desktop's notification service (freedesktop.org
// Notifications over D-Bus). Used where there is no notification area for the tray icon's
// balloon, so that a failed backup still reaches the user. Does nothing without a service.
void sendDesktopNotification(const QString& title, const QString& text, int timeoutMs);
