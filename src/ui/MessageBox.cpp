#include "MessageBox.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDebug>
#include <QPushButton>
#include <QSet>

namespace {

QList<int> s_nextAnswers;
QList<MessageBox::Shown> s_shown;
bool s_recording = false;
bool s_closingDown = false;
QSet<QString> s_openErrors; // texts of the error boxes on screen

} // namespace

MessageBox::MessageBox(QWidget* owner, QMessageBox::Icon icon)
    : m_owner(owner), m_icon(icon), m_caption(QStringLiteral("Stowkeep"))
{
    restoreRestingState();
}

void MessageBox::setButton(int index, const QString& caption, int result)
{
    m_buttons[index] = {caption, result};
}

void MessageBox::restoreRestingState()
{
    m_buttons[0] = {QStringLiteral("OK"), 1};
    m_buttons[1] = {QStringLiteral("Cancel"), 2};
    m_buttons[2] = {QStringLiteral("Cancel"), 2};
    m_count = 1;
}

int MessageBox::escapeResult() const
{
    return m_count >= 2 ? m_buttons[1].result : m_buttons[0].result;
}

int MessageBox::exec()
{
    if (s_recording) {
        Shown shown{m_caption, m_text, {}, m_icon};
        for (int i = 0; i < m_count; ++i)
            shown.buttons << m_buttons[i].caption;
        s_shown << shown;
    }

    if (s_closingDown)
        return escapeResult();
    if (!s_nextAnswers.isEmpty())
        return s_nextAnswers.takeFirst();

    QMessageBox box(m_icon, m_caption, m_text, QMessageBox::NoButton, m_owner);
    QList<QPushButton*> buttons;
    for (int i = 0; i < m_count; ++i)
        buttons << box.addButton(m_buttons[i].caption, QMessageBox::AcceptRole);
    box.setDefaultButton(buttons.first());
    // Escape and the title bar's close button both end in the escape button's click.
    box.setEscapeButton(buttons.size() >= 2 ? buttons[1] : buttons[0]);
    const QPointer<QMessageBox> below = m_shown; // shown again when this one closes
    m_shown = &box;
    box.exec();
    m_shown = below;
    const int index = buttons.indexOf(static_cast<QPushButton*>(box.clickedButton()));
    return index >= 0 ? m_buttons[index].result : escapeResult();
}

void MessageBox::dismiss()
{
    if (m_shown)
        m_shown->reject();
}

void MessageBox::showError(QWidget* owner, const QString& text)
{
    const QString shown = text.endsWith(QLatin1Char('.')) ? text : text + u'.';
    // The schedule keeps ticking while a box is open: a failure that repeats every second
    // gets one box, and a line here each time it is not shown again.
    if (s_openErrors.contains(shown)) {
        qWarning().noquote() << "Error (its box is still open):" << shown;
        return;
    }
    s_openErrors.insert(shown);
    MessageBox box(owner, QMessageBox::Critical);
    box.setText(shown);
    box.exec();
    s_openErrors.remove(shown);
}

void MessageBox::setClosingDown(bool closing)
{
    s_closingDown = closing;
}

void MessageBox::closeDown()
{
    setClosingDown(true);
    const auto windows = QApplication::topLevelWidgets();
    for (QWidget* window : windows) {
        if (auto* dialog = qobject_cast<QDialog*>(window); dialog && dialog->isVisible())
            dialog->reject();
    }
}

void MessageBox::setRecording(bool recording)
{
    s_recording = recording;
    s_shown.clear();
}

void MessageBox::setNextAnswer(int result)
{
    s_nextAnswers << result;
}

QList<MessageBox::Shown> MessageBox::takeShown()
{
    QList<Shown> shown;
    shown.swap(s_shown);
    return shown;
}
