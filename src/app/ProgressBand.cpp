#include "ProgressBand.h"

#include "ui/Widgets.h"

#include <QEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

namespace {

// Positions inside the band, which spans the window's width from y 0 to 37.
const QRect StatusRoom(8, 1, 578, 36);
const QRect ProgressTextRoom(8, 1, 328, 36);

} // namespace

ProgressBand::ProgressBand(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("ProgressBand"));
    setGeometry(0, 0, 594, 38);
    LblRunStatus = makeLabel(this, "LblRunStatus", QString(), StatusRoom);
    LblRunStatus->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    LblRunStatus->setTextFormat(Qt::PlainText);
    PrgRun = new QProgressBar(this);
    PrgRun->setObjectName(QStringLiteral("PrgRun"));
    PrgRun->setGeometry(344, 9, 152, 20);
    PrgRun->setRange(0, 100);
    PrgRun->setTextVisible(false);
    BtnCancelRun = makeButton(this, "BtnCancelRun", QStringLiteral("Cancel"), {504, 5, 80, 27});
    PrgRun->hide();
    BtnCancelRun->hide();
}

void ProgressBand::showProgress(const QString& text, int percent, bool cancelling)
{
    LblRunStatus->setGeometry(ProgressTextRoom);
    PrgRun->setValue(percent);
    PrgRun->show();
    BtnCancelRun->setEnabled(!cancelling);
    BtnCancelRun->show();
    setLines({text});
}

void ProgressBand::showStatus(const QStringList& lines)
{
    PrgRun->hide();
    BtnCancelRun->hide();
    LblRunStatus->setGeometry(StatusRoom);
    setLines(lines);
}

QString ProgressBand::shownText() const
{
    return LblRunStatus->text();
}

void ProgressBand::setLines(const QStringList& lines)
{
    m_lines = lines;
    m_full = lines.join(u'\n');
    LblRunStatus->setToolTip(m_full);
    fitLines();
}

// At most two lines, each cut to the room with an ellipsis, so nothing of the fixed layout
// moves and no caption is clipped in the middle of a letter.
void ProgressBand::fitLines()
{
    const QFontMetrics metrics(LblRunStatus->font());
    QStringList shown;
    for (const QString& line : m_lines.mid(0, 2))
        shown << metrics.elidedText(line, Qt::ElideRight, LblRunStatus->width() - 2);
    LblRunStatus->setText(shown.join(u'\n'));
}

void ProgressBand::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    fitLines();
}

void ProgressBand::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::FontChange)
        fitLines();
    QWidget::changeEvent(event);
}
