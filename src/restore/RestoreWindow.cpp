#include "RestoreWindow.h"

#include "FileTreeModel.h"
#include "RunPasswordDialog.h"
#include "backup/EngineAdapter.h"
#include "backup/JobRunner.h"
#include "backup/PathText.h"
#include "backup/RunStatus.h"

#include <QCloseEvent>
#include <QDir>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QThread>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

const QString ReadingText = QStringLiteral("Reading the backups...");
const QString NothingTicked = QStringLiteral("Nothing ticked: everything in this backup is restored.");

template <typename W>
W* named(W* widget, const char* name)
{
    widget->setObjectName(QLatin1String(name));
    return widget;
}

} // namespace

RestoreWindow::RestoreWindow(JobRunner& runner, IBackupEngine& engine, QWidget* parent)
    : QWidget(parent, Qt::Window), m_runner(runner), m_engine(engine), m_box(this)
{
    setObjectName(QStringLiteral("FrmRestore"));
    setWindowTitle(QStringLiteral("Restore Files"));
    m_box.setCaption(QStringLiteral("Stowkeep"));
    buildLayout();
    resize(780, 720);
}

RestoreWindow::~RestoreWindow()
{
    // A listing reads only: it ends by itself, soon.
    if (m_reader) {
        m_reader->wait();
        delete m_reader;
    }
}

