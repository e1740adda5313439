#pragma once

// The command line's terminal: a password asked without echo, and the progress of a long
// restore on standard error (one line rewritten in place on a terminal, a few lines when
// standard error is a file or a pipe).

#include <QString>

#include <optional>

// Asks on the controlling terminal with echo off; none when there is no terminal or
// nothing was typed.
std::optional<QString> promptPassword(const QString& prompt);

class ProgressLine
{
public:
    ProgressLine();
    ~ProgressLine();
    // Shown only once the job has run for a moment: short ones stay quiet.
    void show(const QString& text, int percent);
    // Ends the line in place, if one was shown.
    void finish();

private:
    bool m_terminal;
    bool m_shown = false;
    int m_lastStep = -1;
    qint64 m_lastShown = 0;
    qint64 m_started;
};
