#include "TFrmMain.h"

#include "DataFolder.h"
#include "ProgressBand.h"
#include "TFrmAbout.h"
#include "backup/JobRunner.h"
#include "profiles/ProfileStore.h"
#include "restore/RestoreWindow.h"
#include "ui/DesktopNotifier.h"
#include "ui/LayoutFont.h"
#include "ui/NotificationArea.h"
#include "ui/SpinEdit.h"
#include "ui/Widgets.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileInfo>
#include <QFrame>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShortcut>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>

namespace {

const QString AppTitle = QStringLiteral("Stowkeep");
const QString PropertiesCaption = QStringLiteral("Profile Properties");

QLineEdit* makeReadOnlyEdit(QWidget* parent, const char* name, QRect geometry)
{
    QLineEdit* edit = makeEdit(parent, name, geometry);
    edit->setReadOnly(true);
    return edit;
}

QLineEdit* makeHiddenField(QWidget* parent, const char* name)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QLatin1String(name));
    edit->setGeometry(0, 0, 0, 0);
    edit->hide();
    return edit;
}

SpinEdit* makeSpin(QWidget* parent, const char* name, QRect geometry)
{
    auto* spin = new SpinEdit(parent);
    spin->setObjectName(QLatin1String(name));
    spin->setGeometry(geometry);
    return spin;
}

QComboBox* makeCombo(QWidget* parent, const char* name, QRect geometry, const QStringList& items)
{
    auto* combo = new QComboBox(parent);
    combo->setObjectName(QLatin1String(name));
    combo->setGeometry(geometry);
    combo->addItems(items);
    return combo;
}

// Off the task bar where the tray icon leads to the window; without a notification area
// the task bar is the way back to it, so it can be minimized there.
Qt::WindowFlags mainWindowFlags()
{
    const Qt::WindowFlags common = Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
                                 | Qt::MSWindowsFixedSizeDialogHint;
    return notificationAreaAvailable() ? Qt::Tool | common : Qt::Window | Qt::WindowMinimizeButtonHint | common;
}

} // namespace

// The icon lives in this library's resources, which a static library must register.
static void initResources()
{
    Q_INIT_RESOURCE(Resources);
}

TFrmMain::TFrmMain(std::unique_ptr<IBackupEngine> engine, QWidget* parent)
    : QWidget(parent, mainWindowFlags()), Xmain(std::move(engine)), dlg(this),
      m_clock([] { return QDateTime::currentDateTime(); })
{
    initResources();
    setObjectName(QStringLiteral("FrmMain"));
    setWindowTitle(AppTitle);
    setWindowIcon(QIcon(QStringLiteral(":/stowkeep.svg")));
    setFixedSize(594, 550);
    readSeparators();
    m_notifier = new DesktopNotifier(this);
    buildLayout();
    fitFontToLayout(this);
    connectHandlers();
    createRunners();
    m_firstStart = !QFileInfo::exists(GetProfileStorePath());

    // The timer ticks from creation on, whatever happens to the rest of the creation.
    TimerSchedule = new QTimer(this);
    TimerSchedule->setObjectName(QStringLiteral("TimerSchedule"));
    TimerSchedule->setInterval(1000);
    onSignal(TimerSchedule, &QTimer::timeout, &TFrmMain::TimerScheduleTimer);
    TimerSchedule->start();

    runHandler(&TFrmMain::FormCreate);
}

TFrmMain::~TFrmMain()
{
    // The job runner and the classes it calls back go before the widgets they report to;
    // the restore window, which lists through the engine, before both.
    delete m_restoreWindow;
    m_runner.reset();
}

