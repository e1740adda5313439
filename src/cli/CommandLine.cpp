#include "CommandLine.h"

#include "Terminal.h"
#include "app/DataFolder.h"
#include "backup/EngineAdapter.h"
#include "backup/JobSetUp.h"
#include "backup/PathText.h"
#include "backup/RunStatus.h"
#include "profiles/ProfileStore.h"
#include "restore/RestoreSource.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Exit statuses, as --help and the help page list them.
enum Exit {
    Done = 0,           // everything asked for was restored (or listed)
    NotAllRestored = 1, // the summary names what was not restored and why
    UsageError = 2,
    NotFound = 3,       // no such profile, no such run, the backups cannot be read
    NoPassword = 4,     // no password given opens the backup
    Interrupted = 5,    // cancelled (Ctrl+C, SIGTERM): no half-written file is left
};

constexpr qint32 MediumNotAvailableCode = 2;
constexpr qint32 CatalogFailureCode = 8;
constexpr qint32 WrongPasswordCode = 10;
constexpr qint32 RunNotAvailableCode = 13;

const char* const HelpText =
    "Usage:\n"
    "  stowkeep                start Stowkeep in the notification area\n"
    "  stowkeep runs --profile NAME [--folder FOLDER]\n"
    "  stowkeep files --profile NAME [--folder FOLDER] [--at \"YYYY-MM-DD HH:MM\" | --run ID]\n"
    "  stowkeep restore --profile NAME [--folder FOLDER] [--at \"YYYY-MM-DD HH:MM\" | --run ID] [--to FOLDER]\n"
    "                   [--existing skip|keep-both|replace] [--password-file FILE] [PATH...]\n"
    "  stowkeep --help\n"
    "\n"
    "runs      lists the profile's backups, newest first, one per line: id, start time, kind,\n"
    "          files, bytes (\"-\" for a backup that cannot be restored), verified, result\n"
    "          (separated by tabs).\n"
    "files     lists the files, folders and links of one backup as they were: size in bytes\n"
    "          (\"-\" for a folder), modification time, path; folders end in \"/\". A line\n"
    "          break, tab or other control character in a name shows as its symbol (U+240A...),\n"
    "          a mark that turns the text's direction as U+FFFD.\n"
    "restore   restores files as they were at one backup.\n"
    "\n"
    "Options:\n"
    "  --profile NAME        the profile, by its name in Stowkeep's list; or the name a profile had\n"
    "                        when it made earlier backups (it was renamed or deleted since)\n"
    "  --folder FOLDER       of earlier backups of that name in several folders, those in FOLDER\n"
    "  --at \"YYYY-MM-DD HH:MM\"  the newest successful backup that started at or before that\n"
    "                        minute (the minute counts whole); without --at or --run, the newest\n"
    "  --run ID              the backup with that id (as \"runs\" shows it)\n"
    "  --to FOLDER           restore into FOLDER (created when missing); without it, into the\n"
    "                        profile's source folder (earlier backups of a name that no profile\n"
    "                        has now need --to)\n"
    "  --existing CHOICE     files that exist already: skip (the default) keeps them, keep-both\n"
    "                        restores a copy beside them (\"name (restored).ext\"), replace\n"
    "                        replaces them\n"
    "  --password-file FILE  the password of an encrypted backup made with another password than\n"
    "                        the profile's (the file's first line); without it, the password is\n"
    "                        asked on the terminal. Never given as an argument.\n"
    "  PATH...               files or folders to restore, relative to the source folder; none:\n"
    "                        everything\n"
    "\n"
    "Exit status:\n"
    "  0  everything asked for was restored (or listed)\n"
    "  1  not everything was restored: the summary names each file and why; or a backup\n"
    "     read is damaged, even when every file asked for came back whole; or a newer\n"
    "     backup than the one restored is damaged and was passed over (it is named)\n"
    "  2  the command line is wrong\n"
    "  3  no such profile or backup, or the backups cannot be read\n"
    "  4  no password given opens the backup\n"
    "  5  cancelled (Ctrl+C): files restored so far stay, none is left half-written\n";

volatile std::sig_atomic_t s_interrupted = 0;

extern "C" void onInterrupt(int)
{
    s_interrupted = 1;
}

