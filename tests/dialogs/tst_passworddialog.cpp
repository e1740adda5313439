// The password dialog opened from the profile editor's "Password..." button: its layout,
// its two tests in their order with their messages, and what it leaves in the editor.

#include "dialogs/TFrmPassword.h"
#include "EditorWindow.h"

using namespace Qt::StringLiterals;

namespace {

const QString WrongOld = u"Error/Old password is not right, please enter it again./OK"_s;
const QString Mismatch =
    u"Error/New password and password confirmation is not the same, please enter it again./OK"_s;
const QString ControlCharacter = u"Error/The new password contains a line break, a tab or another control "
                                 u"character, which a password can not hold. Please enter it again./OK"_s;

// Typed as a user types; a line break or tab cannot be typed into the field, only pasted.
void enter(QLineEdit* field, const QString& text)
{
    if (text.contains(u'\n') || text.contains(u'\t'))
        field->setText(text);
    else
        EditorWindow::type(field, text);
}

// One try: old, new, confirmation (old is typed only when its field is shown).
using Attempt = QStringList;

// Opens the dialog, makes the tries with "OK" and, when it is still open, cancels it.
// Each failed try must leave the dialog open with the fields as typed.
void runDialog(EditorWindow& w, const QList<Attempt>& attempts, int expectedErrors, bool* seen)
{
    for (int i = 0; i < expectedErrors; ++i)
        MessageBox::setNextAnswer(1);
    answerNextModal<TFrmPassword>([attempts](TFrmPassword& d) {
        for (const Attempt& attempt : attempts) {
            QVERIFY(d.isVisible());
            if (d.EdtOldPwd->isVisible())
                enter(d.EdtOldPwd, attempt[0]);
            enter(d.EdtNewPwd1, attempt[1]);
            enter(d.EdtNewPwd2, attempt[2]);
            EditorWindow::click(d.BtnOK);
            if (d.isVisible()) {
                QCOMPARE(d.EdtNewPwd1->text(), attempt[1]);
                QCOMPARE(d.EdtNewPwd2->text(), attempt[2]);
            }
        }
        if (d.isVisible())
            EditorWindow::click(d.BtnCancel);
        QVERIFY(!d.isVisible());
    }, seen);
    w.click(w.frm->BtnPassword);
}

} // namespace

class TestPasswordDialog : public QObject
{
    Q_OBJECT

private slots:
    void layoutNeverShowsPassword_data();
    void layoutNeverShowsPassword();
    void triesUpdateEditor_data();
    void triesUpdateEditor();
    void oldPasswordIsTheWorkingCopy();
};

void TestPasswordDialog::layoutNeverShowsPassword_data()
{
    QTest::addColumn<bool>("reset"); // "Add Profile" after the row click
    QTest::addColumn<int>("row");
    QTest::addColumn<bool>("oldShown");

    QTest::newRow("with a password") << false << 0 << true;
    QTest::newRow("without a password") << false << 1 << false;
    QTest::newRow("after a new-profile reset") << true << 0 << false;
}

void TestPasswordDialog::layoutNeverShowsPassword()
{
    QFETCH(bool, reset);
    QFETCH(int, row);
    QFETCH(bool, oldShown);
    EditorWindow w(sampleStore());
    w.clickRow(row);
    if (reset)
        w.click(w.frm->BtnAddProfile);

    bool seen = false;
    answerNextModal<TFrmPassword>([oldShown](TFrmPassword& d) {
        QCOMPARE(d.windowTitle(), u"Password"_s);
        QCOMPARE(d.size(), QSize(301, 188));
        QCOMPARE(d.Label1->text(), u"Set up a password to encrypt your backup."_s);
        QCOMPARE(d.LblOldPwd->text(), u"Old Password:"_s);
        QCOMPARE(d.Label3->text(), u"New Password:"_s);
        QCOMPARE(d.Label4->text(), u"Confirm  Password:"_s);
        QCOMPARE(d.LblOldPwd->isVisible(), oldShown);
        QCOMPARE(d.EdtOldPwd->isVisible(), oldShown);
        QCOMPARE(d.EdtOldPwd->geometry(), QRect(104, 59, 185, 19));
        QCOMPARE(d.EdtNewPwd1->geometry(), QRect(104, 88, 185, 19));
        QCOMPARE(d.EdtNewPwd2->geometry(), QRect(104, 119, 185, 19));
        QCOMPARE(d.BtnOK->geometry(), QRect(56, 152, 80, 27));
        QCOMPARE(d.BtnCancel->geometry(), QRect(160, 152, 80, 27));
        QCOMPARE(d.BtnOK->text(), u"OK"_s);
        QCOMPARE(d.BtnCancel->text(), u"Cancel"_s);
        for (QLineEdit* field : {d.EdtOldPwd, d.EdtNewPwd1, d.EdtNewPwd2}) {
            QCOMPARE(field->echoMode(), QLineEdit::Password);
            QCOMPARE(field->text(), QString());
        }
        QTest::keyClick(&d, Qt::Key_Escape);
    }, &seen);
    w.click(w.frm->BtnPassword);
    QVERIFY(seen);
    // Escape changed nothing.
    QCOMPARE(w.frm->EdtPassword->text(), oldShown ? u"secret"_s : QString());
}

