// "Run Profile" and the media prompt, on the real main window with a recording engine.

#include "EditorWindow.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

namespace {

const QDateTime Start(QDate(2026, 12, 9), QTime(14, 3, 59));

// The manual runs below start at this time.
struct Window : EditorWindow
{
    explicit Window(const QByteArray& store) : EditorWindow(store) { setClock(*frm, Start); }
    QString stored(const QString& key) const { return EditorWindow::stored(QStringLiteral("Docs"), key); }
};

const QByteArray Store = "[Other]\nFrequencyOption=0\n"
                         "[Docs]\nFrequencyOption=2\nFrequencyInterval=3\nLastRun=2026/12/09 09:00\n"
                         "NextRun=2026/12/09 15:00\n";

} // namespace

class TestManualRun : public QObject
{
    Q_OBJECT

private slots:
    void init() { MessageBox::takeShown(); }
    void withoutSelectionNothingHappens();
    void runRecordsOnlyTheStartTime_data();
    void runRecordsOnlyTheStartTime();
    void mediaPromptAnswers_data();
    void mediaPromptAnswers();
    void mediaPromptAnsweredInARealBox();
    void secondRunWhileOneIsRunningIsRefused();
    void runCutShortByExitRecordsNothing();
    void failedRunIsRecordedBeforeItsBox();
};

void TestManualRun::withoutSelectionNothingHappens()
{
    Window w(Store);
    const QByteArray before = w.data.readStore();
    QTest::mouseClick(w.frm->BtnRunProfile, Qt::LeftButton);
    QVERIFY(w.engine->runJobs().isEmpty());
    QVERIFY(MessageBox::takeShown().isEmpty());
    QCOMPARE(w.data.readStore(), before);

    Window empty{QByteArray("")};
    QTest::mouseClick(empty.frm->BtnRunProfile, Qt::LeftButton);
    QVERIFY(empty.engine->runJobs().isEmpty());
}

void TestManualRun::runRecordsOnlyTheStartTime_data()
{
    QTest::addColumn<qint32>("result");
    QTest::newRow("success") << 0;
    QTest::newRow("failure") << 4;
}

void TestManualRun::runRecordsOnlyTheStartTime()
{
    QFETCH(qint32, result);
    Window w(Store);
    w.engine->queueRunResults({result});
    if (result != 0)
        MessageBox::setNextAnswer(1);
    // The run takes long: the start time is what is recorded.
    w.engine->setDuringRun([&](IBackupJob&) { setClock(*w.frm, Start.addSecs(3600)); });
    w.clickRow(1);
    w.runProfile();

    QCOMPARE(w.engine->runJobs(), QList<IBackupJob*>{w.frm->profileTable()[1].Job});
    const QString started = QStringLiteral("2026/12/09 14:03");
    QCOMPARE(w.frm->profileTable()[1].LastRun, started);
    QCOMPARE(w.frm->LvwProfiles->topLevelItem(1)->text(1), started);
    QCOMPARE(w.stored(QStringLiteral("LastRun")), started);
    // The schedule stays as it was.
    QCOMPARE(w.frm->profileTable()[1].NextRun, QStringLiteral("2026/12/09 15:00"));
    QCOMPARE(w.frm->LvwProfiles->topLevelItem(1)->text(2), QStringLiteral("2026/12/09 15:00"));
    QCOMPARE(w.stored(QStringLiteral("NextRun")), QStringLiteral("2026/12/09 15:00"));

    const QList<MessageBox::Shown> shown = MessageBox::takeShown();
    if (result == 0) {
        QVERIFY(shown.isEmpty());
    } else {
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].caption, QStringLiteral("Error"));
        QCOMPARE(shown[0].text,
                 QStringLiteral("Error backing up files. Error description: engine text for code 4"));
        QCOMPARE(shown[0].buttons, QStringList{QStringLiteral("OK")});
        QCOMPARE(shown[0].icon, QMessageBox::Information);
    }
}

void TestManualRun::mediaPromptAnswers_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("inserted");
    QTest::newRow("OK") << "/media/backup" << 1 << true;
    QTest::newRow("Cancel") << "/media/backup" << 2 << false;
    QTest::newRow("empty label") << "" << 1 << true;
}

