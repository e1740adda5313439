// The profile editor driven through the real main window: row clicks and keys fill the
// panel, "Add Profile" resets it, the frequency option keeps its controls in step, and
// "Save Profile" records unsaved changes.

#include "EditorWindow.h"

#include <QDir>

using namespace Qt::StringLiterals;

namespace {

// The frequency controls as the user sees them: interval label (or "-" when hidden),
// interval field, weekday list, starting time, retention unit, retention field enabled.
QString frequencyLayout(const TFrmMain& f)
{
    const bool time = f.SpinHour->isVisible();
    if (f.LblStartingTime->isVisible() != time || f.Label7->isVisible() != time
        || f.SpinMinute->isVisible() != time)
        return QStringLiteral("starting-time controls out of step");
    return QStringList{f.LblFrequency->isVisible() ? f.LblFrequency->text() : QStringLiteral("-"),
                       f.EdtFrequency->isVisible() ? QStringLiteral("interval") : QStringLiteral("-"),
                       f.CboWeekday->isVisible() ? QStringLiteral("weekday") : QStringLiteral("-"),
                       time ? QStringLiteral("time") : QStringLiteral("-"), f.LblRetension->text(),
                       f.SpinRetension->isEnabled() == f.ChkDeleteBackup->isChecked()
                           ? QStringLiteral("retention ok")
                           : QStringLiteral("retention out of step")}
        .join(u'|');
}

const QString LayoutOf[6] = {
    QStringLiteral("-|-|-|-|days|retention ok"),
    QStringLiteral("Minutes:|interval|-|-|hours|retention ok"),
    QStringLiteral("Hours:|interval|-|-|hours|retention ok"),
    QStringLiteral("-|-|-|time|days|retention ok"),
    QStringLiteral("Weekday:|-|weekday|time|weeks|retention ok"),
    QStringLiteral("Days:|interval|-|time|days|retention ok"),
};

constexpr int EmptyInterval = -1;
constexpr int TypeSeven = -2;

const QString NewProfileCaption = QStringLiteral("Add new profile here, then click \"Save Profile\" button");

} // namespace

class TestProfileEditor : public QObject
{
    Q_OBJECT

private slots:
    void startState();
    void rowClickFillsPanel_data();
    void rowClickFillsPanel();
    void arrowKeysFillPanelLikeAClick();
    void clickingSelectedRowDiscardsChanges();
    void clickOnEmptySpaceKeepsPanelAndClearsSelection();
    void addProfileResetsPanel();
    void optionChangeFillsOnlyEmptyFields_data();
    void optionChangeFillsOnlyEmptyFields();
    void changeTracking_data();
    void changeTracking();
    void newProfileModeKeepsSaveEnabled();
    void timeFieldsLeaveNumbersInRange_data();
    void timeFieldsLeaveNumbersInRange();
    void browserStartsAtTheFieldsFolder();
};

void TestProfileEditor::startState()
{
    EditorWindow w(sampleStore());
    QVERIFY(!w.frm->GboProperties->isEnabled());
    QVERIFY(!w.saveEnabled());
    QCOMPARE(w.caption(), QStringLiteral("Profile Properties"));
    QCOMPARE(w.selectedRow(), -1);
    QCOMPARE(w.rows(), QStringList({u"Alpha"_s, u"Beta"_s, u"Gamma"_s, u"Delta"_s}));
    QCOMPARE(w.panel(), QStringLiteral("||||||5|2||6:30|1|2||1|0|0"));
    QCOMPARE(frequencyLayout(*w.frm), LayoutOf[5]);
    QVERIFY(!w.frm->SpinRetension->isEnabled());
}

