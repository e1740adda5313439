// What a run leaves for later runs: crashes, a damaged catalog, retention of archive chains.

#include "support/ArchiveTools.h"
#include "support/EngineFixture.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

using namespace stowkeep::engine;
using namespace stowkeep::test;
namespace fs = std::filesystem;

namespace {

class HistoryTest : public EngineFixture
{
protected:
    // Runs the job in a child process that dies at a point the hooks choose (by _exit).
    void runAndCrash()
    {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            engine.RunJob(job);
            ::_exit(0); // did not crash: the parent sees 0
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_EQ(WEXITSTATUS(status), 77) << "the run did not reach the crash point";
    }

    std::vector<std::string> catalogArchives() const
    {
        std::vector<std::string> names;
        for (const auto& row : query("SELECT archive FROM runs WHERE archive IS NOT NULL ORDER BY start_time"))
            names.push_back(row[0]);
        return names;
    }

    void advance(std::chrono::hours h)
    {
        now += h;
        setHooks();
    }

    void startAfresh()
    {
        fs::remove_all(dest);
        fs::remove_all(data);
        fs::create_directories(dest);
    }

    // Overwrites bytes of a file in place: its size stays.
    static void spoil(const fs::path& file, uint64_t offset, size_t count)
    {
        const int fd = ::open(file.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        const std::string junk(count, '\x5a');
        ASSERT_EQ(::pwrite(fd, junk.data(), junk.size(), static_cast<off_t>(offset)),
                  static_cast<ssize_t>(junk.size()));
        ::close(fd);
    }

    // Where the outer central directory of a (small) archive begins.
    static uint64_t outerDirectory(const fs::path& archive)
    {
        const std::string bytes = readFile(archive);
        const auto* end = reinterpret_cast<const unsigned char*>(bytes.data() + bytes.size() - 22);
        return end[16] | end[17] << 8 | end[18] << 16 | static_cast<uint64_t>(end[19]) << 24;
    }
};

TEST_F(HistoryTest, ArchiveOfARunThatCrashedBeforeItsCommitIsAdopted)
{
    job.setBackupType(NewAndModified);
    ASSERT_EQ(engine.RunJob(job), Success);
    const auto before = query("SELECT * FROM runs");

    // The power fails inside the catalog transaction, after the archive got its name.
    advance(std::chrono::hours(1));
    modify(src / "a.txt", "after the crash", 1900000000);
    hooks.beforeCommit = [] { ::_exit(77); };
    setHooks();
    runAndCrash();
    EXPECT_EQ(query("SELECT * FROM runs"), before);
    ASSERT_EQ(archives().size(), 2u);
    const std::string orphan = archives()[1];

    // The next run takes it in as the run it was, and finds nothing left to store.
    hooks.beforeCommit = {};
    advance(std::chrono::hours(1));
    ASSERT_EQ(engine.RunJob(job), Success);
    EXPECT_EQ(archives().size(), 2u);
    EXPECT_EQ(catalogArchives(), archives());
    EXPECT_NE(logText().find("Took " + (dest / orphan).string() + " into the catalog"), std::string::npos);
    for (const auto& row : catalogEntries(newestRun()))
        EXPECT_EQ(row.archive, row.path == "a.txt" ? orphan : archives()[0]) << row.path;

    // Retention deletes it like any other archive once it is due.
    advance(std::chrono::hours(48));
    job.setBackupType(FullBackup);
    job.setRetentionPeriod(24);
    ASSERT_EQ(engine.RunJob(job), Success);
    EXPECT_FALSE(fs::exists(dest / orphan));
    EXPECT_EQ(catalogArchives(), archives());
    EXPECT_EQ(archives().size(), 1u);
}

TEST_F(HistoryTest, OnlyTemporaryFilesThatARunOfOursBeganAreRemoved)
{
    uint64_t written = 0;
    engine.setWriteFaultHook([&](uint64_t bytes) {
        written += bytes;
        if (written > 100000)
            ::_exit(77);
        return 0;
    });
    runAndCrash();
    const auto leftovers = listFolder(dest);
    ASSERT_EQ(leftovers.size(), 1u);
    EXPECT_EQ(leftovers[0].front(), '.');
    EXPECT_TRUE(query("SELECT * FROM runs").empty());

    // Files that merely look like ours (a user's, another set's) are not this run's business.
    writeFile(dest / ".Documents 2_20261209-070000_full.zip.part", "another set");
    writeFile(dest / ".Documents_20261209-070000_full.zip.part.keep", "not ours");
    writeFile(dest / ".Documents_20200101-000000_full.zip.part", "the user's");
    writeFile(dest / "notes.txt", "the user's");

    engine.setWriteFaultHook({});
    advance(std::chrono::hours(1));
    ASSERT_EQ(engine.RunJob(job), Success);
    EXPECT_EQ(listFolder(dest), (std::vector<std::string> {".Documents 2_20261209-070000_full.zip.part",
                                                          ".Documents_20200101-000000_full.zip.part",
                                                          ".Documents_20261209-070000_full.zip.part.keep",
                                                          "Documents_20261209-090013_full.zip", "notes.txt"}));
    EXPECT_EQ(catalogArchives(), std::vector<std::string> {"Documents_20261209-090013_full.zip"});
    EXPECT_NE(logText().find("Left " + (dest / ".Documents_20200101-000000_full.zip.part").string() + " alone"),
              std::string::npos);
    EXPECT_TRUE(query("SELECT * FROM pending").empty());
}

TEST_F(HistoryTest, DamagedCatalogIsMovedAside)
{
    const fs::path catalog = catalogPath();
    writeFile(catalog, std::string(8192, 'G') + "not a database");
    ASSERT_EQ(engine.RunJob(job), Success);
    std::vector<std::string> aside;
    for (const auto& n : listFolder(catalog.parent_path()))
        if (n.rfind("catalog.db.corrupt-", 0) == 0)
            aside.push_back(n);
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(readFile(catalog.parent_path() / aside[0]), std::string(8192, 'G') + "not a database");
    EXPECT_EQ(catalogArchives().size(), 1u);
    EXPECT_NE(logText().find("moved aside"), std::string::npos);
}

// Damage that shows only when a page is read or written: the run goes on with a catalog
// rebuilt from the archives, and stays incremental.
TEST_F(HistoryTest, ZeroedPagesInTheCatalogAreHealed)
{
    // Pages 4 and 5 before the run (dd bs=4096 seek=3 count=2); during the run, the page
    // that only recording the run reads.
    for (const bool duringRun : {false, true}) {
        SCOPED_TRACE(duringRun ? "during the run" : "before the run");
        fs::remove_all(data);
        fs::remove_all(dest);
        fs::create_directories(dest);
        job.setBackupType(NewAndModified);
        ASSERT_EQ(engine.RunJob(job), Success);
        const int64_t first = duringRun ? std::stoll(query("SELECT rootpage FROM sqlite_master"
                                                           " WHERE name = 'sqlite_sequence'")[0][0]) - 1
                                        : 3;
        const int64_t count = duringRun ? 1 : 2;
        auto zeroPages = [&] {
            const int fd = ::open(catalogPath().c_str(), O_WRONLY);
            ASSERT_GE(fd, 0);
            const std::string zeros(static_cast<size_t>(count) * 4096, '\0');
            ASSERT_EQ(::pwrite(fd, zeros.data(), zeros.size(), first * 4096), static_cast<ssize_t>(zeros.size()));
            ::close(fd);
        };
        if (duringRun)
            hooks.beforeVerify = [&](const std::string&) { zeroPages(); };
        else
            zeroPages();
        setHooks();
        const std::string damaged = duringRun ? std::string() : readFile(catalogPath());

        advance(std::chrono::hours(1));
        modify(src / "a.txt", duringRun ? "changed again" : "changed", 1900000000 + duringRun);
        ASSERT_EQ(engine.RunJob(job), Success) << engine.GetErrorText(0, CatalogFailure);
        hooks.beforeVerify = {};
        setHooks();
        ASSERT_EQ(archives().size(), 2u);
        EXPECT_NE(archives()[1].find("_incremental"), std::string::npos);
        EXPECT_EQ(catalogArchives(), archives());
        std::vector<std::string> aside;
        for (const auto& n : listFolder(catalogPath().parent_path()))
            if (n.rfind("catalog.db.corrupt-", 0) == 0)
                aside.push_back(n);
        ASSERT_EQ(aside.size(), 1u);
        if (!duringRun) {
            EXPECT_TRUE(readFile(catalogPath().parent_path() / aside[0]) == damaged);
        }
        EXPECT_NE(logText().find("Rebuilt the catalog of this set from 1 archive"), std::string::npos);
    }
}

// Damage that SQLite reads without a word: rows out of order in a page, found again by an
// insert; a table's definition changed. The run goes on with a catalog rebuilt from the archives.
TEST_F(HistoryTest, DamageThatSQLiteDoesNotSeeIsHealed)
{
    job.setBackupType(NewAndModified);
    ASSERT_EQ(engine.RunJob(job), Success);
    advance(std::chrono::hours(1));
    modify(src / "a.txt", "changed", 1900000000);
    ASSERT_EQ(engine.RunJob(job), Success);
    const int64_t page = std::stoll(query("SELECT rootpage FROM sqlite_master WHERE name = 'entries'")[0][0]);
    std::fstream file(catalogPath(), std::ios::in | std::ios::out | std::ios::binary);
    std::string leaf(4096, '\0');
    file.seekg((page - 1) * 4096);
    file.read(leaf.data(), 4096);
    ASSERT_EQ(leaf[0], 0x0a); // a leaf: the table is this one page
    const size_t cells = static_cast<size_t>(static_cast<uint8_t>(leaf[3]) << 8 | static_cast<uint8_t>(leaf[4]));
    // Its first and last cells swapped in the page's array of cells.
    std::swap_ranges(leaf.begin() + 8, leaf.begin() + 10, leaf.begin() + 8 + 2 * static_cast<long>(cells - 1));
    file.seekp((page - 1) * 4096);
    file.write(leaf.data(), 4096);
    file.close();

    advance(std::chrono::hours(1));
    modify(src / "a.txt", "changed again", 1900000001);
    writeFile(src / "new.txt", "new");
    ASSERT_EQ(engine.RunJob(job), Success) << engine.GetErrorText(0, CatalogFailure);
    ASSERT_EQ(archives().size(), 3u);
    EXPECT_NE(archives()[2].find("_incremental"), std::string::npos);
    EXPECT_EQ(catalogArchives(), archives());
    EXPECT_NE(logText().find("moved aside"), std::string::npos);

    // A letter of a table's definition damaged: the catalog's own queries no longer compile.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(catalogPath().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "PRAGMA writable_schema = ON; UPDATE sqlite_master SET sql = replace(sql, 'medium_mount',"
                               " 'medium_mounu') WHERE name = 'runs'", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    advance(std::chrono::hours(1));
    modify(src / "a.txt", "changed once more", 1900000002);
    ASSERT_EQ(engine.RunJob(job), Success) << engine.GetErrorText(0, CatalogFailure);
    ASSERT_EQ(archives().size(), 4u);
    EXPECT_EQ(catalogArchives(), archives());
}

TEST_F(HistoryTest, DeletedCatalogIsRebuiltFromTheArchives)
{
    job.setEncryptionPassword("an old password");
    ASSERT_EQ(engine.RunJob(job), Success);
    advance(std::chrono::hours(1));
    job.setEncryptionPassword("the password");
    ASSERT_EQ(engine.RunJob(job), Success);
    writeFile(dest / "Documents_20200101-000000_full.zip", "not a zip at all");
    fs::remove(catalogPath());

    advance(std::chrono::hours(1));
    modify(src / "a.txt", "changed", 1900000000);
    job.setBackupType(NewAndModified);
    ASSERT_EQ(engine.RunJob(job), Success);
    const auto zips = archives();
    ASSERT_EQ(zips.size(), 4u);
    ASSERT_NE(zips[3].find("_incremental"), std::string::npos);
    auto stored = readArchive(dest / zips[3], "the password");
    stored.erase(".stowkeep-manifest.txt");
    EXPECT_EQ(stored, (std::map<std::string, std::string> {{"a.txt", "changed"}}));
    EXPECT_EQ(catalogArchives(), (std::vector<std::string> {zips[2], zips[3]}));
    std::string log = logText();
    EXPECT_NE(log.find("Rebuilt the catalog of this set from 1 archive"), std::string::npos);
    EXPECT_NE(log.find(zips[1] + " out of the catalog: this job's password does not open it"), std::string::npos);
    EXPECT_NE(log.find(zips[0] + " out of the catalog: it cannot be read"), std::string::npos);

    // What was left out is not opened again at every run.
    advance(std::chrono::hours(1));
    ASSERT_EQ(engine.RunJob(job), Success);
    EXPECT_EQ(logText().substr(log.size()).find("out of the catalog"), std::string::npos);
}

// A catalog of the version before manifests were stored as differences: its history stays,
// and the next run builds on it.
TEST_F(HistoryTest, CatalogOfTheEarlierVersionIsConverted)
{
    ASSERT_EQ(engine.RunJob(job), Success);
    const std::string full = archives()[0];
    const auto manifest = manifestOf(dest / full);
    ASSERT_TRUE(manifest);
    fs::remove(catalogPath());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(catalogPath().c_str(), &db), SQLITE_OK);
    std::string sql =
        "CREATE TABLE runs(id INTEGER PRIMARY KEY AUTOINCREMENT, set_name TEXT NOT NULL, folder TEXT NOT NULL,"
        " start_time INTEGER NOT NULL, end_time INTEGER NOT NULL, kind TEXT NOT NULL, archive TEXT,"
        " result INTEGER NOT NULL, files INTEGER NOT NULL, bytes INTEGER NOT NULL, files_written INTEGER NOT NULL,"
        " bytes_read INTEGER NOT NULL, bytes_written INTEGER NOT NULL, verified INTEGER,"
        " manifest_run INTEGER NOT NULL);"
        "CREATE INDEX runs_by_set ON runs(set_name, folder, start_time);"
        "CREATE TABLE manifest(run_id INTEGER NOT NULL, path TEXT NOT NULL, kind INTEGER NOT NULL,"
        " size INTEGER NOT NULL, mtime_ns INTEGER NOT NULL, crc INTEGER NOT NULL, archive_run INTEGER NOT NULL,"
        " PRIMARY KEY(run_id, path)) WITHOUT ROWID;";
    const std::string run = "'Documents', '" + dest.string() + "', " + std::to_string(manifest->header.startTime);
    sql += "INSERT INTO runs VALUES(1, " + run + ", 0, 'full', '" + full + "', 0, 7, 1, 7, 1, " +
           std::to_string(fs::file_size(dest / full)) + ", 1, 1);";
    sql += "INSERT INTO runs VALUES(2, " + run + ", 0, 'full', NULL, 6, 0, 0, 0, 0, 0, NULL, 2);";
    for (const auto& row : manifest->rows)
        sql += "INSERT INTO manifest VALUES(1, '" + row.path + "', " + std::to_string(static_cast<int>(row.kind)) +
               ", " + std::to_string(row.size) + ", " + std::to_string(row.mtimeNs) + ", " + std::to_string(row.crc) +
               ", 1);";
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);

