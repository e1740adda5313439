// What a run makes of its sources: missing, empty, unreadable, vanishing while it reads
// them, and deeper than the kernel's longest path.

#include "support/ArchiveTools.h"
#include "support/EngineFixture.h"

#include <fcntl.h>
#include <fstream>
#include <unistd.h>

using namespace stowkeep::engine;
using namespace stowkeep::test;
namespace fs = std::filesystem;

namespace {

class SourceTest : public EngineFixture
{
};

TEST_F(SourceTest, SourceProblemsWriteNothing)
{
    FileSelection missing;
    missing.IncludeItem(src.string() + "/*", -1);
    missing.IncludeItem((tmp / "gone").string() + "/*", -1);
    job.setSelection(&missing);
    EXPECT_EQ(engine.RunJob(job), SourceNotFound);
    EXPECT_NE(engine.GetErrorText(0, SourceNotFound).find((tmp / "gone").string()), std::string::npos);
    // A file named where a folder belongs exists: it is named as a file, not as missing.
    FileSelection file;
    file.IncludeItem((src / "a.txt").string() + "/*", -1);
    job.setSelection(&file);
    EXPECT_EQ(engine.RunJob(job), SourceNotFound);
    EXPECT_NE(engine.GetErrorText(0, SourceNotFound).find("a.txt is a file, not a folder"), std::string::npos)
        << engine.GetErrorText(0, SourceNotFound);

    FileSelection emptySource;
    fs::create_directories(tmp / "blank/sub");
    emptySource.IncludeItem((tmp / "blank").string() + "/*", -1);
    job.setSelection(&emptySource);
    EXPECT_EQ(engine.RunJob(job), NothingToBackUp);
    // The same for an incremental run after a good one: an emptied source is no success.
    job.setSelection(&selection);
    job.setBackupType(NewAndModified);
    ASSERT_EQ(engine.RunJob(job), Success);
    FileSelection allExcluded;
    allExcluded.IncludeItem(src.string() + "/*", -1);
    allExcluded.ExcludeItem("*", -1);
    job.setSelection(&allExcluded);
    EXPECT_EQ(engine.RunJob(job), NothingToBackUp);
    EXPECT_EQ(archives().size(), 1u);
    EXPECT_EQ(query("SELECT result FROM runs ORDER BY id"),
              (std::vector<std::vector<std::string>> {{"3"}, {"3"}, {"4"}, {"0"}, {"4"}}));

    // The backup folder is the source folder, or holds all that was selected: the text says so.
    fs::create_directories(tmp / "holder/backups");
    FileSelection holder;
    holder.IncludeItem((tmp / "holder").string() + "/*", -1);
    job.setSelection(&holder);
    for (const auto& [folder, says] :
         {std::pair {tmp / "holder", "is the source folder"}, std::pair {tmp / "holder/backups", "lies inside"}}) {
        job.setBackupFolder(folder.string());
        EXPECT_EQ(engine.RunJob(job), NothingToBackUp);
        EXPECT_NE(engine.GetErrorText(0, NothingToBackUp).find(says), std::string::npos)
            << engine.GetErrorText(0, NothingToBackUp);
    }
}

TEST_F(SourceTest, UnreadableFileIsSkippedAndReported)
{
    job.setRetentionPeriod(0);
    ASSERT_EQ(engine.RunJob(job), Success);
    // Between the selection and the read, b.txt becomes something that cannot be read as a file.
    hooks.afterSelection = [this] {
        fs::remove(src / "b.txt");
        fs::create_directories(src / "b.txt");
    };
    now += std::chrono::hours(2);
    setHooks();
    EXPECT_EQ(engine.RunJob(job), SomeFilesUnreadable);
    const auto zips = archives();
    ASSERT_EQ(zips.size(), 2u); // the first is the newest successful run, and holds b.txt
    const auto stored = readArchive(dest / zips.back());
    EXPECT_FALSE(stored.count("b.txt"));
    EXPECT_EQ(stored.at("sub/c.bin"), readFile(src / "sub/c.bin"));
    const std::string text = engine.GetErrorText(0, SomeFilesUnreadable);
    EXPECT_NE(text.find("1 file"), std::string::npos) << text;
    EXPECT_NE(text.find((src / "b.txt").string()), std::string::npos) << text;
    EXPECT_NE(text.find(".log"), std::string::npos) << text;
    EXPECT_EQ(query("SELECT result, archive IS NOT NULL FROM runs ORDER BY id DESC LIMIT 1")[0],
              (std::vector<std::string> {"5", "1"}));
    for (const auto& row : catalogEntries(newestRun()))
        EXPECT_NE(row.path, "b.txt");
}

// A file written to while the run reads it is stored as it was read, which may mix old and
// new parts: the run says so, and the next run of new and modified files stores it again.
TEST_F(SourceTest, AFileChangedWhileItIsReadIsToldAndStoredAgain)
{
    job.setBackupType(NewAndModified);
    hooks.afterSelection = [this] { std::ofstream(src / "b.txt", std::ios::app) << "written meanwhile"; };
    setHooks();
    ASSERT_EQ(engine.RunJob(job), Success);
    EXPECT_NE(engine.LastRunNotices().find("1 file changed while it was read (" + (src / "b.txt").string() + ")"),
              std::string::npos)
        << engine.LastRunNotices();

    hooks.afterSelection = nullptr;
    now += std::chrono::hours(1);
    setHooks();
    ASSERT_EQ(engine.RunJob(job), Success);
    EXPECT_EQ(engine.LastRunNotices(), "");
    EXPECT_EQ(readArchive(dest / archives().back()).at("b.txt"), readFile(src / "b.txt"));
}

// In a run of new and modified files, a file that cannot be read stands as it was last
// backed up: the run restores it so, and the next run that can read it stores it again.
TEST_F(SourceTest, AFileThatCannotBeReadKeepsItsLastCopyInAnIncrementalRun)
{
    job.setBackupType(NewAndModified);
    ASSERT_EQ(engine.RunJob(job), Success);
    const std::string first = archives()[0];
    modify(src / "b.txt", "b, changed", 2000000001);
    hooks.afterSelection = [this] {
        fs::remove(src / "b.txt");
        fs::create_directories(src / "b.txt");
    };
    now += std::chrono::hours(1);
    setHooks();
    EXPECT_EQ(engine.RunJob(job), SomeFilesUnreadable);
    EXPECT_NE(engine.GetErrorText(0, SomeFilesUnreadable).find("this one keeps that copy"), std::string::npos);
    const auto rowOf = [this](const std::string& path) {
        for (const auto& row : catalogEntries(newestRun()))
            if (row.path == path)
                return row;
        return ManifestRow {};
    };
    EXPECT_EQ(rowOf("b.txt").archive, first);
    EXPECT_EQ(rowOf("b.txt").size, 70000u);

    RestoreJob restore;
    restore.setBackupFolder(dest.string());
    restore.setBackupSetName(job.backupSetName());
    restore.setRun(engine.ListRuns(restore).front());
    restore.setTargetFolder((tmp / "restored").string());
    RestoreReport report;
    ASSERT_EQ(engine.Restore(restore, report), Success);
    EXPECT_EQ(readFile(tmp / "restored/b.txt"), std::string(70000, 'b'));

    fs::remove_all(src / "b.txt");
    modify(src / "b.txt", "b, readable again", 2000000002);
    hooks.afterSelection = nullptr;
    now += std::chrono::hours(1);
    setHooks();
    ASSERT_EQ(engine.RunJob(job), Success);
    EXPECT_EQ(rowOf("b.txt").archive, archives().back());
    EXPECT_EQ(rowOf("b.txt").size, 17u);
}

// A source that goes away while the run reads it is no backup: the run fails, keeps no
// archive and leaves the last good run as the base of the next one. A few files that
// vanish (temporary files) are normal.
TEST_F(SourceTest, SourceThatVanishesDuringTheRunFailsIt)
{
    struct Case
    {
        const char* what;
        std::function<void()> change;
        int32_t result;
    };
    const Case cases[] = {
        {"removed", [this] { fs::rename(src, tmp / "moved away"); }, SourceNotFound},
        {"replaced by a copy",
         [this] {
             fs::rename(src, tmp / "moved away");
             fs::copy(tmp / "moved away", src, fs::copy_options::recursive);
         },
         SourceNotFound},
        {"most files gone",
         [this] {
             for (const char* f : {"b.txt", "sub/c.bin", "sub/deep/d.txt"})
                 fs::remove(src / f);
         },
         SourceNotFound},
        {"a temporary file gone", [this] { fs::remove(src / "b.txt"); }, Success},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dest);
        fs::remove_all(data);
        fs::create_directories(dest);
        job.setBackupType(FullBackup);
        hooks.afterSelection = {};
        setHooks();
        ASSERT_EQ(engine.RunJob(job), Success);
        const std::string good = archives()[0];
        const auto tree = readTree(src);

        hooks.afterSelection = c.change;
        now += std::chrono::hours(1);
        setHooks();
        EXPECT_EQ(engine.RunJob(job), c.result);
        // Restored, and changed: the next incremental run builds on the last good run.
        fs::remove_all(src);
        if (fs::exists(tmp / "moved away"))
            fs::rename(tmp / "moved away", src);
        for (const auto& [name, bytes] : tree)
            if (name.back() != '/' && !fs::exists(src / name))
                writeFile(src / name, bytes);
        if (c.result == Success) {
            EXPECT_EQ(archives().size(), 2u);
            continue;
        }
        EXPECT_EQ(listFolder(dest), std::vector<std::string> {good});
        EXPECT_NE(engine.GetErrorText(0, c.result).find("nothing of this run was kept"), std::string::npos)
            << engine.GetErrorText(0, c.result);
        hooks.afterSelection = {};
        now += std::chrono::hours(1);
        setHooks();
        modify(src / "a.txt", std::string("changed after: ") + c.what, 1900000000 + (&c - cases));
        job.setBackupType(NewAndModified);
        ASSERT_EQ(engine.RunJob(job), Success);
        const auto manifest = manifestOf(dest / archives().back());
        ASSERT_TRUE(manifest);
        EXPECT_EQ(manifest->header.base, good);
    }
}

