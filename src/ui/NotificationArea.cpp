#include "NotificationArea.h"

#include <QSystemTrayIcon>

namespace {

std::optional<bool> s_forTests;

} // namespace

bool notificationAreaAvailable()
{
    return s_forTests ? *s_forTests : QSystemTrayIcon::isSystemTrayAvailable();
}

void setNotificationAreaForTests(std::optional<bool> available)
{
    s_forTests = available;
}
