#pragma once

#include <QAbstractSpinBox>
#include <QString>

#include <optional>

// A numeric spin field whose text is what counts: it may be empty, it accepts digits and
// a minus sign, the arrow keys and buttons step it by 1, and, when it has a range, any
// text that is not a number within it is pulled into range when the field loses the focus.
class SpinEdit : public QAbstractSpinBox
{
    Q_OBJECT

public:
    explicit SpinEdit(QWidget* parent = nullptr);

    QString text() const;
    void setText(const QString& text);
    void setRange(int minimum, int maximum);

    void stepBy(int steps) override;
    QValidator::State validate(QString& input, int& pos) const override;
    void fixup(QString& input) const override;

signals:
    void textChanged(const QString& text);

protected:
    StepEnabled stepEnabled() const override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    // What losing the focus leaves of the text when the field has a range: always a
    // number within it.
    QString pulledIntoRange(const QString& text) const;

    std::optional<int> m_minimum;
    std::optional<int> m_maximum;
};
