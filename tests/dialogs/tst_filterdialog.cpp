// The filter dialog opened from the profile editor's "Set up..." button: what it shows,
// what "OK" and "Cancel" leave in the editor, and the editor's unsaved-change test after it.

#include "dialogs/TFrmFilter.h"
#include "EditorWindow.h"

using namespace Qt::StringLiterals;

class TestFilterDialog : public QObject
{
    Q_OBJECT

private slots:
    void layoutAndStartValues();
    void closingUpdatesEditor_data();
    void closingUpdatesEditor();
};

void TestFilterDialog::layoutAndStartValues()
{
    EditorWindow w(sampleStore());
    w.clickRow(2);
    bool seen = false;
    answerNextModal<TFrmFilter>([](TFrmFilter& d) {
        QCOMPARE(d.windowTitle(), u"Filter"_s);
        QCOMPARE(d.size(), QSize(411, 221));
        QCOMPARE(d.Label1->text(),
                 u"Please add files to include or exclude. If you want to back up only a file, please "
                 u"enter the file name. It supports the * and ? wildcard characters. When specifying "
                 u"multiple files to include or exclude, each file must be separated with comma."_s);
        QVERIFY(d.Label1->wordWrap());
        QCOMPARE(d.Label1->geometry(), QRect(24, 32, 377, 57));
        QCOMPARE(d.Label2->text(), u"Include Filter:"_s);
        QCOMPARE(d.Label3->text(), u"Exclude Filter:"_s);
        QCOMPARE(d.EdtIncludeFilter->geometry(), QRect(25, 113, 368, 19));
        QCOMPARE(d.EdtExcludeFilter->geometry(), QRect(25, 161, 368, 19));
        QCOMPARE(d.BtnOK->text(), u"OK"_s);
        QCOMPARE(d.BtnOK->geometry(), QRect(209, 189, 80, 27));
        QCOMPARE(d.BtnCancel->text(), u"Cancel"_s);
        QCOMPARE(d.BtnCancel->geometry(), QRect(305, 189, 80, 27));
        QCOMPARE(d.EdtIncludeFilter->text(), u"a"_s);
        QCOMPARE(d.EdtExcludeFilter->text(), u"b"_s);
        EditorWindow::click(d.BtnCancel);
    }, &seen);
    w.click(w.frm->BtnFilterSetup);
    QVERIFY(seen);
}

void TestFilterDialog::closingUpdatesEditor_data()
{
    QTest::addColumn<int>("row"); // -1: a new profile
    QTest::addColumn<QString>("include");
    QTest::addColumn<QString>("exclude");
    QTest::addColumn<QString>("close"); // "ok", "cancel" or "escape"
    QTest::addColumn<QString>("editor"); // include|exclude|summary afterwards
    QTest::addColumn<bool>("saveEnabled");

    // Alpha: include "*.txt", no exclude. Gamma: include "a", exclude "b".
    QTest::newRow("both emptied") << 2 << "" << "" << "ok" << "||" << true;
    QTest::newRow("only exclude") << 0 << "" << "*.tmp" << "ok"
                                  << "|*.tmp|Exclude: *.tmp" << true;
    QTest::newRow("both") << 0 << "x,y" << "z" << "ok"
                          << "x,y|z|Include: x,y   Exclude: z" << true;
    QTest::newRow("blanks kept as typed") << 0 << " a , b" << "" << "ok"
                                          << " a , b||Include:  a , b" << true;
    QTest::newRow("ok on saved texts") << 2 << "a" << "b" << "ok"
                                       << "a|b|Include: a   Exclude: b" << false;
    QTest::newRow("cancel after typing") << 2 << "zz" << "zz" << "cancel"
                                         << "a|b|Include: a   Exclude: b" << false;
    QTest::newRow("escape after typing") << 0 << "zz" << "" << "escape"
                                         << "*.txt||Include: *.txt" << false;
    QTest::newRow("new profile") << -1 << "n" << "" << "ok" << "n||Include: n" << true;
}

void TestFilterDialog::closingUpdatesEditor()
{
    QFETCH(int, row);
    QFETCH(QString, include);
    QFETCH(QString, exclude);
    QFETCH(QString, close);
    QFETCH(QString, editor);
    QFETCH(bool, saveEnabled);
    EditorWindow w(sampleStore());
    if (row >= 0)
        w.clickRow(row);
    else
        w.click(w.frm->BtnAddProfile);

    bool seen = false;
    answerNextModal<TFrmFilter>([&](TFrmFilter& d) {
        EditorWindow::type(d.EdtIncludeFilter, include);
        EditorWindow::type(d.EdtExcludeFilter, exclude);
        if (close == u"ok"_s)
            EditorWindow::click(d.BtnOK);
        else if (close == u"cancel"_s)
            EditorWindow::click(d.BtnCancel);
        else
            QTest::keyClick(&d, Qt::Key_Escape);
        QVERIFY(!d.isVisible());
    }, &seen);
    w.click(w.frm->BtnFilterSetup);

    QVERIFY(seen);
    QCOMPARE(QStringList({w.frm->EdtIncludeFilter->text(), w.frm->EdtExcludeFilter->text(),
                          w.frm->EdtFilter->text()})
                 .join(u'|'),
             editor);
    QCOMPARE(w.saveEnabled(), saveEnabled);
    QCOMPARE(w.selectedRow(), row);
    QCOMPARE(w.store(), sampleStore());

    // Alpha can be saved as it stands: the filters reach the store exactly as the editor holds them.
    if (row == 0 && saveEnabled) {
        w.save();
        QCOMPARE(shownBoxes(), QStringList());
        QCOMPARE(w.stored(w.frm->EdtProfileName->text(), u"IncludeFilter"_s), editor.section(u'|', 0, 0));
        QCOMPARE(w.stored(w.frm->EdtProfileName->text(), u"ExcludeFilter"_s), editor.section(u'|', 1, 1));
    }
}

QTEST_MAIN(TestFilterDialog)
#include "tst_filterdialog.moc"