    advance(std::chrono::hours(1));
    modify(src / "a.txt", "changed", 1900000000);
    job.setBackupType(NewAndModified);
    ASSERT_EQ(engine.RunJob(job), Success);
    ASSERT_EQ(archives().size(), 2u);
    auto stored = readArchive(dest / archives()[1]);
    stored.erase(".stowkeep-manifest.txt");
    EXPECT_EQ(stored, (std::map<std::string, std::string> {{"a.txt", "changed"}}));
    EXPECT_EQ(query("SELECT id, result, manifest_run FROM runs ORDER BY id"),
              (std::vector<std::vector<std::string>> {{"1", "0", "1"}, {"2", "6", "0"}, {"3", "0", "3"}}));
    EXPECT_EQ(query("PRAGMA user_version")[0][0], "3");
    EXPECT_NE(logText().find("converted"), std::string::npos);
    EXPECT_EQ(catalogEntries(1).size(), manifest->rows.size());
}

// A catalog of the version without the media, re-checks and failure texts gains their columns.
TEST_F(HistoryTest, CatalogOfVersionTwoGainsTheNewColumns)
{
    ASSERT_EQ(engine.RunJob(job), Success);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(catalogPath().c_str(), &db), SQLITE_OK);
    const char* sql = "ALTER TABLE runs DROP COLUMN checked; ALTER TABLE runs DROP COLUMN medium;"
                      " ALTER TABLE runs DROP COLUMN medium_mount; ALTER TABLE runs DROP COLUMN failure;"
                      " ALTER TABLE lines DROP COLUMN recheck_bytes; ALTER TABLE lines DROP COLUMN recheck_time;"
                      " PRAGMA user_version = 2;";
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
    advance(std::chrono::hours(1));
    modify(src / "a.txt", "changed", 1900000000);
    job.setBackupType(NewAndModified);
    ASSERT_EQ(engine.RunJob(job), Success);
    EXPECT_EQ(query("SELECT kind FROM runs ORDER BY id"), (std::vector<std::vector<std::string>> {{"full"}, {"incremental"}}));
    EXPECT_EQ(query("PRAGMA user_version")[0][0], "3");
}