// Between the listing and the read, another file takes a file's place. A folder on its way
// replaced by a link to files outside the source is never followed, even to files of the
// same size and time; a file saved anew is stored whole.
TEST_F(SourceTest, AFileInAnotherFilesPlaceIsNeverReadThroughALink)
{
    writeFile(src / "e.txt", "echo");
    writeFile(tmp / "outside/c.bin", std::string(200000, 'X'));
    fs::last_write_time(tmp / "outside/c.bin", fs::last_write_time(src / "sub/c.bin"));
    const std::string saved = "saved anew, longer than before " + std::string(80000, 'n');
    hooks.afterSelection = [&] {
        fs::rename(src / "sub", tmp / "sub moved");
        fs::create_directory_symlink(tmp / "outside", src / "sub");
        writeFile(tmp / "b.new", saved);
        fs::rename(tmp / "b.new", src / "b.txt");
    };
    setHooks();
    ASSERT_EQ(engine.RunJob(job), SomeFilesUnreadable);
    EXPECT_NE(engine.GetErrorText(0, SomeFilesUnreadable).find((src / "sub/c.bin").string()), std::string::npos);
    auto stored = readArchive(dest / archives().back());
    EXPECT_FALSE(stored.count("sub/c.bin"));
    EXPECT_TRUE(stored.at("b.txt") == saved) << "b.txt was not stored whole";

    // Put back: the next run stores what this one could not read.
    hooks.afterSelection = {};
    setHooks();
    fs::remove(src / "sub");
    fs::rename(tmp / "sub moved", src / "sub");
    now += std::chrono::hours(1);
    job.setBackupType(NewAndModified);
    ASSERT_EQ(engine.RunJob(job), Success);
    stored = readArchive(dest / archives().back());
    EXPECT_TRUE(stored.at("sub/c.bin") == readFile(src / "sub/c.bin"));
}