void TFrmMain::buildLayout()
{
    m_band = new ProgressBand(this);
    BtnAddProfile = makeButton(this, "BtnAddProfile", QStringLiteral("Add Profile"), {8, 38, 80, 27});
    BtnDeleteProfile = makeButton(this, "BtnDeleteProfile", QStringLiteral("Delete Profile"), {96, 38, 80, 27});
    BtnRunProfile = makeButton(this, "BtnRunProfile", QStringLiteral("Run Profile"), {184, 38, 80, 27});
    BtnRestore = makeButton(this, "BtnRestore", QStringLiteral("Restore..."), {272, 38, 80, 27});
    BtnHelp = makeButton(this, "BtnHelp", QStringLiteral("Help"), {416, 38, 80, 27});
    BtnAbout = makeButton(this, "BtnAbout", QStringLiteral("About"), {504, 38, 80, 27});

    LvwProfiles = new QTreeWidget(this);
    LvwProfiles->setObjectName(QStringLiteral("LvwProfiles"));
    LvwProfiles->setGeometry(9, 77, 577, 150);
    LvwProfiles->setColumnCount(3);
    LvwProfiles->setHeaderLabels({QStringLiteral("Profile Name"), QStringLiteral("Last Run"),
                                  QStringLiteral("Next Run")});
    for (int column = 0; column < 3; ++column)
        LvwProfiles->setColumnWidth(column, 150);
    LvwProfiles->setRootIsDecorated(false);
    LvwProfiles->setItemsExpandable(false);
    LvwProfiles->setSelectionMode(QAbstractItemView::SingleSelection);
    LvwProfiles->setSelectionBehavior(QAbstractItemView::SelectRows);
    LvwProfiles->setEditTriggers(QAbstractItemView::NoEditTriggers);
    LvwProfiles->setAllColumnsShowFocus(true);
    LvwProfiles->setUniformRowHeights(true);
    LvwProfiles->header()->setStretchLastSection(false);
    LvwProfiles->header()->setSectionsMovable(false);
    // Grid lines, and a selection that stays visible when the list loses the focus.
    LvwProfiles->setStyleSheet(QStringLiteral(
        "QTreeWidget::item { border-right: 1px solid palette(midlight);"
        " border-bottom: 1px solid palette(midlight); }"
        "QTreeWidget::item:selected { background: palette(highlight);"
        " color: palette(highlighted-text); }"));

    GboProperties = new QGroupBox(PropertiesCaption, this);
    GboProperties->setObjectName(QStringLiteral("GboProperties"));
    GboProperties->setGeometry(9, 245, 577, 297);
    GboProperties->setEnabled(false);
    buildPropertyPanel();

    BtnSaveProfile = makeButton(this, "BtnSaveProfile", QStringLiteral("Save Profile"), {496, 245, 88, 27});
    BtnSaveProfile->setEnabled(false);
    BtnSaveProfile->raise();

    PopupMenu = new QMenu(this);
    PopupMenu->setObjectName(QStringLiteral("PopupMenu"));
    MnuShowMainWindow = PopupMenu->addAction(QStringLiteral("Show Main Window"));
    MnuShowMainWindow->setObjectName(QStringLiteral("MnuShowMainWindow"));
    MnuRestoreFiles = PopupMenu->addAction(QStringLiteral("Restore Files..."));
    MnuRestoreFiles->setObjectName(QStringLiteral("MnuRestoreFiles"));
    MnuHelp = PopupMenu->addAction(QStringLiteral("Help"));
    MnuHelp->setObjectName(QStringLiteral("MnuHelp"));
    MnuExit = PopupMenu->addAction(QStringLiteral("Exit"));
    MnuExit->setObjectName(QStringLiteral("MnuExit"));
}