TEST_F(HistoryTest, UnusableCatalogFolderFailsTheRunAndWritesNothing)
{
    writeFile(data / "Catalogs", "a file where the folder should be");
    EXPECT_EQ(engine.RunJob(job), CatalogFailure);
    EXPECT_TRUE(listFolder(dest).empty());
    EXPECT_EQ(engine.GetErrorText(0, CatalogFailure),
              "The backup catalog could not be read or written. The catalog folder " + (data / "Catalogs").string() +
                  " cannot be used: Not a directory. The log " + (data / "Logs").string() + "/2026-12-09.log has the details.");

    // A log that cannot be written is not pointed to.
    fs::remove_all(data / "Logs");
    writeFile(data / "Logs", "a file where the folder should be");
    EXPECT_EQ(engine.RunJob(job), CatalogFailure);
    EXPECT_EQ(engine.GetErrorText(0, CatalogFailure).find("The log"), std::string::npos);
}

TEST_F(HistoryTest, CatalogOnAFullDiskSaysSo)
{
    // The catalog on a small file system of its own, which only root may mount.
    const fs::path catalogs = data / "Catalogs";
    fs::create_directories(catalogs);
    if (::mount("tmpfs", catalogs.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a file system here";
    struct Unmount
    {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount {catalogs.string()};
    ASSERT_EQ(engine.RunJob(job), Success);
    std::ofstream(catalogs / "filler") << std::string(256 * 1024, 'x'); // as much of it as fits
    advance(std::chrono::hours(1));
    modify(src / "a.txt", "changed", 1900000000);
    EXPECT_EQ(engine.RunJob(job), CatalogFailure);
    EXPECT_NE(engine.GetErrorText(0, CatalogFailure).find("is full"), std::string::npos)
        << engine.GetErrorText(0, CatalogFailure);
    EXPECT_EQ(listFolder(dest).size(), 1u);
}

TEST_F(HistoryTest, RetentionKeepsWhatNewerRunsNeed)
{
    // Each step: hours since the start, the job's kind, the file changed before it.
    job.setBackupType(NewAndModified);
    struct Step
    {
        int hour;
        int type;
        const char* changes;
    };
    const Step steps[] = {
        {0, NewAndModified, nullptr},       // F1: full (nothing before)
        {10, NewAndModified, "a.txt"},      // I1: needs F1
        {20, NewAndModified, "b.txt"},      // I2: needs F1, I1
        {40, NewAndModified, nullptr},      // nothing changed: no archive
        {50, NewAndModified, "sub/c.bin"},  // I3: needs F1, I1, I2
    };
    const auto start = now;
    int version = 0;
    for (const auto& s : steps) {
        now = start + std::chrono::hours(s.hour);
        setHooks();
        if (s.changes) {
            ++version;
            modify(src / s.changes, "version " + std::to_string(version), 2000000000 + version);
        }
        job.setBackupType(s.type);
        job.setRetentionPeriod(24);
        ASSERT_EQ(engine.RunJob(job), Success) << s.hour;
    }
    // Everything older than a day is still needed by the newest run: nothing goes.
    EXPECT_EQ(catalogArchives().size(), 4u);
    EXPECT_EQ(archives().size(), 4u);

    // A full run at hour 60 frees the chain; runs of the last 24 hours stay (I3 at 50).
    writeFile(dest / "unrelated.zip", "the user's own");
    writeFile(dest / "Other_20261209-080013_full.zip", "another set");
    now = start + std::chrono::hours(60);
    setHooks();
    job.setBackupType(FullBackup);
    ASSERT_EQ(engine.RunJob(job), Success);
    const auto kept = catalogArchives();
    ASSERT_EQ(kept.size(), 5u) << "I3 still needs the chain";

    // At hour 80 the chain is more than a day older than the run: only the hour-60 full
    // run and this one stay.
    now = start + std::chrono::hours(80);
    setHooks();
    ASSERT_EQ(engine.RunJob(job), Success);
    const auto after = catalogArchives();
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0], kept[4]);
    for (const auto& gone : {kept[0], kept[1], kept[2], kept[3]})
        EXPECT_FALSE(fs::exists(dest / gone)) << gone;
    EXPECT_TRUE(fs::exists(dest / "unrelated.zip"));
    EXPECT_TRUE(fs::exists(dest / "Other_20261209-080013_full.zip"));
    EXPECT_EQ(query("SELECT COUNT(*) FROM runs")[0][0], "2");
    // Rows that no remaining run lists are gone: two full runs keep a row per item each.
    EXPECT_EQ(query("SELECT COUNT(*) FROM entries")[0][0], std::to_string(2 * catalogEntries(newestRun()).size()));
    EXPECT_NE(logText().find("retention deleted " + kept[0]), std::string::npos);
}

// An old run stays while the newest needs a file of its archive; once the archives that it
// needed itself are deleted, it is no longer offered as a backup to restore.
TEST_F(HistoryTest, RetentionLeavesNoRunOfferedThatCannotBeRestored)
{
    job.setBackupType(NewAndModified);
    job.setRetentionPeriod(1);
    ASSERT_EQ(engine.RunJob(job), Success); // 08:00, full
    advance(std::chrono::hours(1));
    modify(src / "b.txt", "b, second", 2000000001);
    ASSERT_EQ(engine.RunJob(job), Success); // 09:00: holds the only copy of that b.txt
    advance(std::chrono::hours(1));
    modify(src / "a.txt", "a, third", 2000000002);
    ASSERT_EQ(engine.RunJob(job), Success); // 10:00: its state needs 09:00's b.txt
    const auto names = archives();
    advance(std::chrono::hours(3));
    fs::remove(src / "b.txt");
    writeFile(src / "new.txt", "new");
    ASSERT_EQ(engine.RunJob(job), Success); // 13:00: needs 08:00 and 10:00, not 09:00

    EXPECT_FALSE(fs::exists(dest / names[1]));
    EXPECT_TRUE(fs::exists(dest / names[2]));
    RestoreJob listing;
    listing.setBackupFolder(dest.string());
    listing.setBackupSetName(job.backupSetName());
    const auto runs = engine.ListRuns(listing); // newest first
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_FALSE(runs[1].usable());
    EXPECT_EQ(runs[1].archive, names[2]);
    EXPECT_NE(runs[1].note.find("the older backups it needed were deleted"), std::string::npos) << runs[1].note;
    for (const size_t i : {size_t(0), size_t(2)}) {
        ASSERT_TRUE(runs[i].usable()) << i;
        RestoreJob restore = listing;
        restore.setRun(runs[i]);
        restore.setTargetFolder((tmp / ("restored" + std::to_string(i))).string());
        RestoreReport report;
        EXPECT_EQ(engine.Restore(restore, report), Success) << i;
    }
    EXPECT_EQ(readFile(tmp / "restored0/a.txt"), "a, third");
    EXPECT_EQ(readFile(tmp / "restored2/b.txt"), std::string(70000, 'b'));
}

// A run made while the clock was ahead is dated later than the runs made after it. It is
// no base for them, and retention keeps their newest, not it.
TEST_F(HistoryTest, ARunMadeWhileTheClockWasAheadIsNotTheNewest)
{
    job.setBackupType(NewAndModified);
    job.setRetentionPeriod(0);
    const auto start = now;
    now = start + std::chrono::hours(24 * 40);
    setHooks();
    ASSERT_EQ(engine.RunJob(job), Success);
    const std::string ahead = archives().back();

    // The clock set right: the runs that follow build on each other.
    std::vector<std::string> made;
    for (int hour : {0, 1}) {
        now = start + std::chrono::hours(hour);
        setHooks();
        modify(src / "a.txt", "version " + std::to_string(hour), 2000000000 + hour);
        ASSERT_EQ(engine.RunJob(job), Success);
        const auto names = catalogArchives();
        made.push_back(names[names.size() - 2]); // the one dated ahead sorts last
    }
    EXPECT_NE(made[0].find("_full"), std::string::npos) << made[0];
    const auto manifest = manifestOf(dest / made[1]);
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->header.base, made[0]);
    // Kept: the newest run made, what it needs, and the run dated ahead (not yet expired).
    EXPECT_EQ(catalogArchives(), (std::vector<std::string> {made[0], made[1], ahead}));
}