void print(std::FILE* stream, const QString& text)
{
    // A name's bytes as they are on the disk, also those that are not UTF-8.
    std::fputs(pathToBytes(text).c_str(), stream);
    std::fputc('\n', stream);
}

struct Failure
{
    Exit status;
    QString text;
};

struct Options
{
    QString command;
    QString profile;
    QString folder;
    QString at;
    QString run;
    QString to;
    QString existing;
    QString passwordFile;
    QStringList paths;
    bool atGiven = false;
};

Options parse(const QStringList& args)
{
    Options o;
    o.command = args.value(0);
    if (o.command != u"runs" && o.command != u"files" && o.command != u"restore")
        throw Failure {UsageError, u"Unknown command \"" + o.command + u"\"."};
    const QStringList valued = {QStringLiteral("--profile"), QStringLiteral("--folder"),
                                QStringLiteral("--at"),      QStringLiteral("--run"),
                                QStringLiteral("--to"),      QStringLiteral("--existing"),
                                QStringLiteral("--password-file")};
    bool onlyPaths = false;
    for (qsizetype i = 1; i < args.size(); ++i) {
        QString arg = args[i];
        if (onlyPaths || !arg.startsWith(u"--")) {
            o.paths << arg;
            continue;
        }
        if (arg == u"--") {
            onlyPaths = true;
            continue;
        }
        QString value;
        bool hasValue = false;
        if (const qsizetype eq = arg.indexOf(u'='); eq > 0) {
            value = arg.mid(eq + 1);
            arg = arg.left(eq);
            hasValue = true;
        }
        if (arg == u"--password")
            throw Failure {UsageError, QStringLiteral("A password is never given as an argument (others could read "
                                                      "it): use --password-file, or answer the question.")};
        if (!valued.contains(arg))
            throw Failure {UsageError, u"Unknown option " + arg + u'.'};
        if (!hasValue) {
            if (i + 1 >= args.size())
                throw Failure {UsageError, arg + u" needs a value."};
            value = args[++i];
        }
        if (arg == u"--profile")
            o.profile = value;
        else if (arg == u"--folder")
            o.folder = QDir::cleanPath(QDir::current().absoluteFilePath(value));
        else if (arg == u"--at")
            o.at = value, o.atGiven = true;
        else if (arg == u"--run")
            o.run = value;
        else if (arg == u"--to")
            o.to = value;
        else if (arg == u"--existing")
            o.existing = value;
        else
            o.passwordFile = value;
    }
    if (o.profile.isEmpty())
        throw Failure {UsageError, o.command + u" needs --profile NAME."};
    if (o.atGiven && !o.run.isEmpty())
        throw Failure {UsageError, QStringLiteral("Give --at or --run, not both.")};
    if (o.command != u"restore" && (!o.paths.isEmpty() || !o.to.isEmpty() || !o.existing.isEmpty()))
        throw Failure {UsageError, u"Paths, --to and --existing belong to \"restore\", not to \"" + o.command + u"\"."};
    if (o.command == u"runs" && (o.atGiven || !o.run.isEmpty()))
        throw Failure {UsageError, QStringLiteral("\"runs\" lists every backup: it takes no --at or --run.")};
    return o;
}