void RestoreWindow::buildLayout()
{
    auto* layout = new QVBoxLayout(this);

    auto* profileRow = new QHBoxLayout;
    profileRow->addWidget(new QLabel(QStringLiteral("Profile:"), this));
    CboProfile = named(new QComboBox(this), "CboProfile");
    CboProfile->setPlaceholderText(QStringLiteral("Choose a profile"));
    CboProfile->setMinimumWidth(260);
    profileRow->addWidget(CboProfile, 1); // the whole row: earlier backups are named with their folder
    layout->addLayout(profileRow);

    layout->addWidget(new QLabel(QStringLiteral("Backups, newest first:"), this));
    LvwRuns = named(new QTreeWidget(this), "LvwRuns");
    LvwRuns->setHeaderLabels({QStringLiteral("Time"), QStringLiteral("Kind"), QStringLiteral("Files"),
                              QStringLiteral("Size"), QStringLiteral("Verified"), QStringLiteral("Result")});
    LvwRuns->setRootIsDecorated(false);
    LvwRuns->setUniformRowHeights(true);
    LvwRuns->setMinimumHeight(95);
    LvwRuns->setMaximumHeight(125);
    LvwRuns->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    LvwRuns->header()->setStretchLastSection(true);
    layout->addWidget(LvwRuns);

    auto* findRow = new QHBoxLayout;
    findRow->addWidget(new QLabel(QStringLiteral("Files and folders as they were:"), this));
    findRow->addStretch();
    findRow->addWidget(new QLabel(QStringLiteral("Find:"), this));
    EdtFind = named(new QLineEdit(this), "EdtFind");
    EdtFind->setPlaceholderText(QStringLiteral("part of a file name"));
    EdtFind->setClearButtonEnabled(true);
    EdtFind->setMinimumWidth(220);
    findRow->addWidget(EdtFind);
    layout->addLayout(findRow);

    LblReading = named(new QLabel(this), "LblReading");
    LblReading->setWordWrap(true);
    LblReading->hide();
    layout->addWidget(LblReading);

    m_model = new FileTreeModel(this);
    m_filter = new FileTreeFilter(m_model, this);
    TvwFiles = named(new QTreeView(this), "TvwFiles");
    TvwFiles->setModel(m_filter);
    TvwFiles->setUniformRowHeights(true);
    TvwFiles->header()->setStretchLastSection(false);
    TvwFiles->header()->setSectionResizeMode(FileTreeModel::Name, QHeaderView::Stretch);
    TvwFiles->header()->setSectionResizeMode(FileTreeModel::Size, QHeaderView::ResizeToContents);
    TvwFiles->header()->setSectionResizeMode(FileTreeModel::Modified, QHeaderView::ResizeToContents);
    layout->addWidget(TvwFiles, 1);

    LblTicked = named(new QLabel(NothingTicked, this), "LblTicked");
    layout->addWidget(LblTicked);

    auto* where = named(new QGroupBox(QStringLiteral("Where to"), this), "GboTarget");
    auto* grid = new QGridLayout(where);
    RbOriginal = named(new QRadioButton(QStringLiteral("Restore to the original folder"), where), "RbOriginal");
    RbOriginal->setChecked(true);
    LblOriginal = named(new QLabel(where), "LblOriginal");
    LblOriginal->setTextInteractionFlags(Qt::TextSelectableByMouse);
    RbOther = named(new QRadioButton(QStringLiteral("Restore to:"), where), "RbOther");
    EdtTarget = named(new QLineEdit(where), "EdtTarget");
    BtnBrowse = named(new QPushButton(QStringLiteral("Browse..."), where), "BtnBrowse");
    grid->addWidget(RbOriginal, 0, 0);
    grid->addWidget(LblOriginal, 0, 1, 1, 2);
    grid->addWidget(RbOther, 1, 0);
    grid->addWidget(EdtTarget, 1, 1);
    grid->addWidget(BtnBrowse, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("Files that exist there:"), where), 2, 0);
    CboExisting = named(new QComboBox(where), "CboExisting");
    CboExisting->addItem(QStringLiteral("Skip them (keep the files that are there)"), int(ExistingFiles::Skip));
    CboExisting->addItem(QStringLiteral("Keep both (the restored copy gets a new name)"), int(ExistingFiles::KeepBoth));
    CboExisting->addItem(QStringLiteral("Replace them with the backed-up versions"), int(ExistingFiles::Replace));
    grid->addWidget(CboExisting, 2, 1, 1, 2, Qt::AlignLeft);
    grid->setColumnStretch(1, 1);
    layout->addWidget(where);

    auto* progressRow = new QHBoxLayout;
    LblProgress = named(new QLabel(this), "LblProgress");
    PrgRestore = named(new QProgressBar(this), "PrgRestore");
    PrgRestore->setRange(0, 100);
    BtnCancel = named(new QPushButton(QStringLiteral("Cancel"), this), "BtnCancel");
    progressRow->addWidget(LblProgress, 1);
    progressRow->addWidget(PrgRestore);
    progressRow->addWidget(BtnCancel);
    layout->addLayout(progressRow);
    LblProgress->hide();
    PrgRestore->hide();
    BtnCancel->hide();

    LblSummary = named(new QLabel(this), "LblSummary");
    LblSummary->setWordWrap(true);
    LblSummary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    LstSummary = named(new QListWidget(this), "LstSummary");
    LstSummary->setMaximumHeight(90);
    // One line each: without measuring every line, 300,000 skipped files list in 0.1 s, not 3 s.
    LstSummary->setUniformItemSizes(true);
    layout->addWidget(LblSummary);
    layout->addWidget(LstSummary);
    LblSummary->hide();
    LstSummary->hide();

    auto* buttons = new QHBoxLayout;
    BtnOpenTarget = named(new QPushButton(QStringLiteral("Open Target Folder"), this), "BtnOpenTarget");
    BtnOpenTarget->hide();
    BtnRestore = named(new QPushButton(QStringLiteral("Restore"), this), "BtnRestore");
    BtnRestore->setDefault(true);
    BtnClose = named(new QPushButton(QStringLiteral("Close"), this), "BtnClose");
    buttons->addWidget(BtnOpenTarget);
    buttons->addStretch();
    buttons->addWidget(BtnRestore);
    buttons->addWidget(BtnClose);
    layout->addLayout(buttons);

    connect(CboProfile, &QComboBox::currentIndexChanged, this, &RestoreWindow::profileChosen);
    connect(LvwRuns, &QTreeWidget::currentItemChanged, this, &RestoreWindow::runChosen);
    connect(EdtFind, &QLineEdit::textChanged, this, &RestoreWindow::findChanged);
    connect(m_model, &FileTreeModel::tickedChanged, this, &RestoreWindow::updateTicked);
    connect(RbOriginal, &QRadioButton::toggled, this, &RestoreWindow::updateButtons);
    connect(EdtTarget, &QLineEdit::textEdited, this, [this] { RbOther->setChecked(true); });
    connect(BtnBrowse, &QPushButton::clicked, this, &RestoreWindow::BtnBrowseClick);
    connect(BtnRestore, &QPushButton::clicked, this, &RestoreWindow::BtnRestoreClick);
    connect(BtnCancel, &QPushButton::clicked, this, &RestoreWindow::BtnCancelClick);
    connect(BtnOpenTarget, &QPushButton::clicked, this, &RestoreWindow::BtnOpenTargetClick);
    connect(BtnClose, &QPushButton::clicked, this, &QWidget::close);
    connect(&m_runner, &JobRunner::progressChanged, this, &RestoreWindow::restoreProgressed);
    connect(&m_runner, &JobRunner::jobFinished, this, &RestoreWindow::backupEnded);
    updateButtons();
}