// An incremental run builds only on archives that are there, with their size and a list
// of entries that holds what it keeps from them; otherwise it is a full backup that says why.
TEST_F(HistoryTest, IncrementalBuildsOnlyOnArchivesThatAreWhole)
{
    struct Case
    {
        const char* password;
        std::function<void(const fs::path&)> damage;
        const char* says;
    };
    const Case cases[] = {
        {"", [](const fs::path& a) { fs::remove(a); }, "is missing"},
        {"", [](const fs::path& a) { fs::resize_file(a, fs::file_size(a) - 100); }, "has changed size"},
        // The end of the encrypted inner archive, where its list of entries is.
        {"pw", [](const fs::path& a) { spoil(a, outerDirectory(a) - 60, 40); }, "cannot be read"},
        {"", [this](const fs::path&) { job.setEncryptionPassword("set since"); }, "is not encrypted"},
        {"pw", [](const fs::path&) {}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says ? c.says : "whole");
        startAfresh();
        job.setBackupType(NewAndModified);
        job.setEncryptionPassword(c.password);
        ASSERT_EQ(engine.RunJob(job), Success);
        const fs::path full = dest / archives()[0];
        advance(std::chrono::hours(1));
        modify(src / "a.txt", "first change", 1900000000);
        ASSERT_EQ(engine.RunJob(job), Success);
        c.damage(full);

        advance(std::chrono::hours(1));
        modify(src / "a.txt", "second change", 1900000001);
        ASSERT_EQ(engine.RunJob(job), Success);
        const std::string newest = archives().back();
        const std::string text = engine.GetErrorText(0, Success);
        if (!c.says) {
            EXPECT_NE(newest.find("_incremental"), std::string::npos);
            EXPECT_EQ(text, "The backup finished successfully.");
            continue;
        }
        EXPECT_NE(newest.find("_full"), std::string::npos) << newest;
        EXPECT_NE(text.find("full backup instead of an incremental one: the earlier backup " + full.string() + " " +
                            c.says),
                  std::string::npos)
            << text;
        // The new run's state rests on its own archive alone.
        for (const auto& row : catalogEntries(newestRun()))
            EXPECT_EQ(row.archive, newest) << row.path;
    }
}

