#pragma once

#include <optional>

// Whether the desktop has a notification area for the tray icon. Tests set the answer.
bool notificationAreaAvailable();
void setNotificationAreaForTests(std::optional<bool> available);
