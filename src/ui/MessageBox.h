#pragma once

#include <QList>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QStringList>

class QWidget;

// The program's modal message box: a caption, a text and up to three buttons, each with a
// caption and a result, of which the first `count` are shown. exec() returns the result of
// the button that closed it; Escape or closing the box gives the second button's result
// when two or more are shown. Its resting state is one button "OK" (result 1), with
// "Cancel" (result 2) for the second and third.
//
// Tests queue answers with setNextAnswer(); a queued answer closes the next box at once.
// While recording is on (tests only), every box shown is recorded for takeShown().
class MessageBox
{
public:
    explicit MessageBox(QWidget* owner, QMessageBox::Icon icon = QMessageBox::Information);

    void setCaption(const QString& caption) { m_caption = caption; }
    void setText(const QString& text) { m_text = text; }
    void setButton(int index, const QString& caption, int result);
    void setButtonCount(int count) { m_count = count; }
    // One button "OK" (1), the others "Cancel" (2).
    void restoreRestingState();

    QString caption() const { return m_caption; }
    QString text() const { return m_text; }
    int buttonCount() const { return m_count; }
    QString buttonCaption(int index) const { return m_buttons[index].caption; }

    int exec();
    // Closes the box exec() shows now, if any, as Escape would: its question has gone.
    void dismiss();

    // Shows the unexpected-error box: captioned "Stowkeep", critical icon, "OK", the text
    // with a full stop appended when it has none. While a box of the same text is open,
    // the error goes to standard error instead of a second box.
    static void showError(QWidget* owner, const QString& text);

    // While set, every box returns at once with its escape result (the program is ending).
    static void setClosingDown(bool closing);
    // The program is ending: sets the above, and closes every box and dialog now open.
    static void closeDown();

    // Test seam.
    struct Shown
    {
        QString caption;
        QString text;
        QStringList buttons;
        QMessageBox::Icon icon;
    };
    static void setRecording(bool recording);
    static void setNextAnswer(int result);
    static QList<Shown> takeShown();

private:
    struct Button
    {
        QString caption;
        int result;
    };
    int escapeResult() const;

    QWidget* m_owner;
    QMessageBox::Icon m_icon;
    QString m_caption;
    QString m_text;
    Button m_buttons[3];
    int m_count = 1;
    QPointer<QMessageBox> m_shown; // while exec() shows it
};
