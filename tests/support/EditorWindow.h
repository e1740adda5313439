#pragma once

// The real main window on a throwaway data folder, driven like a user drives the profile
// editor: clicks on rows and buttons, typing, keys, and the timer's ticks at a set time.

#include "MainWindowFixture.h"
#include "RecordingEngine.h"
#include "profiles/ProfileStore.h"
#include "ui/FolderPicker.h"
#include "ui/MessageBox.h"
#include "ui/SpinEdit.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <functional>
#include <memory>

struct EditorWindow
{
    DataFolderFixture data;
    MainWindowPtr frm;

    // A null store means no Profiles.ini at all.
    RecordingEngine* engine = nullptr; // the recording engine, when the window has one

    // Without an engine of its own the window gets a recording one; `engine` is the window's
    // when it records.
    explicit EditorWindow(const QByteArray& store = QByteArray(), std::unique_ptr<IBackupEngine> own = {})
    {
        if (!store.isNull())
            data.writeStore(store);
        if (!own)
            own = std::make_unique<RecordingEngine>();
        engine = dynamic_cast<RecordingEngine*>(own.get());
        frm = makeMainWindow(std::move(own));
        frm->show();
        if (!QTest::qWaitForWindowExposed(frm.get()))
            qFatal("the main window was not exposed");
        MessageBox::takeShown();
    }

    QByteArray store() const { return data.readStore(); }
    QString stored(const QString& section, const QString& key) const
    {
        return ProfileStore(data.storePath()).readString(section, key, QStringLiteral("<missing>"));
    }

    void clickRow(int row) const
    {
        QTreeWidgetItem* item = frm->LvwProfiles->topLevelItem(row);
        QTest::mouseClick(frm->LvwProfiles->viewport(), Qt::LeftButton, {},
                          frm->LvwProfiles->visualItemRect(item).center());
    }
    void clickEmptySpace() const
    {
        QWidget* viewport = frm->LvwProfiles->viewport();
        QTest::mouseClick(viewport, Qt::LeftButton, {}, QPoint(viewport->width() / 2, viewport->height() - 3));
    }
    static void click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }
    void chooseOption(int option) const { click(frm->RbFrequency[option]); }
    // Replaces the field's text by typing, as a user would.
    static void type(QWidget* field, const QString& text)
    {
        QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(field, Qt::Key_Delete);
        QTest::keyClicks(field, text);
    }
    // Clicks "Save Profile"; a box that it is expected to show is answered with "OK".
    void save(bool answerBox = false) const
    {
        if (answerBox)
            MessageBox::setNextAnswer(1);
        click(frm->BtnSaveProfile);
    }

    QString cell(int row, int column) const { return frm->LvwProfiles->topLevelItem(row)->text(column); }
    // One tick of the schedule timer at the given time, with the runs it starts.
    void tick(const QDateTime& now) const
    {
        setClock(*frm, now);
        frm->TimerScheduleTimer();
        waitUntilIdle(*frm);
    }
    // Clicks "Run Profile" and waits for the run to end.
    void runProfile() const
    {
        click(frm->BtnRunProfile);
        waitUntilIdle(*frm);
    }
    bool saveEnabled() const { return frm->BtnSaveProfile->isEnabled(); }
    QString caption() const { return frm->GboProperties->title(); }
    int selectedRow() const
    {
        const auto selected = frm->LvwProfiles->selectedItems();
        return selected.isEmpty() ? -1 : frm->LvwProfiles->indexOfTopLevelItem(selected.first());
    }
    QStringList rows() const
    {
        QStringList captions;
        for (int i = 0; i < frm->LvwProfiles->topLevelItemCount(); ++i)
            captions << frm->LvwProfiles->topLevelItem(i)->text(0);
        return captions;
    }
    // The panel's visible state in one line, for comparisons.
    QString panel() const
    {
        const TFrmMain& f = *frm;
        QStringList parts = {f.EdtProfileName->text(), f.EdtSrcFolder->text(), f.EdtDstFolder->text(),
                             f.EdtIncludeFilter->text(), f.EdtExcludeFilter->text(), f.EdtFilter->text()};
        int option = -1;
        for (int i = 0; i < 6; ++i) {
            if (f.RbFrequency[i]->isChecked())
                option = i;
        }
        parts << QString::number(option) << f.EdtFrequency->text() << f.CboWeekday->currentText()
              << f.SpinHour->text() + u':' + f.SpinMinute->text()
              << QString::number(f.CboBackupType->currentIndex())
              << QString::number(f.CboCompressLevel->currentIndex()) << f.EdtPassword->text()
              << QString::number(f.ChkVerifyAfterBackup->isChecked())
              << QString::number(f.ChkDeleteBackup->isChecked()) << f.SpinRetension->text();
        return parts.join(u'|');
    }
};

// The captions and texts of the message boxes shown since the last call.
inline QStringList shownBoxes()
{
    QStringList texts;
    for (const MessageBox::Shown& shown : MessageBox::takeShown())
        texts << shown.caption + u'/' + shown.text + u'/' + shown.buttons.join(u',');
    return texts;
}

// Answers the modal dialog of the given kind that the next action opens; a dialog still
// open afterwards is rejected so that the test cannot hang. `seen` tells whether it came.
template <typename Dialog>
void answerNextModal(std::function<void(Dialog&)> answer, bool* seen = nullptr)
{
    QTimer::singleShot(0, qApp, [answer, seen] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* dialog = qobject_cast<Dialog*>(modal)) {
            if (seen)
                *seen = true;
            answer(*dialog);
            if (dialog->isVisible())
                dialog->reject();
        } else if (auto* other = qobject_cast<QDialog*>(modal)) {
            other->reject();
        }
    });
}

// Calls `act` with the first modal box or dialog that is open when the event loop next runs,
// from now on; for boxes that come once a job running on its own thread gets there.
inline void onNextModal(std::function<void(QWidget*)> act)
{
    auto* poll = new QTimer(qApp);
    poll->setInterval(5);
    QObject::connect(poll, &QTimer::timeout, qApp, [poll, act] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        poll->stop();
        poll->deleteLater();
        act(modal);
    });
    poll->start();
}

// Four profiles that between them use every kind of panel control.
inline QByteArray sampleStore()
{
    return "[Alpha]\n"
           "SourceFolder=/src/a\n"
           "DestinationFolder=/dst/a\n"
           "IncludeFilter=*.txt\n"
           "FrequencyOption=4\n"
           "WeekDay=Tuesday\n"
           "StartingTime=7:05\n"
           "BackupType=0\n"
           "CompressLevel=3\n"
           "CompressPassword=secret\n"
           "BoolVerifyBackup=0\n"
           "BoolDeleteBackup=1\n"
           "DeleteInterval=4\n"
           "LastRun=2026/12/01 07:05\n"
           "NextRun=2026/12/08 07:05\n"
           "\n"
           "[Beta]\n"
           "SourceFolder=/src/b\n"
           "DestinationFolder=/dst/b\n"
           "ExcludeFilter=*.tmp\n"
           "FrequencyOption=1\n"
           "FrequencyInterval=15\n"
           "\n"
           "[Gamma]\n"
           "SourceFolder=/src/g\n"
           "DestinationFolder=/dst/g\n"
           "IncludeFilter=a\n"
           "ExcludeFilter=b\n"
           "FrequencyOption=3\n"
           "StartingTime=45\n"
           "\n"
           "[Delta]\n"
           "SourceFolder=/src/d\n"
           "DestinationFolder=/dst/d\n"
           "FrequencyOption=4\n"
           "WeekDay=monday\n"
           "StartingTime=22:10\n";
}