// The profile of that name; or else the earlier backups of a set of that name that no
// profile makes now (its profile renamed or deleted, or its destination changed).
RestoreSource findSource(const Options& o, IBackupEngine& engine)
{
    const QString storePath = GetProfileStorePath();
    const ProfileStoreSnapshot store(ProfileStore {storePath});
    const QStringList names = store.sectionNames();
    QList<RestoreSource> profiles;
    for (const QString& section : names) {
        ProfileRecord record;
        record.Name = section;
        readProfileFields(store, section, record);
        profiles.append(restoreSourceOf(record));
    }
    // A profile of exactly that name, the earlier backups of that name, then a profile whose
    // name differs in letter case only (it may be the one renamed from "Docs" to "docs").
    const RestoreSource* exact = nullptr;
    const RestoreSource* caseless = nullptr;
    for (const RestoreSource& p : profiles)
        if (p.profile == o.profile)
            exact = &p;
        else if (!caseless && p.profile.compare(o.profile, Qt::CaseInsensitive) == 0)
            caseless = &p;
    const auto inFolder = [&o](const RestoreSource* p) {
        return p && (o.folder.isEmpty() || QDir::cleanPath(p->set.folder) == o.folder);
    };
    if (inFolder(exact))
        return *exact;
    QList<RestoreSource> earlier;
    for (const RestoreSource& s : earlierSources(engine.RestorableSets(), profiles))
        if (s.set.name == o.profile && (o.folder.isEmpty() || s.set.folder == o.folder))
            earlier.append(s);
    if (earlier.size() == 1)
        return earlier.front();
    if (earlier.size() > 1) {
        QStringList folders;
        for (const RestoreSource& s : earlier)
            folders << visiblePath(s.set.folder);
        throw Failure {UsageError, u"Earlier backups of \"" + o.profile + u"\" are in several folders ("
                                       + folders.join(QStringLiteral(", ")) + u"): choose one with --folder."};
    }
    if (inFolder(caseless))
        return *caseless;
    const RestoreSource* found = exact ? exact : caseless;
    if (found)
        throw Failure {NotFound, u"Profile \"" + found->profile + u"\" has no backups in " + visiblePath(o.folder) + u'.'};
    throw Failure {NotFound, u"There is no profile \"" + o.profile + u"\" in " + storePath + u"."
                                 + (names.isEmpty() ? QString() : u" Profiles: " + names.join(QStringLiteral(", ")))};
}

QString runLine(const RestoreRun& run)
{
    const QString id = run.id != 0 ? QString::number(run.id) : run.archive;
    // A run that cannot be restored holds no files to count, whatever it read once.
    const QString counts = !run.restorable ? QStringLiteral("-\t-\t")
                                           : QString::number(run.files) + (run.files == 1 ? u" file\t" : u" files\t")
                                                 + QString::number(run.bytes) + (run.bytes == 1 ? u" byte\t" : u" bytes\t");
    return id + u'\t' + runTimeText(run.start) + u'\t' + run.kind + u'\t' + counts + verifiedText(run) + u'\t'
           + runResultText(run);
}

RestoreRun chooseRunOf(const QList<RestoreRun>& runs, const Options& o)
{
    if (!o.run.isEmpty()) {
        bool number = false;
        const qint64 id = o.run.toLongLong(&number);
        for (const RestoreRun& run : runs) {
            if ((number && run.id == id && id != 0) || (!run.archive.isEmpty() && run.archive == o.run)) {
                if (!run.restorable)
                    throw Failure {NotFound, u"The backup " + o.run + u" cannot be restored: " + whyNotRestorable(run) + u'.'};
                return run;
            }
        }
        throw Failure {NotFound, u"There is no backup " + o.run + u" (\"stowkeep runs --profile NAME\" lists them)."};
    }
    const qsizetype index = chooseRun(runs, o.at);
    if (index == -2)
        throw Failure {UsageError, u"\"" + o.at + u"\" is not a valid time: write it as \"YYYY-MM-DD HH:MM\"."};
    if (index < 0)
        throw Failure {NotFound, o.atGiven ? u"No successful backup started at or before " + o.at + u'.'
                                           : QStringLiteral("There is no successful backup to restore from.")};
    return runs[index];
}

// The passwords of a backup made with another password than the profile's.
class Passwords
{
public:
    explicit Passwords(const QString& file)
    {
        if (file.isEmpty())
            return;
        QFile f;
        const int fd = ::open(pathToBytes(file).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || !f.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
            const QString why = QString::fromLocal8Bit(std::strerror(fd < 0 ? errno : EBADF));
            if (fd >= 0)
                ::close(fd);
            throw Failure {UsageError, u"Cannot read the password file " + visiblePath(file) + u": " + why};
        }
        QByteArray line = f.readLine();
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        m_fromFile = QString::fromUtf8(line);
    }

    std::optional<QString> ask(const QString& archive, bool again)
    {
        if (m_fromFile && !m_fileTried) {
            m_fileTried = true;
            return m_fromFile;
        }
        const bool fileFailed = m_fromFile.has_value();
        const QString opening = again || fileFailed ? QStringLiteral("That password does not open the backup ")
                                                    : QStringLiteral("The profile's password does not open the backup ");
        return promptPassword(opening + archive + u". Password: ");
    }

private:
    std::optional<QString> m_fromFile;
    bool m_fileTried = false;
};