void RestoreWindow::setSources(const QList<RestoreSource>& sources, const QString& chosen)
{
    if (m_restoring)
        return;
    // Opened anew: where to and what to do with existing files start from the safe choices,
    // not from what an earlier restore (of another profile, maybe) chose.
    RbOriginal->setChecked(true);
    EdtTarget->clear();
    CboExisting->setCurrentIndex(CboExisting->findData(int(ExistingFiles::Skip)));
    showSources(sources, chosen);
    profileChosen();
}

void RestoreWindow::updateSources(const QList<RestoreSource>& sources)
{
    if (m_restoring) {
        m_sourcesLater = sources;
        return;
    }
    const RestoreSource* shown = source();
    const bool unchanged = shown && sources.contains(*shown);
    const QString chosen = shown ? shown->profile : QString(); // before the list it is in goes
    showSources(sources, chosen);
    if (!unchanged)
        profileChosen();
}

void RestoreWindow::showSources(const QList<RestoreSource>& sources, const QString& chosen)
{
    m_sources = sources;
    QSignalBlocker quiet(CboProfile);
    CboProfile->clear();
    for (const RestoreSource& s : sources)
        CboProfile->addItem(s.profile);
    int index = -1;
    for (int i = 0; i < sources.size(); ++i)
        if (sources[i].profile == chosen)
            index = i;
    if (index < 0 && sources.size() == 1)
        index = 0;
    CboProfile->setCurrentIndex(index);
}

void RestoreWindow::showWindow()
{
    show();
    raise();
    activateWindow();
}

const RestoreSource* RestoreWindow::source() const
{
    const int index = CboProfile->currentIndex();
    return index >= 0 && index < m_sources.size() ? &m_sources[index] : nullptr;
}

const RestoreRun* RestoreWindow::chosenRun() const
{
    const QTreeWidgetItem* item = LvwRuns->currentItem();
    if (!item)
        return nullptr;
    const int index = item->data(0, Qt::UserRole).toInt();
    return index >= 0 && index < m_runs.size() ? &m_runs[index] : nullptr;
}

void RestoreWindow::profileChosen()
{
    m_givenPasswords.clear();
    LblSummary->hide();
    LstSummary->hide();
    BtnOpenTarget->hide();
    const RestoreSource* s = source();
    const bool originalKnown = !s || !s->sourceBase.isEmpty();
    LblOriginal->setText(originalKnown ? (s ? s->sourceBase : QString())
                                       : QStringLiteral("(not known: no profile makes these backups now)"));
    if (!originalKnown)
        RbOther->setChecked(true);
    listRuns();
}

void RestoreWindow::listRuns()
{
    {
        QSignalBlocker quiet(LvwRuns);
        LvwRuns->clear();
    }
    m_runs.clear();
    m_model->clear();
    if (!source()) {
        showReading(QStringLiteral("Choose the profile whose files you want to restore."));
        updateButtons();
        return;
    }
    showReading(ReadingText);
    readRuns(false);
}

void RestoreWindow::refreshRuns()
{
    if (source())
        readRuns(true);
}

void RestoreWindow::readRuns(bool keepChosen)
{
    struct Listing
    {
        QList<RestoreRun> runs;
        QString error;
    };
    auto listing = std::make_shared<Listing>();
    IBackupEngine* engine = &m_engine;
    const RestoreSource* s = source();
    read(
        [engine, listing, set = s->set, password = s->password] {
            try {
                listing->runs = engine->ListRuns(set, password);
            } catch (const std::exception& error) {
                listing->error = QString::fromUtf8(error.what());
            }
        },
        [this, listing, keepChosen] {
            if (listing->error.isEmpty()) {
                showRuns(listing->runs, keepChosen);
                return;
            }
            {
                QSignalBlocker quiet(LvwRuns);
                LvwRuns->clear();
            }
            m_runs.clear();
            m_model->clear();
            showReading(listing->error);
            updateButtons();
        });
}