void TFrmMain::buildPropertyPanel()
{
    QWidget* box = GboProperties;
    LblProfileName = makeLabel(box, "LblProfileName", QStringLiteral("Profile Name: "), {40, 32});
    EdtProfileName = makeEdit(box, "EdtProfileName", {128, 29, 353, 19});
    LblSrcFolder = makeLabel(box, "LblSrcFolder", QStringLiteral("Source Folder or File: "), {8, 58});
    EdtSrcFolder = makeReadOnlyEdit(box, "EdtSrcFolder", {128, 56, 353, 19});
    BtnSelectSrc = makeButton(box, "BtnSelectSrc", QStringLiteral("Browse..."), {488, 54, 80, 23});
    LblDstFolder = makeLabel(box, "LblDstFolder", QStringLiteral("Destination Folder: "), {16, 84});
    EdtDstFolder = makeReadOnlyEdit(box, "EdtDstFolder", {128, 82, 353, 19});
    BtnSelectDst = makeButton(box, "BtnSelectDst", QStringLiteral("Browse..."), {488, 84, 80, 23});
    LblFilter = makeLabel(box, "LblFilter", QStringLiteral("File Filter (Optional): "), {16, 112});
    EdtFilter = makeReadOnlyEdit(box, "EdtFilter", {128, 112, 353, 19});
    BtnFilterSetup = makeButton(box, "BtnFilterSetup", QStringLiteral("Set up..."), {488, 112, 80, 23});
    EdtIncludeFilter = makeHiddenField(box, "EdtIncludeFilter");
    EdtExcludeFilter = makeHiddenField(box, "EdtExcludeFilter");
    EdtPassword = makeHiddenField(box, "EdtPassword");

    RgpFrequency = new QGroupBox(QStringLiteral("Frequency"), box);
    RgpFrequency->setObjectName(QStringLiteral("RgpFrequency"));
    RgpFrequency->setGeometry(16, 136, 249, 145);
    m_frequencyButtons = new QButtonGroup(this);
    const QStringList options = {QStringLiteral("Manual"), QStringLiteral("Every few minutes"),
                                 QStringLiteral("Every few hours"), QStringLiteral("Once a day"),
                                 QStringLiteral("Once a week"), QStringLiteral("Every few days")};
    for (int i = 0; i < options.size(); ++i) {
        RbFrequency[i] = new QRadioButton(options[i], RgpFrequency);
        RbFrequency[i]->setObjectName(QStringLiteral("RbFrequency%1").arg(i));
        RbFrequency[i]->setGeometry(8, 18 + i * 20, 112, 19);
        m_frequencyButtons->addButton(RbFrequency[i], i);
    }
    auto* line = new QFrame(RgpFrequency);
    line->setObjectName(QStringLiteral("FrequencyLine"));
    line->setFrameShape(QFrame::VLine);
    line->setGeometry(121, 9, 1, 132);
    LblFrequency = makeLabel(RgpFrequency, "LblFrequency", QStringLiteral("Days:"), {136, 24});
    EdtFrequency = makeSpin(RgpFrequency, "EdtFrequency", {136, 48, 97, 19});
    CboWeekday = makeCombo(RgpFrequency, "CboWeekday", {136, 48, 97, 21},
                           {QStringLiteral("Sunday"), QStringLiteral("Monday"), QStringLiteral("Tuesday"),
                            QStringLiteral("Wednesday"), QStringLiteral("Thursday"),
                            QStringLiteral("Friday"), QStringLiteral("Saturday")});
    CboWeekday->setCurrentIndex(-1);
    LblStartingTime = makeLabel(RgpFrequency, "LblStartingTime", QStringLiteral("Starting Time (hh:mm):"), {136, 79});
    SpinHour = makeSpin(RgpFrequency, "SpinHour", {136, 104, 41, 19});
    SpinHour->setRange(0, 23);
    Label7 = makeLabel(RgpFrequency, "Label7", QStringLiteral(":"), {184, 107});
    SpinMinute = makeSpin(RgpFrequency, "SpinMinute", {192, 104, 41, 19});
    SpinMinute->setRange(0, 59);

    GboAdvancedProfile = new QGroupBox(QStringLiteral("Advanced"), box);
    GboAdvancedProfile->setObjectName(QStringLiteral("GboAdvancedProfile"));
    GboAdvancedProfile->setGeometry(275, 138, 289, 144);
    QWidget* adv = GboAdvancedProfile;
    LblBackupType = makeLabel(adv, "LblBackupType", QStringLiteral("Backup Type: "), {8, 24});
    CboBackupType = makeCombo(adv, "CboBackupType", {80, 21, 201, 21},
                              {QStringLiteral("Back up all files"),
                               QStringLiteral("Back up only new and modified files")});
    LblCompressLevel = makeLabel(adv, "LblCompressLevel", QStringLiteral("Compression Level: "), {8, 56});
    CboCompressLevel = makeCombo(adv, "CboCompressLevel", {112, 52, 89, 21},
                                 {QStringLiteral("None"), QStringLiteral("Low"),
                                  QStringLiteral("Medium"), QStringLiteral("High")});
    BtnPassword = makeButton(adv, "BtnPassword", QStringLiteral("Password..."), {207, 51, 73, 23});
    ChkVerifyAfterBackup = new QCheckBox(QStringLiteral("Verify after backup"), adv);
    ChkVerifyAfterBackup->setObjectName(QStringLiteral("ChkVerifyAfterBackup"));
    ChkVerifyAfterBackup->move(8, 85);
    ChkVerifyAfterBackup->adjustSize();
    ChkDeleteBackup = new QCheckBox(QStringLiteral("Delete backups older than"), adv);
    ChkDeleteBackup->setObjectName(QStringLiteral("ChkDeleteBackup"));
    ChkDeleteBackup->move(8, 112);
    ChkDeleteBackup->adjustSize();
    SpinRetension = makeSpin(adv, "SpinRetension", {160, 112, 41, 19});
    LblRetension = makeLabel(adv, "LblRetension", QStringLiteral("days"), {211, 115});

    // The panel's state at creation.
    EdtFrequency->setText(QStringLiteral("2"));
    SpinHour->setText(QStringLiteral("6"));
    SpinMinute->setText(QStringLiteral("30"));
    CboBackupType->setCurrentIndex(1);
    CboCompressLevel->setCurrentIndex(2);
    ChkVerifyAfterBackup->setChecked(true);
    ChkDeleteBackup->setChecked(false);
    SpinRetension->setText(QStringLiteral("0"));
    SpinRetension->setEnabled(false);
    RbFrequency[5]->setChecked(true);
    m_frequencyOption = 5;
    applyFrequencyOption(false);
}

