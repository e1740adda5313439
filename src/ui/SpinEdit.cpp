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
    if (m_minimum && !text().isEmpty())
        setText(pulledIntoRange(text()));
}

QString SpinEdit::pulledIntoRange(const QString& text) const
{
    static const QRegularExpression number(QStringLiteral("^(-?)([0-9]+)$"));
    const QRegularExpressionMatch match = number.match(text);
    // Not a number at all (a lone "-", or text put by the program): the lower bound.
    if (!match.hasMatch())
        return QString::number(*m_minimum);

    const bool negative = match.capturedLength(1) > 0;
    QStringView digits = match.capturedView(2);
    while (digits.size() > 1 && digits.front() == u'0')
        digits = digits.mid(1);
    // Too many digits for any integer type: beyond the bound on its side.
    qint64 value = digits.size() > 18 ? std::numeric_limits<qint64>::max() : digits.toLongLong();
    if (negative)
        value = -value;
    const qint64 pulled = std::clamp<qint64>(value, *m_minimum, *m_maximum);
    // A number in range keeps its text as typed ("07"), unless it is longer than any
    // reader takes or is a "-0".
    if (pulled == value && text.size() <= 9 && !(negative && value == 0))
        return text;
    return QString::number(pulled);
}