// Retention deletes nothing while an archive that the runs it keeps need is missing,
// changed or found damaged: the older copies it would delete may be all that is left.
TEST_F(HistoryTest, RetentionDeletesNothingWhileKeptArchivesAreNotWhole)
{
    struct Case
    {
        std::function<void(const fs::path&)> damage;
        const char* says;
    };
    const Case cases[] = {
        {nullptr, nullptr},
        {[](const fs::path& a) { fs::remove(a); }, "is missing"},
        {[](const fs::path& a) { writeFile(a, readFile(a) + "x"); }, "has changed size"},
        {[this](const fs::path& a) {
             sqlite3* db = nullptr;
             ASSERT_EQ(sqlite3_open(catalogPath().c_str(), &db), SQLITE_OK);
             const std::string sql = "UPDATE runs SET verified = 0 WHERE archive = '" + a.filename().string() + "'";
             ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
             sqlite3_close(db);
         },
         "failed its verification"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says ? c.says : "whole");
        startAfresh();
        const auto start = now;
        const auto runAt = [&](int hour, int type) {
            now = start + std::chrono::hours(hour);
            setHooks();
            job.setBackupType(type);
            ASSERT_EQ(engine.RunJob(job), Success) << hour;
        };
        job.setRetentionPeriod(-1);
        runAt(0, FullBackup);
        const std::string oldest = archives()[0];
        runAt(30, FullBackup);
        const fs::path kept = dest / archives()[1];
        modify(src / "a.txt", "changed", 1900000000);
        runAt(40, NewAndModified); // builds on the second full backup
        if (c.damage)
            c.damage(kept);
        // A day's retention keeps the runs of hours 30 and 40 and this one; hour 0's may go.
        job.setRetentionPeriod(24);
        runAt(50, FullBackup);
        EXPECT_EQ(fs::exists(dest / oldest), c.says != nullptr);
        if (c.says) {
            EXPECT_NE(engine.GetErrorText(0, Success).find("No old backup was deleted: the backup " + kept.string() +
                                                           ", which the backups that are kept need, " + c.says),
                      std::string::npos)
                << engine.GetErrorText(0, Success);
        }
        now = start;
    }
}