void TestPasswordDialog::triesUpdateEditor_data()
{
    QTest::addColumn<int>("row"); // Alpha has "secret", Beta none; -1: a new profile
    QTest::addColumn<QList<Attempt>>("attempts");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("saveEnabled");

    auto tries = [](std::initializer_list<std::initializer_list<const char16_t*>> list) {
        QList<Attempt> result;
        for (auto attempt : list) {
            Attempt fields;
            for (const char16_t* text : attempt)
                fields << QString::fromUtf16(text);
            result << fields;
        }
        return result;
    };

    QTest::newRow("none, set") << 1 << tries({{u"", u"pw", u"pw"}}) << QStringList() << u"pw"_s << true;
    QTest::newRow("none, left empty") << 1 << tries({{u"", u"", u""}}) << QStringList() << QString() << false;
    QTest::newRow("wrong old") << 0 << tries({{u"nope", u"x", u"x"}}) << QStringList{WrongOld}
                               << u"secret"_s << false;
    QTest::newRow("wrong old before mismatch") << 0 << tries({{u"nope", u"x", u"y"}})
                                               << QStringList{WrongOld} << u"secret"_s << false;
    QTest::newRow("old in other case") << 0 << tries({{u"SECRET", u"x", u"x"}}) << QStringList{WrongOld}
                                       << u"secret"_s << false;
    QTest::newRow("mismatch") << 0 << tries({{u"secret", u"x", u"X"}}) << QStringList{Mismatch}
                              << u"secret"_s << false;
    QTest::newRow("removed") << 0 << tries({{u"secret", u"", u""}}) << QStringList() << QString() << true;
    QTest::newRow("changed after failed tries")
        << 0 << tries({{u"bad", u"n", u"n"}, {u"secret", u"n", u"m"}, {u"secret", u"n", u"n"}})
        << QStringList{WrongOld, Mismatch} << u"n"_s << true;
    QTest::newRow("cancelled after failed tries")
        << 0 << tries({{u"bad", u"", u""}, {u"secret", u"a", u"b"}}) << QStringList{WrongOld, Mismatch}
        << u"secret"_s << false;
    // Stored, the line break would become a blank: another password than the one typed.
    QTest::newRow("pasted line break") << 1 << tries({{u"", u"new\nline", u"new\nline"}})
                                       << QStringList{ControlCharacter} << QString() << false;
    QTest::newRow("tab, then without") << 0 << tries({{u"secret", u"a\tb", u"a\tb"}, {u"secret", u"ab", u"ab"}})
                                       << QStringList{ControlCharacter} << u"ab"_s << true;
    QTest::newRow("new profile") << -1 << tries({{u"", u"p", u"p"}}) << QStringList() << u"p"_s << true;
}

void TestPasswordDialog::triesUpdateEditor()
{
    QFETCH(int, row);
    QFETCH(QList<Attempt>, attempts);
    QFETCH(QStringList, boxes);
    QFETCH(QString, password);
    QFETCH(bool, saveEnabled);
    EditorWindow w(sampleStore());
    if (row >= 0)
        w.clickRow(row);
    else
        w.click(w.frm->BtnAddProfile);

    bool seen = false;
    runDialog(w, attempts, int(boxes.size()), &seen);

    QVERIFY(seen);
    QCOMPARE(shownBoxes(), boxes);
    QCOMPARE(w.frm->EdtPassword->text(), password);
    QCOMPARE(w.saveEnabled(), saveEnabled);
    QCOMPARE(w.store(), sampleStore());
}

void TestPasswordDialog::oldPasswordIsTheWorkingCopy()
{
    EditorWindow w(sampleStore());
    w.clickRow(0);
    bool seen = false;
    runDialog(w, {{u"secret"_s, u"p1"_s, u"p1"_s}}, 0, &seen);
    QVERIFY(seen);

    // The unsaved password is the old one now; the saved one no longer passes.
    seen = false;
    runDialog(w, {{u"secret"_s, u"p2"_s, u"p2"_s}, {u"p1"_s, u"p2"_s, u"p2"_s}}, 1, &seen);
    QVERIFY(seen);
    QCOMPARE(shownBoxes(), QStringList{WrongOld});
    QCOMPARE(w.frm->EdtPassword->text(), u"p2"_s);

    w.save();
    QCOMPARE(shownBoxes(), QStringList());
    QCOMPARE(w.stored(u"Alpha"_s, u"CompressPassword"_s), u"p2"_s);
}

QTEST_MAIN(TestPasswordDialog)
#include "tst_passworddialog.moc"
