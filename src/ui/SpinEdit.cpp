#include "SpinEdit.h"

#include <QLineEdit>
#include <QRegularExpression>

#include <algorithm>
#include <limits>

SpinEdit::SpinEdit(QWidget* parent) : QAbstractSpinBox(parent)
{
    setCorrectionMode(QAbstractSpinBox::CorrectToPreviousValue);
    setKeyboardTracking(true);
    connect(lineEdit(), &QLineEdit::textChanged, this, &SpinEdit::textChanged);
}

QString SpinEdit::text() const
{
    return lineEdit()->text();
}

void SpinEdit::setText(const QString& text)
{
    if (lineEdit()->text() != text)
        lineEdit()->setText(text);
}

void SpinEdit::setRange(int minimum, int maximum)
{
    m_minimum = minimum;
    m_maximum = maximum;
}

void SpinEdit::stepBy(int steps)
{
    bool ok = false;
    qint64 value = text().toLongLong(&ok);
    if (!ok)
        value = 0;
    value += steps;
    qint64 low = m_minimum.value_or(std::numeric_limits<qint32>::min());
    qint64 high = m_maximum.value_or(std::numeric_limits<qint32>::max());
    value = std::clamp(value, low, high);
    setText(QString::number(value));
}

QAbstractSpinBox::StepEnabled SpinEdit::stepEnabled() const
{
    return StepUpEnabled | StepDownEnabled;
}

QValidator::State SpinEdit::validate(QString& input, int&) const
{
    static const QRegularExpression digits(QStringLiteral("^-?[0-9]*$"));
    return digits.match(input).hasMatch() ? QValidator::Acceptable : QValidator::Invalid;
}

void SpinEdit::fixup(QString&) const {}

void SpinEdit::focusOutEvent(QFocusEvent* event)
{
    QAbstractSpinBox::focusOutEvent(event);
    if (!m_minimum || text().isEmpty())
        return;
    bool ok = false;
    const qint64 value = text().toLongLong(&ok);
    if (ok && (value < *m_minimum || value > *m_maximum))
        setText(QString::number(std::clamp<qint64>(value, *m_minimum, *m_maximum)));
}