// An archive that cannot be read again for now (its drive fails) is not recorded as damaged:
// the run does not build on it, and a later run reads it again.
TEST_F(HistoryTest, AnArchiveThatCannotBeReadForNowIsNotRecordedAsDamaged)
{
    job.setBackupType(NewAndModified);
    ASSERT_EQ(engine.RunJob(job), Success);
    hooks.beforeVerify = [this](const std::string&) { engine.setReadFaultHook({}); }; // only the older archive fails
    setHooks();
    for (const int error : {EIO, 0}) {
        SCOPED_TRACE(error);
        advance(std::chrono::hours(24 * 30));
        modify(src / "a.txt", "changed " + std::to_string(error), 1900000000 + error);
        engine.setReadFaultHook([error](uint64_t) { return error; });
        ASSERT_EQ(engine.RunJob(job), Success);
        EXPECT_EQ(archives().back().find("_full") != std::string::npos, error != 0) << archives().back();
        EXPECT_EQ(query("SELECT verified FROM runs ORDER BY id LIMIT 1")[0][0], "1");
    }
}

// An older archive that a run reads again and cannot read is named to the user, though the
// run builds nothing on it.
TEST_F(HistoryTest, AnOlderArchiveThatCannotBeReadIsNamed)
{
    job.setVerifyAfterBackup(false);
    ASSERT_EQ(engine.RunJob(job), Success); // never verified: read again by a run that verifies
    const fs::path older = dest / archives()[0];
    job.setVerifyAfterBackup(true);
    advance(std::chrono::hours(1));
    ASSERT_EQ(engine.RunJob(job), Success); // begins the share of older archives to read again
    hooks.beforeVerify = [this](const std::string&) { engine.setReadFaultHook({}); };
    advance(std::chrono::hours(24 * 30));
    engine.setReadFaultHook([](uint64_t) { return EIO; });
    ASSERT_EQ(engine.RunJob(job), Success);
    EXPECT_NE(engine.GetErrorText(0, Success).find("Checking the earlier backup " + older.string() +
                                                   " again, it could not be read ("),
              std::string::npos)
        << engine.GetErrorText(0, Success);
}

