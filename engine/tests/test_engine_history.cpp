// What a run leaves for later runs: crashes, a damaged catalog, retention of archive chains.

#include "support/EngineFixture.h"

#include <sys/wait.h>
#include <unistd.h>

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
};

TEST_F(HistoryTest, CrashBeforeCommitLeavesCatalogAsItWas)
{
    job.setBackupType(NewAndModified);
    ASSERT_EQ(engine.RunJob(job), Success);
    const auto before = query("SELECT * FROM runs");
    const auto manifestBefore = query("SELECT COUNT(*) FROM manifest");

    // The power fails inside the catalog transaction, after the archive was renamed.
    advance(std::chrono::hours(1));
    modify(src / "a.txt", "after the crash", 1900000000);
    hooks.beforeCommit = [] { ::_exit(77); };
    setHooks();
    runAndCrash();
    EXPECT_EQ(query("SELECT * FROM runs"), before);
    EXPECT_EQ(query("SELECT COUNT(*) FROM manifest"), manifestBefore);

    // The next run still knows only the first run, and stores the change again.
    hooks.beforeCommit = {};
    advance(std::chrono::hours(1));
    ASSERT_EQ(engine.RunJob(job), Success);
    const auto listed = catalogArchives();
    ASSERT_EQ(listed.size(), 2u);
    for (const auto& name : listed)
        EXPECT_TRUE(fs::exists(dest / name)) << name;
    EXPECT_EQ(query("SELECT COUNT(*) FROM manifest m JOIN runs r ON r.id = m.archive_run"
                    " WHERE m.run_id = (SELECT MAX(id) FROM runs) AND m.path = 'a.txt' AND r.archive = '" +
                    listed[1] + "'")[0][0],
              "1");
}

TEST_F(HistoryTest, CrashWhileWritingLeavesATemporaryFileTheNextRunRemoves)
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

    // Other sets' temporary files and anything else are not this run's business.
    writeFile(dest / ".Documents 2_20261209-070000_full.zip.part", "another set");
    writeFile(dest / ".Documents_20261209-070000_full.zip.part.keep", "not ours");
    writeFile(dest / ".Documents_20261209-070000_full-3.zip.part", "an older crash of ours");
    writeFile(dest / "notes.txt", "the user's");

    engine.setWriteFaultHook({});
    advance(std::chrono::hours(1));
    ASSERT_EQ(engine.RunJob(job), Success);
    EXPECT_EQ(listFolder(dest), (std::vector<std::string> {".Documents 2_20261209-070000_full.zip.part",
                                                          ".Documents_20261209-070000_full.zip.part.keep",
                                                          "Documents_20261209-090013_full.zip", "notes.txt"}));
    EXPECT_EQ(catalogArchives(), std::vector<std::string> {"Documents_20261209-090013_full.zip"});
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

TEST_F(HistoryTest, UnusableCatalogFolderFailsTheRunAndWritesNothing)
{
    writeFile(data / "Catalogs", "a file where the folder should be");
    EXPECT_EQ(engine.RunJob(job), CatalogFailure);
    EXPECT_TRUE(listFolder(dest).empty());
    EXPECT_NE(engine.GetErrorText(0, CatalogFailure).find("Catalogs"), std::string::npos);
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
    EXPECT_EQ(query("SELECT COUNT(*) FROM manifest WHERE run_id NOT IN (SELECT id FROM runs)")[0][0], "0");
    EXPECT_NE(logText().find("retention deleted " + kept[0]), std::string::npos);
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