QStringList relativePaths(const QStringList& paths, const QString& base)
{
    QStringList relative;
    for (const QString& given : paths) {
        QString path = QDir::cleanPath(given);
        if (QDir::isAbsolutePath(path)) {
            if (base.isEmpty())
                throw Failure {UsageError, u"\"" + given + u"\" is a full path, but the original folder of these "
                                               u"backups is not known: give it as \"stowkeep files\" lists it."};
            if (path == base)
                continue;
            if (!path.startsWith(base + u'/') && base != u"/")
                throw Failure {UsageError, u"\"" + given + u"\" is not inside the source folder " + base + u'.'};
            path = path.mid(base == u"/" ? 1 : base.size() + 1);
        }
        if (path == u"..") // cleanPath keeps leading ".." parts only
            throw Failure {UsageError, u"\"" + given + u"\" is outside the source folder."};
        if (path.startsWith(u"../"))
            throw Failure {UsageError, u"\"" + given + u"\" is outside the source folder."};
        if (path != u".")
            relative << path;
    }
    return relative;
}

ExistingFiles existingChoice(const QString& text)
{
    if (text.isEmpty() || text == u"skip")
        return ExistingFiles::Skip;
    if (text == u"keep-both")
        return ExistingFiles::KeepBoth;
    if (text == u"replace")
        return ExistingFiles::Replace;
    throw Failure {UsageError, u"--existing takes skip, keep-both or replace, not \"" + text + u"\"."};
}

int percentOf(const JobProgress& p)
{
    if (p.bytesTotal > 0)
        return int(std::min(p.bytesDone, p.bytesTotal) * 100 / p.bytesTotal);
    return p.filesTotal > 0 ? int(std::min(p.filesDone, p.filesTotal) * 100 / p.filesTotal) : 0;
}

int listFiles(IBackupEngine& engine, RestoreRequest request, Passwords& passwords)
{
    QList<RestoreEntry> entries;
    for (bool again = false;; again = true) {
        try {
            entries = engine.ListFiles(request);
            break;
        } catch (const PasswordNeeded& needed) {
            const std::optional<QString> answer = passwords.ask(needed.archive, again);
            if (!answer)
                throw Failure {NoPassword, QString::fromUtf8(needed.what())};
            request.password = *answer;
        }
    }
    // One line per entry: a line break, tab or escape sequence in a name is shown, not sent.
    for (const RestoreEntry& entry : entries) {
        const QString time = runTimeText(entry.modified);
        const QString path = withVisibleControls(entry.path);
        if (entry.kind == RestoreEntry::Kind::Folder)
            print(stdout, u"-\t" + time + u'\t' + path + u'/');
        else if (entry.kind == RestoreEntry::Kind::Link)
            print(stdout, QString::number(entry.size) + u'\t' + time + u'\t' + path + u" -> "
                              + withVisibleControls(entry.linkTarget));
        else
            print(stdout, QString::number(entry.size) + u'\t' + time + u'\t' + path);
    }
    return Done;
}

int restore(IBackupEngine& engine, const RestoreRequest& request, const QString& profile, Passwords& passwords)
{
    ProgressLine line;
    engine.setOnProgress([&](const JobProgress& progress) {
        // The signal only notes the request; the restore is cancelled from here, between files.
        if (s_interrupted)
            engine.cancelRunningJob();
        const int percent = percentOf(progress);
        const QString text = progressText(JobRunner::Kind::Restore, profile, progress, percent);
        line.show(text[0].toUpper() + text.mid(1), percent);
    });
    engine.setOnPassword([&](const QString& archive, bool again) { return passwords.ask(archive, again); });
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    auto result = std::make_shared<RestoreResult>();
    const qint32 code = engine.prepareRestore(request, result)();
    line.finish();
    print(stdout, restoreHeadline(*result));
    for (const QString& detail : restoreDetailLines(*result))
        print(stdout, detail);
    if (!result->notAuthenticated.isEmpty() && result->files > 0)
        print(stdout, QStringLiteral("Every restored file matched its checksum. The authentication code of an "
                                     "encrypted backup covers all of it and was not checked, since only part "
                                     "of it was restored."));
    if (code == 0)
        return Done;
    if (code == CancelledCode || s_interrupted)
        return Interrupted;
    if (code == MediumNotAvailableCode || code == CatalogFailureCode || code == RunNotAvailableCode)
        return NotFound; // the backups cannot be read: the drive is not there
    return code == WrongPasswordCode ? NoPassword : NotAllRestored;
}