void RestoreWindow::backupEnded(const QString& profile, const JobOutcome& outcome)
{
    const RestoreSource* s = source();
    if (!outcome.started || !s || s->profile != profile || !isVisible())
        return;
    if (!m_restoring)
        refreshRuns();
    else if (m_runner.jobNumber() != m_jobNumber) // a backup that ran before this restore
        m_runsLater = true;
}

void RestoreWindow::showRuns(const QList<RestoreRun>& runs, bool keepChosen)
{
    const RestoreRun* chosen = keepChosen ? chosenRun() : nullptr;
    const std::optional<RestoreRun> was = chosen ? std::optional(*chosen) : std::nullopt;
    QSignalBlocker quiet(LvwRuns);
    LvwRuns->clear();
    m_runs = runs;
    if (runs.isEmpty()) {
        m_model->clear();
        // Renamed: what it made under its former name is listed under that name.
        const QString folder = source() ? QDir::cleanPath(source()->set.folder) : QString();
        const bool earlier = std::any_of(m_sources.begin(), m_sources.end(), [&folder](const RestoreSource& s) {
            return s.sourceBase.isEmpty() && s.set.folder == folder;
        });
        showReading(earlier ? u"This profile has no backups yet. Earlier backups in " + visiblePath(folder)
                                  + u" are listed under the name of the profile that made them."
                            : QStringLiteral("This profile has no backups yet."));
        updateButtons();
        return;
    }
    QTreeWidgetItem* newest = nullptr;
    QTreeWidgetItem* same = nullptr;
    const qsizetype newestIndex = chooseRun(runs, QString());
    for (int i = 0; i < runs.size(); ++i) {
        const RestoreRun& run = runs[i];
        auto* item = new QTreeWidgetItem(LvwRuns);
        item->setText(0, runTimeText(run.start));
        item->setText(1, run.kind);
        // A run that cannot be restored holds no files to count, whatever it read once.
        item->setText(2, run.restorable ? formatCount(run.files) : QStringLiteral("\u2013"));
        item->setText(3, run.restorable ? formatSize(run.bytes) : QStringLiteral("\u2013"));
        item->setText(4, verifiedText(run));
        item->setText(5, runResultText(run));
        item->setData(0, Qt::UserRole, i);
        item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
        item->setTextAlignment(3, Qt::AlignRight | Qt::AlignVCenter);
        if (!run.restorable)
            item->setForeground(5, palette().brush(QPalette::Disabled, QPalette::Text));
        if (i == newestIndex)
            newest = item;
        if (was && run.id == was->id && run.archive == was->archive && run.start == was->start
            && run.restorable == was->restorable)
            same = item;
    }
    if (same) {
        LvwRuns->setCurrentItem(same);
        updateButtons();
        return;
    }
    quiet.unblock();
    if (newest) {
        LvwRuns->setCurrentItem(newest);
    } else {
        m_model->clear();
        showReading(QStringLiteral("None of these backups can be restored (see their results)."));
        updateButtons();
    }
}

void RestoreWindow::runChosen()
{
    m_model->clear();
    EdtFind->clear();
    const RestoreRun* run = chosenRun();
    const RestoreSource* s = source();
    if (!run || !s) {
        updateButtons();
        return;
    }
    if (!run->restorable) {
        showReading(u"This backup cannot be restored: " + whyNotRestorable(*run) + u'.');
        updateButtons();
        return;
    }
    m_runPassword = s->password;
    listFiles(QStringList {s->password} + m_givenPasswords, false);
}