// With verification on, runs read the set's older archives again, a share per run: damage
// that came later is found within three weeks, and the next backup is a full one.
TEST_F(HistoryTest, OlderArchivesAreReadAgainWithinThreeWeeks)
{
    job.setBackupType(NewAndModified);
    ASSERT_EQ(engine.RunJob(job), Success);
    const fs::path full = dest / archives()[0];
    {
        // Inside the data of sub/c.bin: the size and the list of entries stay as they were.
        zip::ZipReader reader(full.string(), "");
        for (const auto& e : reader.entries())
            if (e.name == "sub/c.bin")
                spoil(full, e.localHeaderOffset + e.compressedSize / 2, 16);
    }
    int foundOn = 0;
    for (int day = 1; day <= 30 && !foundOn; ++day) {
        advance(std::chrono::hours(24));
        modify(src / "a.txt", "day " + std::to_string(day), 1900000000 + day);
        ASSERT_EQ(engine.RunJob(job), Success) << day;
        if (archives().back().find("_full") != std::string::npos)
            foundOn = day;
    }
    // Not read again at every run, yet within three weeks of runs.
    EXPECT_GT(foundOn, 7);
    EXPECT_LE(foundOn, 22);
    const std::string text = engine.GetErrorText(0, Success);
    EXPECT_NE(text.find("the earlier backup " + full.string() + " is damaged"), std::string::npos) << text;
    // What the program tells the user of this successful run.
    EXPECT_NE(engine.LastRunNotices().find("full backup instead of an incremental one: the earlier backup " +
                                           full.string() + " is damaged"),
              std::string::npos)
        << engine.LastRunNotices();
    EXPECT_EQ(query("SELECT verified FROM runs WHERE archive = '" + full.filename().string() + "'"),
              (std::vector<std::vector<std::string>> {{"0"}}));
    // The incremental runs in between hold their sub/c.bin in the damaged archive.
    RestoreJob listing;
    listing.setBackupFolder(dest.string());
    listing.setBackupSetName(job.backupSetName());
    const auto runs = engine.ListRuns(listing); // newest first
    ASSERT_EQ(runs.size(), static_cast<size_t>(foundOn) + 1);
    EXPECT_EQ(runs.front().note, "");
    EXPECT_EQ(runs.back().note, "");
    EXPECT_EQ(runs.back().verified, std::optional<bool>(false));
    for (size_t i = 1; i + 1 < runs.size(); ++i)
        EXPECT_EQ(runs[i].note.rfind("some of its files are in the damaged backup of ", 0), 0u) << i;
}