void TestProfileEditor::rowClickFillsPanel_data()
{
    QTest::addColumn<QList<int>>("clicks");
    QTest::addColumn<QString>("panel");

    QTest::newRow("weekly, every field") << QList<int>{0}
        << "Alpha|/src/a|/dst/a|*.txt||Include: *.txt|4|2|Tuesday|7:05|0|3|secret|0|1|4";
    QTest::newRow("minutes, defaults") << QList<int>{1}
        << "Beta|/src/b|/dst/b||*.tmp|Exclude: *.tmp|1|15||6:30|0|2||1|0|0";
    QTest::newRow("daily, time without colon") << QList<int>{2}
        << "Gamma|/src/g|/dst/g|a|b|Include: a   Exclude: b|3|2||:45|0|2||1|0|0";
    // The option change to "Once a week" picks Sunday; "monday" matches no item.
    QTest::newRow("weekday in other case, first") << QList<int>{3}
        << "Delta|/src/d|/dst/d||||4|2|Sunday|22:10|0|2||1|0|0";
    QTest::newRow("weekday in other case, keeps previous item") << QList<int>{0, 3}
        << "Delta|/src/d|/dst/d||||4|2|Tuesday|22:10|0|2||1|0|0";
    QTest::newRow("switching rows overwrites everything") << QList<int>{0, 1}
        << "Beta|/src/b|/dst/b||*.tmp|Exclude: *.tmp|1|15|Tuesday|7:05|0|2||1|0|0";
}

void TestProfileEditor::rowClickFillsPanel()
{
    QFETCH(QList<int>, clicks);
    QFETCH(QString, panel);
    EditorWindow w(sampleStore());

    for (int row : clicks)
        w.clickRow(row);

    QCOMPARE(w.selectedRow(), clicks.last());
    QCOMPARE(w.panel(), panel);
    QVERIFY(w.frm->GboProperties->isEnabled());
    QCOMPARE(w.caption(), QStringLiteral("Profile Properties"));
    QVERIFY(!w.saveEnabled());
    const int option = panel.section(u'|', 6, 6).toInt();
    QCOMPARE(frequencyLayout(*w.frm), LayoutOf[option]);
    QCOMPARE(shownBoxes(), QStringList());
}

void TestProfileEditor::arrowKeysFillPanelLikeAClick()
{
    EditorWindow w(sampleStore());
    w.clickRow(0);
    EditorWindow::type(w.frm->EdtProfileName, QStringLiteral("Changed"));
    QVERIFY(w.saveEnabled());

    QTest::keyClick(w.frm->LvwProfiles, Qt::Key_Down);
    QCOMPARE(w.selectedRow(), 1);
    QVERIFY(w.panel().startsWith(QStringLiteral("Beta|/src/b|")));
    QVERIFY(!w.saveEnabled());

    QTest::keyClick(w.frm->LvwProfiles, Qt::Key_End);
    QCOMPARE(w.selectedRow(), 3);
    QVERIFY(w.panel().startsWith(QStringLiteral("Delta|/src/d|")));

    // A rename now acts on the profile shown, and no other section is touched.
    EditorWindow::type(w.frm->EdtProfileName, QStringLiteral("Epsilon"));
    w.save();
    QCOMPARE(shownBoxes(), QStringList());
    QCOMPARE(w.rows(), QStringList({u"Alpha"_s, u"Beta"_s, u"Gamma"_s, u"Epsilon"_s}));
    QCOMPARE(w.stored(u"Alpha"_s, u"SourceFolder"_s), QStringLiteral("/src/a"));
    QCOMPARE(w.stored(u"Delta"_s, u"SourceFolder"_s), QStringLiteral("<missing>"));
    QCOMPARE(w.stored(u"Epsilon"_s, u"SourceFolder"_s), QStringLiteral("/src/d"));
}

void TestProfileEditor::clickingSelectedRowDiscardsChanges()
{
    EditorWindow w(sampleStore());
    w.clickRow(0);
    const QString filled = w.panel();
    EditorWindow::type(w.frm->EdtProfileName, QStringLiteral("Other"));
    w.click(w.frm->ChkDeleteBackup);
    w.chooseOption(0);
    QVERIFY(w.saveEnabled());

    w.clickRow(0);
    QCOMPARE(w.panel(), filled);
    QCOMPARE(frequencyLayout(*w.frm), LayoutOf[4]);
    QVERIFY(w.frm->SpinRetension->isEnabled());
    QVERIFY(!w.saveEnabled());
}