void RestoreWindow::listFiles(const QStringList& passwords, bool again)
{
    const RestoreSource* s = source();
    const RestoreRun* run = chosenRun();
    if (!s || !run)
        return;
    showReading(ReadingText);
    updateButtons();
    struct Listing
    {
        QList<RestoreEntry> entries;
        QString password;
        QString error;
        QString lockedArchive;
        bool listed = false;
    };
    auto listing = std::make_shared<Listing>();
    RestoreRequest request;
    request.set = s->set;
    request.run = *run;
    IBackupEngine* engine = &m_engine;
    read(
        [engine, listing, request, passwords]() mutable {
            for (const QString& password : passwords) {
                request.password = password;
                try {
                    listing->entries = engine->ListFiles(request);
                    listing->password = password;
                    listing->listed = true;
                    listing->lockedArchive.clear();
                    return;
                } catch (const PasswordNeeded& needed) {
                    listing->lockedArchive = needed.archive;
                    listing->error = QString::fromUtf8(needed.what());
                } catch (const std::exception& error) {
                    listing->error = QString::fromUtf8(error.what());
                    return;
                }
            }
        },
        [this, listing, again] {
            if (!listing->lockedArchive.isEmpty()) {
                showReading(listing->error);
                const std::optional<QString> answer = RunPasswordDialog::ask(this, listing->lockedArchive, again);
                if (!answer) {
                    showReading(QStringLiteral("The files of this backup cannot be shown without its password. "
                                               "\"Restore\" asks for it again."));
                    updateButtons();
                    return;
                }
                listFiles({*answer}, true);
                return;
            }
            if (!listing->listed) {
                showReading(listing->error);
                updateButtons();
                return;
            }
            if (listing->password != source()->password && !m_givenPasswords.contains(listing->password))
                m_givenPasswords.prepend(listing->password);
            m_runPassword = listing->password;
            m_model->setEntries(listing->entries);
            TvwFiles->expandToDepth(0);
            showReading(QString());
            updateButtons();
        });
}

void RestoreWindow::read(std::function<void()> work, std::function<void()> then)
{
    if (m_reader) {
        // What is read now is of no use any more: the next reading replaces it.
        m_nextWork = std::move(work);
        m_nextDone = std::move(then);
        return;
    }
    m_readDone = std::move(then);
    m_reader = QThread::create(std::move(work));
    connect(m_reader, &QThread::finished, this, &RestoreWindow::readEnded);
    m_reader->start();
}

void RestoreWindow::readEnded()
{
    m_reader->wait();
    delete m_reader;
    m_reader = nullptr;
    std::function<void()> done = std::move(m_readDone);
    m_readDone = {};
    if (m_nextWork) {
        std::function<void()> work = std::move(m_nextWork);
        std::function<void()> then = std::move(m_nextDone);
        m_nextWork = {};
        m_nextDone = {};
        read(std::move(work), std::move(then));
        return;
    }
    done();
    if (!m_reader)
        emit readingDone();
}

void RestoreWindow::showReading(const QString& text)
{
    LblReading->setText(text);
    LblReading->setVisible(!text.isEmpty());
    TvwFiles->setEnabled(text.isEmpty() && !m_restoring);
}

void RestoreWindow::findChanged(const QString& text)
{
    m_filter->setFind(text);
    if (text.size() >= 2)
        TvwFiles->expandAll();
    else
        TvwFiles->expandToDepth(0);
}

void RestoreWindow::updateTicked()
{
    const QStringList ticked = m_model->tickedPaths();
    if (ticked.isEmpty())
        LblTicked->setText(NothingTicked);
    else if (ticked.size() == 1)
        LblTicked->setText(u"Ticked: " + visiblePath(ticked.front()) + u" (only what is ticked is restored).");
    else
        LblTicked->setText(formatCount(quint64(ticked.size())) + u" items ticked: only they are restored.");
}

void RestoreWindow::updateButtons()
{
    const RestoreRun* run = chosenRun();
    BtnRestore->setEnabled(!m_restoring && source() && run && run->usable && !m_reader);
    const bool idle = !m_restoring;
    CboProfile->setEnabled(idle);
    LvwRuns->setEnabled(idle);
    EdtTarget->setEnabled(idle);
    BtnBrowse->setEnabled(idle);
    RbOriginal->setEnabled(idle && (!source() || !source()->sourceBase.isEmpty()));
    RbOther->setEnabled(idle);
    CboExisting->setEnabled(idle);
}

void RestoreWindow::closeEvent(QCloseEvent* event)
{
    if (m_restoring && !m_cancelAsked) {
        if (!confirmCancel()) {
            event->ignore();
            return;
        }
        if (m_restoring) // it may have ended while the question was open: the window closes all the same
            cancelRestore();
    }
    QWidget::closeEvent(event);
}