int run(const Options& o)
{
    if (GetDataFolder().isEmpty())
        throw Failure {NotFound, QStringLiteral("Unable to find Stowkeep's data folder (set HOME or XDG_DATA_HOME).")};
    EngineAdapter engine;
    ConfigureEngine(engine, GetDataFolder());
    const RestoreSource source = findSource(o, engine);
    Passwords passwords(o.passwordFile);
    const ExistingFiles existing = existingChoice(o.existing);
    QList<RestoreRun> runs;
    try {
        runs = engine.ListRuns(source.set, source.password);
    } catch (const EngineFailure& failure) {
        throw Failure {NotFound, QString::fromUtf8(failure.what())};
    }
    if (o.command == u"runs") {
        if (runs.isEmpty())
            print(stderr, u"Profile \"" + source.profile + u"\" has no backups in " + source.set.folder + u'.');
        for (const RestoreRun& r : runs)
            print(stdout, runLine(r));
        return Done;
    }

    RestoreRequest request;
    request.set = source.set;
    request.password = source.password;
    request.run = chooseRunOf(runs, o);
    // A newer backup that cannot be restored (damaged) is passed over, and the user told so.
    QList<RestoreRun> newer;
    if (o.run.isEmpty())
        newer = passedOver(runs, request.run, o.at);
    for (const RestoreRun& run : newer)
        print(stderr, u"The newer backup of " + runTimeText(run.start) + u" cannot be restored: "
                          + whyNotRestorable(run) + u'.');
    if (o.command == u"files") {
        try {
            return listFiles(engine, request, passwords);
        } catch (const PasswordNeeded&) {
            throw;
        } catch (const EngineFailure& failure) {
            throw Failure {NotFound, QString::fromUtf8(failure.what())};
        }
    }
    if (source.sourceBase.isEmpty() && o.to.isEmpty())
        throw Failure {UsageError, u"No profile makes the backups of \"" + source.set.name + u"\" in "
                                       + visiblePath(source.set.folder)
                                       + u" now, so their original folder is not known: give --to FOLDER."};
    request.paths = relativePaths(o.paths, source.sourceBase);
    request.target = o.to.isEmpty() ? source.sourceBase : QDir::cleanPath(QDir::current().absoluteFilePath(o.to));
    request.existing = existing;
    print(stderr, u"Restoring the backup of " + runTimeText(request.run.start) + u" (" + request.run.kind + u") to "
                      + request.target);
    const int status = restore(engine, request, source.profile, passwords);
    return status == Done && !newer.isEmpty() ? NotAllRestored : status;
}

} // namespace

bool isCommandLine(int argc, char* argv[])
{
    if (argc < 2)
        return false;
    // A word is a command, known or not: a mistyped one must fail, not start the program in
    // the notification area (or show the running one) and end with success. Options with one
    // dash are Qt's own (-platform, -session).
    const QByteArray first = argv[1];
    return !first.startsWith('-') || first == "--help" || first == "-h";
}

int runCommandLine(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Stowkeep"));
    // Byte for byte: a file name that is not UTF-8 names that file (PathText.h), where
    // arguments() would have replaced its odd bytes.
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << pathFromBytes(argv[i]);
    if (args.value(0) == u"--help" || args.value(0) == u"-h" || args.value(0) == u"help" || args.contains(u"--help")) {
        std::fputs(HelpText, stdout);
        return Done;
    }
    try {
        return run(parse(args));
    } catch (const Failure& failure) {
        print(stderr, u"stowkeep: " + failure.text);
        if (failure.status == UsageError)
            print(stderr, QStringLiteral("Try \"stowkeep --help\"."));
        return failure.status;
    } catch (const std::exception& error) {
        print(stderr, u"stowkeep: " + QString::fromUtf8(error.what()));
        return NotFound;
    }
}