void TestProfileEditor::clickOnEmptySpaceKeepsPanelAndClearsSelection()
{
    for (bool changed : {false, true}) {
        EditorWindow w(sampleStore());
        w.clickRow(1);
        if (changed)
            EditorWindow::type(w.frm->EdtFrequency, QStringLiteral("20"));
        const QString before = w.panel();

        w.clickEmptySpace();
        QCOMPARE(w.selectedRow(), -1);
        QCOMPARE(w.panel(), before);
        QCOMPARE(w.saveEnabled(), changed);
        QCOMPARE(w.caption(), QStringLiteral("Profile Properties"));
    }
}

void TestProfileEditor::addProfileResetsPanel()
{
    EditorWindow w(sampleStore());
    w.clickRow(0); // every field differs from the reset values, the weekday is Tuesday

    w.click(w.frm->BtnAddProfile);

    QCOMPARE(w.caption(), NewProfileCaption);
    QVERIFY(w.frm->GboProperties->isEnabled());
    QVERIFY(w.saveEnabled());
    QCOMPARE(w.selectedRow(), -1);
    QCOMPARE(w.panel(), QStringLiteral("||||||2|2|Tuesday|:|1|2||1|0|10"));
    QCOMPARE(frequencyLayout(*w.frm), LayoutOf[2]);
    QVERIFY(!w.frm->SpinRetension->isEnabled());
    QCOMPARE(w.store(), sampleStore());
}

void TestProfileEditor::optionChangeFillsOnlyEmptyFields_data()
{
    // After "Add Profile": "Every few hours", interval "2", hour and minute empty, and no
    // weekday on a new window. Steps: an option index, or EmptyInterval, or TypeSeven.
    QTest::addColumn<QList<int>>("steps");
    QTest::addColumn<QString>("expected"); // interval|weekday|hh:mm

    QTest::newRow("once a day fills 6:30") << QList<int>{3} << "2||6:30";
    QTest::newRow("minutes keep 2") << QList<int>{1} << "2||:";
    QTest::newRow("every few days keep 2") << QList<int>{5} << "2||6:30";
    QTest::newRow("weekly selects Sunday") << QList<int>{4} << "2|Sunday|6:30";
    QTest::newRow("manual fills nothing") << QList<int>{EmptyInterval, 0} << "||:";
    QTest::newRow("empty, minutes") << QList<int>{EmptyInterval, 1} << "10||:";
    QTest::newRow("empty, days") << QList<int>{EmptyInterval, 5} << "3||6:30";
    QTest::newRow("emptied under minutes, then hours") << QList<int>{1, EmptyInterval, 2} << "2||:";
    QTest::newRow("typed value carries over") << QList<int>{TypeSeven, 1, 5, 2} << "7||6:30";
    QTest::newRow("filled time is kept") << QList<int>{3, 0, 5} << "2||6:30";
}

void TestProfileEditor::optionChangeFillsOnlyEmptyFields()
{
    QFETCH(QList<int>, steps);
    QFETCH(QString, expected);
    EditorWindow w;
    w.click(w.frm->BtnAddProfile);

    for (int step : steps) {
        if (step == EmptyInterval || step == TypeSeven) {
            const QString text = step == TypeSeven ? u"7"_s : QString();
            EditorWindow::type(w.frm->EdtFrequency, text);
            QCOMPARE(w.frm->EdtFrequency->text(), text);
            continue;
        }
        w.chooseOption(step);
        QCOMPARE(frequencyLayout(*w.frm), LayoutOf[step]);
    }

    const TFrmMain& f = *w.frm;
    QCOMPARE(QStringList({f.EdtFrequency->text(), f.CboWeekday->currentText(),
                          f.SpinHour->text() + u':' + f.SpinMinute->text()})
                 .join(u'|'),
             expected);
    QVERIFY(w.saveEnabled());
}

