#include "Terminal.h"

#include <QDateTime>

#include <cstdio>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

qint64 now()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

std::optional<QString> promptPassword(const QString& prompt)
{
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (tty < 0)
        return std::nullopt;
    const QByteArray text = prompt.toUtf8();
    [[maybe_unused]] ssize_t written = ::write(tty, text.constData(), size_t(text.size()));
    termios saved {};
    const bool haveMode = ::tcgetattr(tty, &saved) == 0;
    if (haveMode) {
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    QByteArray line;
    char c = 0;
    while (::read(tty, &c, 1) == 1 && c != '\n')
        line.append(c);
    if (haveMode)
        ::tcsetattr(tty, TCSAFLUSH, &saved);
    written = ::write(tty, "\n", 1);
    ::close(tty);
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.isEmpty())
        return std::nullopt;
    return QString::fromUtf8(line);
}

ProgressLine::ProgressLine() : m_terminal(::isatty(STDERR_FILENO) == 1), m_started(now()) {}

ProgressLine::~ProgressLine()
{
    finish();
}

void ProgressLine::show(const QString& text, int percent)
{
    const qint64 t = now();
    if (t - m_started < 1000)
        return;
    if (m_terminal) {
        if (m_shown && t - m_lastShown < 200)
            return;
        std::fprintf(stderr, "\r%s\033[K", text.toUtf8().constData());
    } else {
        // A line at each quarter: a log of a long restore, not of every file.
        const int step = percent / 25;
        if (step == m_lastStep)
            return;
        m_lastStep = step;
        std::fprintf(stderr, "%s\n", text.toUtf8().constData());
    }
    std::fflush(stderr);
    m_shown = true;
    m_lastShown = t;
}

void ProgressLine::finish()
{
    if (m_shown && m_terminal)
        std::fprintf(stderr, "\n");
    m_shown = false;
}