template <typename Sender, typename Signal>
void TFrmMain::onSignal(Sender* sender, Signal signal, void (TFrmMain::*handler)())
{
    connect(sender, signal, this, [this, handler] { runHandler(handler); });
}

void TFrmMain::connectHandlers()
{
    onSignal(BtnAddProfile, &QPushButton::clicked, &TFrmMain::BtnAddProfileClick);
    onSignal(BtnDeleteProfile, &QPushButton::clicked, &TFrmMain::BtnDeleteProfileClick);
    onSignal(BtnRunProfile, &QPushButton::clicked, &TFrmMain::BtnRunProfileClick);
    onSignal(BtnRestore, &QPushButton::clicked, &TFrmMain::BtnRestoreClick);
    onSignal(BtnHelp, &QPushButton::clicked, &TFrmMain::BtnHelpClick);
    onSignal(BtnAbout, &QPushButton::clicked, &TFrmMain::BtnAboutClick);
    onSignal(BtnSaveProfile, &QPushButton::clicked, &TFrmMain::BtnSaveProfileClick);
    // A click, and a selection moved by the keyboard, both fill the panel, so the panel
    // always shows the selected row's profile; a click on empty space clears the selection.
    onSignal(LvwProfiles, &QTreeWidget::itemClicked, &TFrmMain::LvwProfilesClick);
    onSignal(LvwProfiles, &QTreeWidget::itemSelectionChanged, &TFrmMain::LvwProfilesClick);
    watchEmptyListClicks();
    onSignal(BtnSelectSrc, &QPushButton::clicked, &TFrmMain::BtnSelectSrcClick);
    onSignal(BtnSelectDst, &QPushButton::clicked, &TFrmMain::BtnSelectDstClick);
    onSignal(BtnFilterSetup, &QPushButton::clicked, &TFrmMain::BtnFilterSetupClick);
    onSignal(BtnPassword, &QPushButton::clicked, &TFrmMain::BtnPasswordClick);
    // One run per change of the option: the newly checked item reports it.
    connect(m_frequencyButtons, &QButtonGroup::idToggled, this, [this](int, bool checked) {
        if (checked)
            runHandler(&TFrmMain::RgpFrequencyClick);
    });
    onSignal(ChkDeleteBackup, &QCheckBox::toggled, &TFrmMain::ChkDeleteBackupClick);
    onSignal(ChkVerifyAfterBackup, &QCheckBox::toggled, &TFrmMain::ChkVerifyAfterBackupClick);
    onSignal(EdtProfileName, &QLineEdit::textChanged, &TFrmMain::EdtProfileNameChange);
    onSignal(EdtFrequency, &SpinEdit::textChanged, &TFrmMain::EdtFrequencyChange);
    onSignal(SpinHour, &SpinEdit::textChanged, &TFrmMain::SpinHourChange);
    onSignal(SpinMinute, &SpinEdit::textChanged, &TFrmMain::SpinMinuteChange);
    onSignal(SpinRetension, &SpinEdit::textChanged, &TFrmMain::SpinRetensionChange);
    onSignal(CboBackupType, &QComboBox::activated, &TFrmMain::CboBackupTypeChange);
    onSignal(CboCompressLevel, &QComboBox::activated, &TFrmMain::CboCompressLevelChange);
    onSignal(CboWeekday, &QComboBox::activated, &TFrmMain::CboWeekdayChange);

    onSignal(MnuShowMainWindow, &QAction::triggered, &TFrmMain::MnuShowMainWindowClick);
    onSignal(MnuRestoreFiles, &QAction::triggered, &TFrmMain::MnuRestoreFilesClick);
    onSignal(MnuHelp, &QAction::triggered, &TFrmMain::MnuHelpClick);
    onSignal(MnuExit, &QAction::triggered, &TFrmMain::MnuExitClick);
    // "Exit" from the window too: without a notification area there is no icon menu.
    onSignal(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this), &QShortcut::activated,
             &TFrmMain::MnuExitClick);
}

void TFrmMain::runHandler(void (TFrmMain::*handler)())
{
    try {
        (this->*handler)();
    } catch (const std::exception& error) {
        MessageBox::showError(this, QString::fromUtf8(error.what()));
    }
}