void TestProfileEditor::changeTracking_data()
{
    using Action = std::function<void(EditorWindow&)>;
    QTest::addColumn<int>("row");
    QTest::addColumn<Action>("action");
    QTest::addColumn<bool>("enabled");

    auto chooseSource = [](QString folder) {
        return Action([folder](EditorWindow& w) {
            FolderPicker::setNextFolder(folder);
            w.click(w.frm->BtnSelectSrc);
            QCOMPARE(FolderPicker::lastTitle(), QStringLiteral("Please select source folder"));
        });
    };
    auto chooseDestination = [](QString folder) {
        return Action([folder](EditorWindow& w) {
            FolderPicker::setNextFolder(folder);
            w.click(w.frm->BtnSelectDst);
            QCOMPARE(FolderPicker::lastTitle(), QStringLiteral("Please select destination folder"));
        });
    };
    auto typeAtEnd = [](SpinEdit* TFrmMain::*field, QString text) {
        return Action([field, text](EditorWindow& w) {
            QTest::keyClick(w.frm.get()->*field, Qt::Key_End);
            QTest::keyClicks(w.frm.get()->*field, text);
        });
    };
    auto keyDown = [](QComboBox* TFrmMain::*combo) {
        return Action([combo](EditorWindow& w) { QTest::keyClick(w.frm.get()->*combo, Qt::Key_Down); });
    };
    auto option = [](int index) { return Action([index](EditorWindow& w) { w.chooseOption(index); }); };
    auto tick = [](QCheckBox* TFrmMain::*box) {
        return Action([box](EditorWindow& w) { w.click(w.frm.get()->*box); });
    };

    QTest::newRow("name typed") << 1 << Action([](EditorWindow& w) {
        QTest::keyClicks(w.frm->EdtProfileName, QStringLiteral("x"));
    }) << true;
    QTest::newRow("same source folder") << 1 << chooseSource(QStringLiteral("/src/b")) << false;
    QTest::newRow("other source folder") << 1 << chooseSource(QStringLiteral("/src/new")) << true;
    QTest::newRow("same destination") << 1 << chooseDestination(QStringLiteral("/dst/b")) << false;
    QTest::newRow("other destination") << 1 << chooseDestination(QStringLiteral("/dst/x")) << true;
    QTest::newRow("browser cancelled") << 1 << chooseSource(QString()) << false;
    QTest::newRow("other option") << 1 << option(2) << true;
    QTest::newRow("option back to saved stays enabled") << 1 << Action([](EditorWindow& w) {
        w.chooseOption(5);
        w.chooseOption(1);
    }) << true;
    QTest::newRow("saved option clicked again") << 0 << option(4) << false;
    QTest::newRow("interval typed") << 1 << typeAtEnd(&TFrmMain::EdtFrequency, QStringLiteral("0")) << true;
    QTest::newRow("hour") << 0 << typeAtEnd(&TFrmMain::SpinHour, QStringLiteral("1")) << true;
    QTest::newRow("minute") << 0 << typeAtEnd(&TFrmMain::SpinMinute, QStringLiteral("1")) << true;
    QTest::newRow("retention") << 0 << typeAtEnd(&TFrmMain::SpinRetension, QStringLiteral("1")) << true;
    QTest::newRow("backup type") << 0 << keyDown(&TFrmMain::CboBackupType) << true;
    QTest::newRow("compression") << 1 << keyDown(&TFrmMain::CboCompressLevel) << true;
    QTest::newRow("weekday") << 0 << keyDown(&TFrmMain::CboWeekday) << true;
    QTest::newRow("verify") << 0 << tick(&TFrmMain::ChkVerifyAfterBackup) << true;
    QTest::newRow("delete ticked") << 1 << tick(&TFrmMain::ChkDeleteBackup) << true;
    QTest::newRow("delete unticked") << 0 << tick(&TFrmMain::ChkDeleteBackup) << true;
}