// Paths longer than the kernel's 4,096 bytes are backed up like any other.
TEST_F(SourceTest, PathsLongerThanTheSystemLimitAreBackedUp)
{
    fs::remove_all(src);
    fs::create_directories(src);
    // 24 folders of 200 bytes: made one inside the other, each by its parent's descriptor.
    std::string name;
    int folder = ::open(src.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder, 0);
    for (int i = 0; i < 24; ++i) {
        const std::string part = std::string(197, static_cast<char>('a' + i)) + std::to_string(100 + i);
        ASSERT_EQ(::mkdirat(folder, part.c_str(), 0755), 0);
        const int next = ::openat(folder, part.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(folder);
        ASSERT_GE(next, 0);
        folder = next;
        name += part + "/";
    }
    const int file = ::openat(folder, "deep.txt", O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(file, 0);
    ASSERT_EQ(::write(file, "at the bottom", 13), 13);
    ::close(file);
    ::close(folder);
    name += "deep.txt";
    ASSERT_GT((src / name).string().size(), 4096u);

    const int32_t rc = engine.RunJob(job);
    // rm copes with such paths; the temporary folder's own clean-up may not.
    const auto cleanUp = [this] { runCommand({"rm", "-rf", src.string()}); };
    ASSERT_EQ(rc, Success) << engine.GetErrorText(0, rc);
    const auto stored = readArchive(dest / archives()[0]);
    cleanUp();
    ASSERT_TRUE(stored.count(name));
    EXPECT_EQ(stored.at(name), "at the bottom");
}

} // namespace