void TFrmMain::FormCreate()
{
    ConfigureEngine(*Xmain, GetDataFolder());
    m_runner->setOnInsertMedia([this](const QString& label, qint32 disk) { return XmainInsertMedia(label, disk); });
    CloseAllowed = false;
    createTrayIcon();
    LoadProfiles();
    // Read as empty, the file would look like no profile at all, and nothing would run. Told
    // once the program runs, so that the end of the session closes the box.
    if (const QString problem = ProfileStore(GetProfileStorePath()).readProblem(); !problem.isEmpty()) {
        const QString text = QStringLiteral("The profiles in %1 cannot be read (%2), so none is shown and none "
                                            "runs. The file was left as it is: make it readable, then start "
                                            "Stowkeep again.")
                                 .arg(GetProfileStorePath(), problem);
        QTimer::singleShot(0, this, [this, text] { showError(text); });
    }
}

void TFrmMain::createTrayIcon()
{
    m_trayIcon = new QSystemTrayIcon(windowIcon(), this);
    m_trayIcon->setObjectName(QStringLiteral("TrayIcon"));
    m_trayIcon->setToolTip(AppTitle);
    m_trayIcon->setContextMenu(PopupMenu);
    connect(m_trayIcon, &QSystemTrayIcon::activated, this, &TFrmMain::WMTrayIcon);
    // Without a notification area the program runs on without an icon.
    m_trayIcon->show();
}

void TFrmMain::WMTrayIcon(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::DoubleClick)
        showMainWindow();
}

void TFrmMain::showMainWindow()
{
    if (m_quitPending)
        return; // on its way out
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void TFrmMain::MnuShowMainWindowClick()
{
    showMainWindow();
}

void TFrmMain::ShowBalloon(const QString& text)
{
    const QString shown = text.left(255);
    // Without a notification area the balloon would reach nobody: the desktop's
    // notification service carries it instead.
    if (m_trayIcon && notificationAreaAvailable())
        m_trayIcon->showMessage(AppTitle, shown, QSystemTrayIcon::Information, 30000);
    else
        m_notifier->send(AppTitle, shown, 30000);
    emit balloonShown(AppTitle, shown);
}

void TFrmMain::MnuHelpClick()
{
    BtnHelpClick();
}

void TFrmMain::BtnHelpClick()
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(helpFilePath(QCoreApplication::applicationDirPath())));
}

void TFrmMain::BtnAboutClick()
{
    TFrmAbout about(this);
    about.exec();
}

void TFrmMain::MnuExitClick()
{
    closeForGood();
}

void TFrmMain::WMQueryEndSession()
{
    closeForGood();
}

void TFrmMain::closeForGood()
{
    CloseAllowed = true;
    // The program ends now, not when a running backup would have finished.
    m_runner->cancelAll();
    // Close whatever box is open: the media prompt, an error box, a dialog of the editor.
    MessageBox::closeDown();
    close();
}

void TFrmMain::closeEvent(QCloseEvent* event)
{
    if (!CloseAllowed) {
        event->ignore();
        // Without a notification area a hidden window could not be reached again.
        if (notificationAreaAvailable())
            hide();
        else
            showMinimized();
        return;
    }
    event->accept();
    FormClose();
}

void TFrmMain::FormClose()
{
    if (m_trayIcon)
        m_trayIcon->hide();
    // A running backup finishes its cancellation first; the program ends when it has, or
    // after the grace time: a job held by a share that stopped answering would otherwise
    // keep the program on for good, without its icon.
    if (m_runner->busy()) {
        m_quitPending = true;
        emit closingDown();
        QTimer::singleShot(m_quitGraceMs, this, [this] {
            if (m_quitPending)
                emit runAbandoned();
        });
    } else {
        emit closedForGood();
    }
}

bool TFrmMain::showAtStart() const
{
    return m_firstStart || !notificationAreaAvailable();
}

void TFrmMain::showEvent(QShowEvent* event)
{
    // A bare window manager would put the window in a corner.
    if (!m_placed) {
        m_placed = true;
        if (const QScreen* desktop = screen())
            move(desktop->availableGeometry().center() - QPoint(width() / 2, height() / 2));
    }
    QWidget::showEvent(event);
}

void TFrmMain::readSeparators()
{
    m_separators = separatorsFromLocale(QLocale::system());
}

void TFrmMain::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::LocaleChange)
        readSeparators();
    QWidget::changeEvent(event);
}