void TestProfileEditor::changeTracking()
{
    using Action = std::function<void(EditorWindow&)>;
    QFETCH(int, row);
    QFETCH(Action, action);
    QFETCH(bool, enabled);
    EditorWindow w(sampleStore());
    w.clickRow(row);
    const QString src = w.frm->EdtSrcFolder->text();

    action(w);

    QCOMPARE(w.saveEnabled(), enabled);
    QCOMPARE(w.selectedRow(), row);
    QCOMPARE(frequencyLayout(*w.frm).section(u'|', 5), QStringLiteral("retention ok"));
    if (QLatin1String(QTest::currentDataTag()) == "browser cancelled"_L1)
        QCOMPARE(w.frm->EdtSrcFolder->text(), src);
    QCOMPARE(w.store(), sampleStore());
}

void TestProfileEditor::newProfileModeKeepsSaveEnabled()
{
    EditorWindow w(sampleStore());
    w.click(w.frm->BtnAddProfile);
    FolderPicker::setNextFolder(QStringLiteral("/src/n"));
    w.click(w.frm->BtnSelectSrc);
    w.click(w.frm->ChkDeleteBackup);
    QVERIFY(w.frm->SpinRetension->isEnabled());
    w.click(w.frm->ChkDeleteBackup);
    QVERIFY(!w.frm->SpinRetension->isEnabled());
    w.chooseOption(4);
    QCOMPARE(w.frm->EdtSrcFolder->text(), QStringLiteral("/src/n"));
    QVERIFY(w.saveEnabled());
    QCOMPARE(w.selectedRow(), -1);
    QCOMPARE(w.caption(), NewProfileCaption);
}

void TestProfileEditor::timeFieldsLeaveNumbersInRange_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("hour");   // what the hour field holds after losing the focus
    QTest::addColumn<QString>("minute"); // the same text in the minute field

    QTest::newRow("in range, as typed") << u"07"_s << u"07"_s << u"07"_s;
    QTest::newRow("above") << u"75"_s << u"23"_s << u"59"_s;
    QTest::newRow("below") << u"-3"_s << u"0"_s << u"0"_s;
    QTest::newRow("beyond 64 bits") << u"99999999999999999999"_s << u"23"_s << u"59"_s;
    QTest::newRow("hugely negative") << u"-99999999999999999999"_s << u"0"_s << u"0"_s;
    QTest::newRow("lone minus") << u"-"_s << u"0"_s << u"0"_s;
    QTest::newRow("minus zero") << u"-0"_s << u"0"_s << u"0"_s;
    QTest::newRow("zeros beyond what is read") << u"0000000009"_s << u"9"_s << u"9"_s;
    QTest::newRow("empty stays for its own message") << QString() << QString() << QString();
}

void TestProfileEditor::timeFieldsLeaveNumbersInRange()
{
    QFETCH(QString, typed);
    QFETCH(QString, hour);
    QFETCH(QString, minute);
    EditorWindow w;
    w.click(w.frm->BtnAddProfile);
    w.chooseOption(3);

    for (SpinEdit* field : {w.frm->SpinHour, w.frm->SpinMinute}) {
        EditorWindow::type(field, typed);
        QCOMPARE(field->text(), typed);
        QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
        QApplication::sendEvent(field, &out);
    }
    QCOMPARE(w.frm->SpinHour->text(), hour);
    QCOMPARE(w.frm->SpinMinute->text(), minute);
}

void TestProfileEditor::browserStartsAtTheFieldsFolder()
{
    EditorWindow w;
    w.click(w.frm->BtnAddProfile);
    const QString existing = w.data.root();
    // The field's folder when it exists, else the home folder, never the working folder.
    const struct { QString field; QString start; } cases[] = {
        {QString(), QDir::homePath()}, {existing, existing}, {existing + u"/gone"_s, QDir::homePath()}};
    for (QLineEdit* field : {w.frm->EdtSrcFolder, w.frm->EdtDstFolder}) {
        for (const auto& c : cases) {
            field->setText(c.field);
            FolderPicker::setNextFolder(QString()); // cancelled
            w.click(field == w.frm->EdtSrcFolder ? w.frm->BtnSelectSrc : w.frm->BtnSelectDst);
            QCOMPARE(FolderPicker::lastStartFolder(), c.start);
            QCOMPARE(field->text(), c.field);
        }
    }
}

QTEST_MAIN(TestProfileEditor)
#include "tst_profileeditor.moc"