// A file that cannot be read does not stop retention; the archive with its last copy stays.
TEST_F(HistoryTest, RetentionRunsAfterUnreadableFilesAndKeepsTheirLastCopy)
{
    ASSERT_EQ(engine.RunJob(job), Success); // the last copy of b.txt
    const std::string withB = archives()[0];
    FileSelection withoutB = selection;
    withoutB.ExcludeItem("b.txt", -1);
    job.setSelection(&withoutB);
    advance(std::chrono::hours(1));
    ASSERT_EQ(engine.RunJob(job), Success); // the newest successful run: no b.txt
    const std::string newestGood = archives()[1];

    // From now on b.txt is selected again but can never be read.
    job.setSelection(&selection);
    job.setRetentionPeriod(0);
    hooks.afterSelection = [this] {
        fs::remove(src / "b.txt");
        fs::create_directories(src / "b.txt");
    };
    std::string previous;
    for (int run = 0; run < 2; ++run) {
        advance(std::chrono::hours(1));
        EXPECT_EQ(engine.RunJob(job), SomeFilesUnreadable);
        fs::remove_all(src / "b.txt");
        writeFile(src / "b.txt", "readable again until the next run");
        if (run == 0) {
            ASSERT_EQ(archives().size(), 3u);
            previous = archives()[2];
        }
    }
    const auto left = archives();
    ASSERT_EQ(left.size(), 3u);
    EXPECT_EQ(left[0], withB);
    EXPECT_EQ(left[1], newestGood);
    EXPECT_NE(left[2], previous);
    EXPECT_NE(logText().find("retention deleted " + previous), std::string::npos);
}

// An old backup that cannot be deleted is named to the user, and deleted by a later run.
TEST_F(HistoryTest, OldBackupThatCannotBeDeletedIsNamed)
{
    job.setRetentionPeriod(-1);
    ASSERT_EQ(engine.RunJob(job), Success);
    const fs::path oldest = dest / archives()[0];
    fs::remove(oldest);
    fs::create_directory(oldest); // unlink() fails on it, as on a file that may not be deleted
    advance(std::chrono::hours(1));
    job.setRetentionPeriod(0);
    ASSERT_EQ(engine.RunJob(job), Success);
    EXPECT_NE(engine.GetErrorText(0, Success).find("1 old backup could not be deleted: " + oldest.string() + " ("),
              std::string::npos)
        << engine.GetErrorText(0, Success);
    EXPECT_EQ(catalogArchives().front(), oldest.filename().string());

    fs::remove(oldest);
    advance(std::chrono::hours(1));
    ASSERT_EQ(engine.RunJob(job), Success);
    EXPECT_EQ(engine.GetErrorText(0, Success).find("could not be deleted"), std::string::npos);
    EXPECT_EQ(catalogArchives().size(), 1u);
}

TEST_F(HistoryTest, RetentionOnlyAfterSuccessAndWhenAsked)
{
    struct Case
    {
        int retention;
        bool failRun;
        size_t archivesLeft;
    };
    // Period 0 keeps only the newest successful run; -1 keeps everything; a failed run
    // (verification) applies none.
    const Case cases[] = {{-1, false, 4}, {0, true, 3}, {0, false, 1}};
    for (const auto& c : cases) {
        fs::remove_all(dest);
        fs::create_directories(dest);
        fs::remove_all(data);
        for (int i = 0; i < 3; ++i) {
            advance(std::chrono::hours(1));
            job.setRetentionPeriod(-1);
            ASSERT_EQ(engine.RunJob(job), Success);
        }
        job.setRetentionPeriod(c.retention);
        if (c.failRun) {
            hooks.beforeVerify = [](const std::string& archive) { fs::resize_file(archive, 10); };
            setHooks();
        }
        advance(std::chrono::hours(1));
        EXPECT_EQ(engine.RunJob(job), c.failRun ? VerificationFailed : Success);
        hooks.beforeVerify = {};
        setHooks();
        EXPECT_EQ(archives().size(), c.archivesLeft + (c.failRun ? 1 : 0)) << c.retention;
    }
}

} // namespace