void TestManualRun::mediaPromptAnswers()
{
    QFETCH(QString, label);
    QFETCH(int, answer);
    QFETCH(bool, inserted);
    Window w(Store);
    w.engine->queueMediaRequest(label, 1);
    MessageBox::setNextAnswer(answer);
    w.clickRow(0);
    w.runProfile();

    QCOMPARE(w.engine->mediaAnswers(), QList<bool>{inserted});
    QList<MessageBox::Shown> shown = MessageBox::takeShown();
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].caption, QStringLiteral("Insert Media"));
    QCOMPARE(shown[0].text, u"Please insert " + label);
    QCOMPARE(shown[0].buttons, (QStringList{"OK", "Cancel"}));
    // The box is back at rest: the next one has only "OK".
    QCOMPARE(w.frm->messageBox().buttonCount(), 1);
    w.engine->queueRunResults({2});
    MessageBox::setNextAnswer(1);
    w.runProfile();
    shown = MessageBox::takeShown();
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].buttons, QStringList{QStringLiteral("OK")});
}

void TestManualRun::mediaPromptAnsweredInARealBox()
{
    // Escape, the close button and "Cancel" all say "not inserted"; "OK" says inserted.
    for (const char* action : {"escape", "close", "ok"}) {
        Window w(Store);
        w.engine->queueMediaRequest(QStringLiteral("Backup disk"), 1);
        QString text;
        // The question comes once the backup's thread reaches it.
        onNextModal([&, action](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            QVERIFY(box);
            text = box->text();
            if (qstrcmp(action, "escape") == 0) {
                QTest::keyClick(box, Qt::Key_Escape);
            } else if (qstrcmp(action, "close") == 0) {
                box->close();
            } else {
                for (QAbstractButton* button : box->buttons())
                    if (button->text() == QStringLiteral("OK"))
                        button->click();
            }
        });
        w.clickRow(0);
        w.runProfile();
        QCOMPARE(text, QStringLiteral("Please insert Backup disk"));
        QCOMPARE(w.engine->mediaAnswers(), QList<bool>{qstrcmp(action, "ok") == 0});
        QCOMPARE(w.frm->messageBox().buttonCount(), 1);
    }
}

void TestManualRun::secondRunWhileOneIsRunningIsRefused()
{
    Window w(Store);
    w.engine->setDuringRun([&](IBackupJob&) {
        if (w.engine->runJobs().size() == 1)
            QTest::mouseClick(w.frm->BtnRunProfile, Qt::LeftButton);
    });
    MessageBox::setNextAnswer(1);
    w.clickRow(0);
    w.runProfile();
    QCOMPARE(w.engine->runJobs().size(), 1);
    const QList<MessageBox::Shown> shown = MessageBox::takeShown();
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].caption, QStringLiteral("Error"));
}

void TestManualRun::runCutShortByExitRecordsNothing()
{
    Window w(Store);
    const QByteArray before = w.data.readStore();
    w.engine->setDuringRun([&](IBackupJob&) { w.frm->MnuExitClick(); });
    w.clickRow(1);
    w.runProfile();

    QCOMPARE(w.engine->runResults(), QList<qint32>{w.engine->cancelledResult()});
    QCOMPARE(w.frm->profileTable()[1].LastRun, QStringLiteral("2026/12/09 09:00"));
    QCOMPARE(w.frm->LvwProfiles->topLevelItem(1)->text(1), QStringLiteral("2026/12/09 09:00"));
    QCOMPARE(w.data.readStore(), before);
    QVERIFY(MessageBox::takeShown().isEmpty());
}

void TestManualRun::failedRunIsRecordedBeforeItsBox()
{
    // While the failure's box is open, a tick runs the same profile: its time stays.
    Window w(Store);
    w.engine->queueRunResults({4});
    onNextModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        QVERIFY(box);
        w.tick(QDateTime(QDate(2026, 12, 9), QTime(15, 0, 5)));
        box->reject();
    });
    w.clickRow(1);
    w.runProfile();

    QCOMPARE(w.engine->runJobs().size(), 2);
    QCOMPARE(w.stored(QStringLiteral("LastRun")), QStringLiteral("2026/12/09 15:00"));
    QCOMPARE(w.stored(QStringLiteral("NextRun")), QStringLiteral("2026/12/09 18:00"));
    QCOMPARE(w.frm->LvwProfiles->topLevelItem(1)->text(1), QStringLiteral("2026/12/09 15:00"));
}

QTEST_MAIN(TestManualRun)
#include "tst_manualrun.moc"
