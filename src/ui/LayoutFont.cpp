#include "LayoutFont.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QWidget>

#include <algorithm>

namespace {

// Widgets whose width follows their caption: they get the room up to the next sibling
// that starts to their right on the same line, or to their parent's inner edge.
bool followsCaption(const QWidget* widget)
{
    if (const auto* label = qobject_cast<const QLabel*>(widget))
        return !label->wordWrap() && (label->alignment() & Qt::AlignHorizontal_Mask) == Qt::AlignLeft;
    return qobject_cast<const QCheckBox*>(widget) || qobject_cast<const QRadioButton*>(widget);
}

int roomOf(const QWidget* widget)
{
    const QWidget* parent = widget->parentWidget();
    int right = parent->width() - (qobject_cast<const QGroupBox*>(parent) ? 4 : 0);
    const QRect own = widget->geometry();
    for (const QObject* object : parent->children()) {
        const auto* sibling = qobject_cast<const QWidget*>(object);
        if (!sibling || sibling == widget || sibling->isWindow())
            continue;
        const QRect other = sibling->geometry();
        const int overlap = std::min(own.top() + own.height(), other.top() + other.height())
                          - std::max(own.top(), other.top());
        const bool sameLine = overlap > std::min(own.height(), other.height()) / 2;
        if (sameLine && other.left() > own.left())
            right = std::min(right, other.left());
    }
    return right - own.left();
}

int neededWidth(const QWidget* widget, const QFontMetrics& metrics)
{
    if (const auto* label = qobject_cast<const QLabel*>(widget))
        return label->pixmap().isNull() && !label->wordWrap() ? metrics.horizontalAdvance(label->text()) + 1 : 0;
    if (qobject_cast<const QCheckBox*>(widget) || qobject_cast<const QRadioButton*>(widget))
        return widget->sizeHint().width();
    if (const auto* button = qobject_cast<const QPushButton*>(widget))
        return metrics.horizontalAdvance(button->text()) + 10;
    if (const auto* combo = qobject_cast<const QComboBox*>(widget)) {
        int widest = 0;
        for (int i = 0; i < combo->count(); ++i)
            widest = std::max(widest, metrics.horizontalAdvance(combo->itemText(i)));
        return widest + combo->style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 14;
    }
    return 0;
}

bool fits(QWidget* window)
{
    const auto widgets = window->findChildren<QWidget*>();
    for (QWidget* widget : widgets) {
        if (widget->isWindow())
            continue;
        // A wrapped text must fit its box in height.
        if (const auto* label = qobject_cast<const QLabel*>(widget);
            label && label->wordWrap() && label->heightForWidth(label->width()) > label->height())
            return false;
        const QFontMetrics metrics(widget->font());
        const int room = followsCaption(widget) ? roomOf(widget) : widget->width();
        if (neededWidth(widget, metrics) > room)
            return false;
    }
    return true;
}

} // namespace

void fitFontToLayout(QWidget* window)
{
    const QFont base = window->font();
    const qreal largest = std::max<qreal>(base.pointSizeF(), 9);
    QFont chosen = base;
    bool found = false;
    // Should nothing fit, the smallest candidate clips the least.
    for (qreal size = largest; size >= 6.5 && !found; size -= 0.5) {
        for (int stretch : {int(QFont::Unstretched), int(QFont::SemiCondensed), int(QFont::Condensed)}) {
            QFont candidate = base;
            candidate.setPointSizeF(size);
            candidate.setStretch(stretch);
            window->setFont(candidate);
            chosen = candidate;
            if (fits(window)) {
                found = true;
                break;
            }
        }
    }
    window->setFont(chosen);

    // Labels take their whole room; buttons with an indicator only their caption's width,
    // since a click beside the caption does not reach them.
    const auto widgets = window->findChildren<QWidget*>();
    for (QWidget* widget : widgets) {
        if (widget->isWindow() || !followsCaption(widget))
            continue;
        const QSize hint = widget->sizeHint();
        const int width = qobject_cast<QLabel*>(widget) ? roomOf(widget) : std::min(hint.width(), roomOf(widget));
        widget->resize(width, std::max(widget->height(), hint.height()));
    }
}
