#pragma once

#include <QStringList>
#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;

// The band above the main window's buttons: while a job runs, its text, a progress bar and
// "Cancel"; otherwise the status of the selected profile, or nothing.
class ProgressBand : public QWidget
{
    Q_OBJECT

public:
    explicit ProgressBand(QWidget* parent);

    // `cancelling`: the job was asked to stop, and "Cancel" has nothing more to do.
    void showProgress(const QString& text, int percent, bool cancelling = false);
    void showStatus(const QStringList& lines);
    // The text as the user sees it (lines cut to the room, with "…").
    QString shownText() const;
    // The whole text, also in the band's tooltip.
    QString fullText() const { return m_full; }

    QLabel* LblRunStatus = nullptr;
    QProgressBar* PrgRun = nullptr;
    QPushButton* BtnCancelRun = nullptr;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void setLines(const QStringList& lines);
    void fitLines();

    QStringList m_lines;
    QString m_full;
};
