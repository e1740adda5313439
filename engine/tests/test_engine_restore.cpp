// Restores of real backups: the state as of a run, encrypted sets, a lost catalog,
// archives made to escape, existing files, interruptions and damage.

#include "support/ArchiveTools.h"
#include "support/EngineFixture.h"

#include <zlib.h>

#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>

using namespace stowkeep::engine;
using namespace stowkeep::test;
namespace fs = std::filesystem;

namespace {

class RestoreTest : public EngineFixture
{
protected:
    RestoreJob restoreJob(const RunInfo& run, const fs::path& target) const
    {
        RestoreJob r;
        r.setBackupFolder(dest.string());
        r.setBackupSetName(job.backupSetName());
        r.setEncryptionPassword(job.encryptionPassword());
        r.setRun(run);
        r.setTargetFolder(target.string());
        return r;
    }

    std::vector<RunInfo> listRuns() { return engine.ListRuns(restoreJob({}, {})); }

    void advance(std::chrono::hours h)
    {
        now += h;
        setHooks();
    }

    // A full backup, then an hour later an incremental one with a.txt changed.
    void makeChain()
    {
        job.setBackupType(NewAndModified);
        ASSERT_EQ(engine.RunJob(job), Success);
        advance(std::chrono::hours(1));
        modify(src / "a.txt", "alpha, changed\n", 1900000000);
        ASSERT_EQ(engine.RunJob(job), Success);
    }

    static void setTime(const fs::path& path, int64_t seconds, long ns)
    {
        const timespec times[2] = {{seconds, ns}, {seconds, ns}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
    }

    // Every item below a folder: kind, mode, modification time to the nanosecond, and the
    // size and CRC of a file or the target of a link.
    static std::map<std::string, std::string> snapshot(const fs::path& root)
    {
        std::map<std::string, std::string> items;
        for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
            struct stat st {};
            EXPECT_EQ(::lstat(it->path().c_str(), &st), 0);
            char head[64];
            std::snprintf(head, sizeof head, "%04o %lld.%09ld ", st.st_mode & 07777,
                          static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec);
            std::string what = S_ISLNK(st.st_mode) ? "link -> " + fs::read_symlink(it->path()).string()
                               : S_ISDIR(st.st_mode) ? "folder" : "file ";
            if (S_ISREG(st.st_mode)) {
                const std::string data = readFile(it->path());
                what += std::to_string(data.size()) + " bytes, crc " +
                        std::to_string(crc32(0, reinterpret_cast<const Bytef*>(data.data()), data.size()));
            }
            items[it->path().lexically_relative(root).generic_string()] = head + what;
        }
        return items;
    }

    // Where an entry's data begins in a plain archive (after its local header).
    static uint64_t dataOffset(const fs::path& archive, uint64_t localHeader)
    {
        std::ifstream in(archive, std::ios::binary);
        unsigned char h[30];
        in.seekg(static_cast<std::streamoff>(localHeader));
        in.read(reinterpret_cast<char*>(h), sizeof h);
        return localHeader + 30 + (h[26] | h[27] << 8) + (h[28] | h[29] << 8);
    }

    static void flipByte(const fs::path& file, uint64_t offset)
    {
        std::fstream f(file, std::ios::binary | std::ios::in | std::ios::out);
        f.seekg(static_cast<std::streamoff>(offset));
        const char c = static_cast<char>(f.get() ^ 0x5a);
        f.seekp(static_cast<std::streamoff>(offset));
        f.put(c);
    }

    RestoreReport report;
};

TEST_F(RestoreTest, MiddleRunOfAChainComesBackExactly)
{
    fs::create_symlink("deep/d.txt", src / "sub/link");
    ASSERT_EQ(::chmod((src / "sub/deep").c_str(), 0750), 0);
    int64_t t = 1800000000;
    for (const char* p : {"a.txt", "b.txt", "sub/c.bin", "sub/deep/d.txt", "sub/link", "sub/deep", "sub", "empty"})
        setTime(src / p, t += 1000, 123456789);
    job.setBackupType(NewAndModified);
    ASSERT_EQ(engine.RunJob(job), Success);

    // Changed, deleted, renamed, chmod'ed, added: the middle run.
    advance(std::chrono::hours(1));
    modify(src / "a.txt", "alpha, changed\n", 1900000000);
    fs::remove(src / "b.txt");
    fs::rename(src / "sub/c.bin", src / "sub/c-renamed.bin");
    ASSERT_EQ(::chmod((src / "sub/deep/d.txt").c_str(), 0600), 0);
    writeFile(src / "new/n.txt", "new\n");
    fs::create_directories(src / "empty2");
    for (const char* p : {"new/n.txt", "new", "empty2", "sub"})
        setTime(src / p, t += 1000, 987654321);
    ASSERT_EQ(engine.RunJob(job), Success);
    const auto middle = snapshot(src);

    advance(std::chrono::hours(1));
    fs::remove(src / "a.txt");
    modify(src / "new/n.txt", "newer\n", 1900000500);
    fs::remove(src / "empty2");
    ASSERT_EQ(::chmod((src / "sub").c_str(), 0700), 0);
    ASSERT_EQ(engine.RunJob(job), Success);

    const auto runs = listRuns();
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].kind, "incremental");
    EXPECT_EQ(runs[2].kind, "full");
    EXPECT_EQ(runs[1].files, 5u);
    EXPECT_EQ(runs[1].folders, 5u);
    EXPECT_TRUE(runs[1].usable());
    const auto rows = engine.ListFiles(restoreJob(runs[1], {}));
    std::vector<std::string> listed;
    for (const auto& row : rows)
        listed.push_back(row.path);
    std::vector<std::string> expected;
    for (const auto& [path, what] : middle)
        expected.push_back(path);
    EXPECT_EQ(listed, expected);

    const fs::path target = tmp / "target";
    const int32_t code = engine.Restore(restoreJob(runs[1], target), report);
    ASSERT_EQ(code, Success) << engine.GetErrorText(0, code);
    EXPECT_EQ(snapshot(target), middle);
    EXPECT_EQ(report.files, 5u);
    EXPECT_EQ(report.folders, 5u);
    EXPECT_TRUE(report.failed.empty() && report.refused.empty() && report.skipped.empty());
}

TEST_F(RestoreTest, OfTwoRunsInOneSecondTheLaterIsTheNewest)
{
    ASSERT_NO_FATAL_FAILURE(makeChain());
    // In the same second, a full backup of a newer state: its name sorts before the other's.
    modify(src / "a.txt", "alpha, changed again\n", 1900000100);
    job.setBackupType(FullBackup);
    ASSERT_EQ(engine.RunJob(job), Success);

    const auto runs = listRuns();
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].startTime, runs[1].startTime);
    EXPECT_EQ(runs[0].kind, "full");
    const auto newest = FindNewestRun(runs);
    ASSERT_TRUE(newest);
    ASSERT_EQ(engine.Restore(restoreJob(*newest, tmp / "target"), report), Success);
    EXPECT_EQ(readFile(tmp / "target/a.txt"), "alpha, changed again\n");
}

// A disk image is mostly holes: it comes back with its holes, not as gigabytes of zeros
// written out, and with every byte and its length as they were.
TEST_F(RestoreTest, SparseFilesComeBackSparse)
{
    const fs::path image = src / "disk.img";
    {
        std::ofstream out(image, std::ios::binary);
        out << std::string(5000, 'x'); // data, then a hole
        out.seekp(8 << 20);
        out << "end of data"; // mid-block, then a hole to the end
    }
    fs::resize_file(image, (16 << 20) + 100);
    ASSERT_EQ(engine.RunJob(job), Success);
    ASSERT_EQ(engine.Restore(restoreJob(listRuns().front(), tmp / "target"), report), Success);
    const fs::path restored = tmp / "target/disk.img";
    EXPECT_EQ(readFile(restored), readFile(image));
    struct stat st {};
    ASSERT_EQ(::stat(restored.c_str(), &st), 0);
    EXPECT_LT(st.st_blocks * 512, 1 << 20) << "allocated";
}

TEST_F(RestoreTest, EncryptedRunsWithAPasswordChangedSince)
{
    job.setEncryptionPassword("first");
    ASSERT_NO_FATAL_FAILURE(makeChain());
    const auto expected = readTree(src);
    const auto names = archives();
    job.setEncryptionPassword("second");

    // The chain's password is asked for once, a wrong answer asked again, and a right one
    // serves every archive of the chain.
    std::vector<std::pair<std::string, bool>> asked;
    RestoreControl control;
    control.askPassword = [&](const std::string& archive, bool again) -> std::optional<std::string> {
        asked.emplace_back(archive, again);
        return again ? "first" : "wrong";
    };
    const RunInfo newest = listRuns().at(0);
    int32_t code = engine.Restore(restoreJob(newest, tmp / "all"), report, control);
    ASSERT_EQ(code, Success) << engine.GetErrorText(0, code);
    EXPECT_TRUE(sameTree(readTree(tmp / "all"), expected));
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0].first, asked[1].first);
    EXPECT_FALSE(asked[0].second);
    EXPECT_TRUE(asked[1].second);
    EXPECT_EQ(report.authenticated, names); // the whole run: every archive read whole

    // No answer: every file the archives hold is named as not restored.
    control.askPassword = [](const std::string&, bool) { return std::nullopt; };
    RestoreJob some = restoreJob(newest, tmp / "some");
    some.setPaths({"a.txt", "sub/deep/", "sub/dee"});
    EXPECT_EQ(engine.Restore(some, report, control), WrongPassword);
    EXPECT_TRUE(report.restored.empty());
    EXPECT_EQ(report.notInRun, std::vector<std::string> {"sub/dee"});
    ASSERT_EQ(report.failed.size(), 2u);
    EXPECT_EQ(report.failed[1].path, "sub/deep/d.txt");
    EXPECT_NE(engine.GetErrorText(0, WrongPassword).find(names[0]), std::string::npos);
    EXPECT_FALSE(fs::exists(tmp / "some")) << "folders made for files that no password opens";

    // Nothing the backup holds: no empty target folder is left behind.
    some.setPaths({"sub/dee", "../a.txt"});
    EXPECT_EQ(engine.Restore(some, report, control), SomeFilesNotRestored);
    EXPECT_EQ(report.notInRun.size() + report.refused.size(), 2u);
    EXPECT_FALSE(fs::exists(tmp / "some"));
}

TEST_F(RestoreTest, WithoutTheCatalogTheArchivesTellTheRuns)
{
    job.setBackupType(NewAndModified);
    job.setEncryptionPassword("pw");
    ASSERT_EQ(engine.RunJob(job), Success);
    advance(std::chrono::hours(1));
    modify(src / "a.txt", "alpha, changed\n", 1900000000);
    fs::remove(src / "b.txt");
    ASSERT_EQ(engine.RunJob(job), Success);
    const auto expected = readTree(src);
    fs::remove_all(data / "Catalogs");

    const auto runs = listRuns();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].id, 0);
    EXPECT_EQ(runs[0].archive, archives()[1]);
    EXPECT_EQ(runs[0].kind, "incremental");
    EXPECT_EQ(runs[0].files, 3u);
    EXPECT_EQ(runs[0].startTime, Clock::to_time_t(now));
    const int32_t code = engine.Restore(restoreJob(runs[0], tmp / "target"), report);
    ASSERT_EQ(code, Success) << engine.GetErrorText(0, code);
    EXPECT_TRUE(sameTree(readTree(tmp / "target"), expected));
    EXPECT_FALSE(fs::exists(data / "Catalogs")); // a restore only reads

    // Another password lists the runs by their names alone, and says why.
    RestoreJob other = restoreJob({}, {});
    other.setEncryptionPassword("other");
    const auto locked = engine.ListRuns(other);
    ASSERT_EQ(locked.size(), 2u);
    EXPECT_NE(locked[0].note.find("password"), std::string::npos);
    EXPECT_TRUE(locked[0].usable());

    // One backup copied over the other holds another's list of files, and is listed so.
    fs::copy_file(dest / archives()[1], dest / archives()[0], fs::copy_options::overwrite_existing);
    const auto copied = listRuns();
    ASSERT_EQ(copied.size(), 2u);
    EXPECT_EQ(copied[1].note, "its list of files is that of another backup (it was renamed, or copied over this one)");
    EXPECT_FALSE(copied[1].usable());

    // Chosen before it could be opened (another password, say), a backup cut short says so.
    fs::resize_file(dest / archives()[1], fs::file_size(dest / archives()[1]) / 2);
    EXPECT_EQ(engine.Restore(restoreJob(runs[0], tmp / "cut"), report), RunNotAvailable);
    const std::string why = engine.GetErrorText(0, RunNotAvailable);
    EXPECT_NE(why.find("cannot be restored: it is damaged ("), std::string::npos) << why;
}

// Rows lost from a damaged catalog, as SQLite may read them without a word: the archive's own
// list is read instead; a run without an archive of its own cannot be restored then.
TEST_F(RestoreTest, RowsLostFromTheCatalogAreReadFromTheArchive)
{
    ASSERT_NO_FATAL_FAILURE(makeChain());
    advance(std::chrono::hours(1));
    ASSERT_EQ(engine.RunJob(job), Success); // nothing new: no archive of its own
    const auto expected = readTree(src);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(catalogPath().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "DELETE FROM entries WHERE name = 'b.txt'", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);

    const auto runs = listRuns();
    ASSERT_EQ(runs.size(), 3u);
    ASSERT_EQ(engine.Restore(restoreJob(runs[1], tmp / "out"), report), Success);
    EXPECT_TRUE(sameTree(readTree(tmp / "out"), expected));
    EXPECT_NE(logText().find("The catalog is damaged"), std::string::npos);
    EXPECT_EQ(engine.Restore(restoreJob(runs[0], tmp / "none"), report), CatalogFailure);
    EXPECT_FALSE(fs::exists(tmp / "none"));
}

TEST_F(RestoreTest, NothingIsWrittenOutsideTheTarget)
{
    const fs::path outside = tmp / "outside";
    fs::create_directories(outside);
    // An archive of a set "Evil" whose list names paths that lead out, and a file below a link.
    ManifestHeader header;
    header.setName = "Evil";
    header.startTime = Clock::to_time_t(now);
    std::tm tm {};
    const std::time_t start = Clock::to_time_t(now);
    localtime_r(&start, &tm);
    header.utcOffset = static_cast<int>(tm.tm_gmtoff);
    header.kind = "full";
    const std::string name = "Evil_" + header.stamp() + "_full.zip";
    const std::vector<std::pair<std::string, std::string>> crafted = {
        {"../outside/up.txt", "up"}, {(outside / "abs.txt").string(), "absolute"}, {"ok/../../outside/mid.txt", "mid"},
        {"lnk", outside.string()}, {"lnk/through.txt", "through"}, {"nul", std::string("ok.txt\0/etc", 11)},
        {"ok.txt", "fine"}};
    header.entries = crafted.size();
    ManifestWriter manifest(header);
    std::vector<zip::EntrySource> entries;
    for (const auto& [path, content] : crafted) {
        const bool link = path == "lnk" || path == "nul";
        ManifestRow row;
        row.path = path;
        row.kind = link ? ManifestKind::Symlink : ManifestKind::File;
        row.mode = link ? (S_IFLNK | 0777) : (S_IFREG | 0644);
        const std::string& data = content;
        row.size = data.size();
        row.crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), data.size()));
        row.linkTarget = link ? data : "";
        row.archive = ".";
        manifest.add(row);
        zip::EntrySource e;
        e.name = path;
        e.kind = link ? zip::EntryKind::Symlink : zip::EntryKind::File;
        e.mode = row.mode;
        e.linkTarget = row.linkTarget;
        if (!link)
            e.content = std::make_shared<const std::string>(data);
        entries.push_back(std::move(e));
    }
    zip::EntrySource list;
    list.name = ".stowkeep-manifest.txt";
    list.content = std::make_shared<const std::string>(manifest.take());
    entries.push_back(std::move(list));
    writeArchive(dest / name, entries, {});

    job.setBackupSetName("Evil");
    const auto runs = listRuns();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(engine.Restore(restoreJob(runs[0], tmp / "target"), report), SomeFilesNotRestored);
    EXPECT_EQ(report.restored, (std::vector<std::string> {"lnk", "ok.txt"}));
    std::vector<std::string> refused;
    for (const auto& item : report.refused)
        refused.push_back(item.path);
    EXPECT_EQ(refused, (std::vector<std::string> {"../outside/up.txt", (outside / "abs.txt").string(),
                                                  "lnk/through.txt", "nul", "ok/../../outside/mid.txt"}));
    EXPECT_FALSE(fs::is_symlink(tmp / "target/nul")); // not a link to "ok.txt" alone
    EXPECT_EQ(fs::read_symlink(tmp / "target/lnk"), outside);

    // A link in the target where the run has a folder is not followed either.
    job.setBackupSetName("Documents");
    ASSERT_EQ(engine.RunJob(job), Success);
    fs::create_directories(tmp / "second");
    fs::create_directory_symlink(outside, tmp / "second/sub");
    EXPECT_EQ(engine.Restore(restoreJob(listRuns().at(0), tmp / "second"), report), SomeFilesNotRestored);
    ASSERT_EQ(report.skipped.size(), 1u);
    EXPECT_EQ(report.skipped[0].path, "sub");
    EXPECT_EQ(report.skipped[0].detail, "a link is in the way; the 3 items below it were not restored");
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_FALSE(fs::exists(tmp / "up.txt"));

    // Nor into the backup folder, where a restored file could take an archive's name.
    EXPECT_EQ(engine.Restore(restoreJob(listRuns().at(0), dest / "restored/"), report), InvalidJob);
    EXPECT_FALSE(fs::exists(dest / "restored"));
}

TEST_F(RestoreTest, ExistingFilesAreSkippedKeptBesideOrReplaced)
{
    ASSERT_EQ(engine.RunJob(job), Success);
    const RunInfo run = listRuns().at(0);
    struct Case
    {
        ExistingFiles choice;
        const char* a;     // a.txt afterwards
        const char* copy;  // the copy kept beside it, if any
        size_t restored;
    };
    for (const Case& c : {Case {ExistingFiles::Skip, "mine\n", nullptr, 1}, Case {ExistingFiles::KeepBoth, "mine\n", "alpha\n", 2},
                          Case {ExistingFiles::Replace, "alpha\n", nullptr, 3}}) {
        SCOPED_TRACE(static_cast<int>(c.choice));
        const fs::path target = tmp / ("target" + std::to_string(static_cast<int>(c.choice)));
        writeFile(target / "a.txt", "mine\n");
        fs::copy_file(src / "b.txt", target / "b.txt"); // as in the backup: same size and time
        struct stat st {};
        ASSERT_EQ(::stat((src / "b.txt").c_str(), &st), 0);
        setTime(target / "b.txt", st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
        fs::create_directories(target / "sub/c.bin/mine"); // a folder where the run has a file

        RestoreJob r = restoreJob(run, target);
        r.setExistingFiles(c.choice);
        EXPECT_EQ(engine.Restore(r, report), SomeFilesNotRestored);
        EXPECT_EQ(readFile(target / "a.txt"), c.a);
        EXPECT_EQ(fs::exists(target / "a (restored).txt"), c.copy != nullptr);
        if (c.copy) {
            EXPECT_EQ(readFile(target / "a (restored).txt"), c.copy);
            ASSERT_EQ(report.restoredAs.size(), 1u);
            EXPECT_EQ(report.restoredAs[0].detail, "a (restored).txt");
        }
        EXPECT_FALSE(fs::exists(target / "b (restored).txt"));
        EXPECT_EQ(report.restored.size() + report.restoredAs.size(), c.restored);
        EXPECT_TRUE(fs::is_directory(target / "sub/c.bin/mine"));
        EXPECT_EQ(report.skippedInTheWay, 1u);
        EXPECT_EQ(readFile(target / "sub/deep/d.txt"), "delta");
    }
}

TEST_F(RestoreTest, AnInterruptedRestoreLeavesNoPartialFile)
{
    for (int i = 0; i < 6; ++i)
        writeFile(src / ("big" + std::to_string(i) + ".bin"), binary(6 << 20, static_cast<uint32_t>(i)));
    job.setCompressionLevel(1);
    ASSERT_EQ(engine.RunJob(job), Success);
    const RunInfo run = listRuns().at(0);
    for (const int error : {0, ENOSPC}) {
        SCOPED_TRACE(error);
        std::atomic<bool> cancel {false};
        std::atomic<uint64_t> written {0};
        engine.setWriteFaultHook([&](uint64_t n) {
            if ((written += n) <= (uint64_t {8} << 20))
                return 0;
            cancel = error == 0;
            return error;
        });
        RestoreControl control;
        control.cancel = &cancel;
        const fs::path target = tmp / ("target" + std::to_string(error));
        EXPECT_EQ(engine.Restore(restoreJob(run, target), report, control), error ? CannotWriteTarget : Cancelled);
        size_t whole = 0;
        for (auto it = fs::recursive_directory_iterator(target); it != fs::recursive_directory_iterator(); ++it) {
            EXPECT_EQ(it->path().filename().string().rfind(".stowkeep", 0), std::string::npos) << it->path();
            if (it->is_regular_file()) {
                EXPECT_EQ(readFile(it->path()), readFile(src / it->path().lexically_relative(target)));
                ++whole;
            }
        }
        EXPECT_LT(whole, 10u);
        EXPECT_EQ(whole, report.files);
        if (error) {
            EXPECT_NE(engine.GetErrorText(0, CannotWriteTarget).find(std::strerror(ENOSPC)), std::string::npos);
        }
    }

    // A FAT32 drive refuses to let a file pass 4 GB: that file is not restored, and why is told.
    engine.setWriteFaultHook([](uint64_t) { return EFBIG; });
    EXPECT_EQ(engine.Restore(restoreJob(run, tmp / "fat32"), report), SomeFilesNotRestored);
    ASSERT_FALSE(report.failed.empty());
    EXPECT_NE(report.failed[0].detail.find("FAT32 holds files up to 4 GB"), std::string::npos) << report.failed[0].detail;

    // The backup's drive goes away during the restore: reading stops there, and what was not
    // restored is named with why, never as damaged.
    engine.setWriteFaultHook({});
    std::atomic<uint64_t> read {0};
    engine.setReadFaultHook([&](uint64_t n) { return (read += n) > (uint64_t {8} << 20) ? ENOTCONN : 0; });
    EXPECT_EQ(engine.Restore(restoreJob(run, tmp / "unplugged"), report), SomeFilesNotRestored);
    engine.setReadFaultHook({});
    EXPECT_NE(engine.GetErrorText(0, SomeFilesNotRestored).find("Reading the backup stopped"), std::string::npos);
    EXPECT_GE(report.failed.size(), 4u);
    for (const RestoreItem& item : report.failed)
        EXPECT_EQ(item.detail.find("damaged"), std::string::npos) << item.path << ": " << item.detail;

    // The caller's progress handler throws while files are being written: the workers stop
    // before the restore returns its failure.
    std::mutex mutex;
    std::condition_variable changed;
    bool writing = false, thrown = false;
    engine.setWriteFaultHook([&](uint64_t) {
        std::unique_lock lock(mutex);
        writing = true;
        changed.wait(lock, [&] { return thrown; });
        return 0;
    });
    RestoreControl control;
    control.onProgress = [&](const Progress&) {
        std::lock_guard lock(mutex);
        if (writing) {
            thrown = true;
            changed.notify_all();
            throw std::runtime_error("the window is gone");
        }
    };
    EXPECT_EQ(engine.Restore(restoreJob(run, tmp / "thrown"), report, control), SomeFilesNotRestored);
    EXPECT_NE(engine.GetErrorText(0, SomeFilesNotRestored).find("the window is gone"), std::string::npos);
    for (auto it = fs::recursive_directory_iterator(tmp / "thrown"); it != fs::recursive_directory_iterator(); ++it)
        EXPECT_EQ(it->path().filename().string().rfind(".stowkeep", 0), std::string::npos) << it->path();
}

TEST_F(RestoreTest, DamagedEntriesAndMissingArchivesNameTheirFiles)
{
    ASSERT_NO_FATAL_FAILURE(makeChain());
    const auto names = archives();
    const auto runs = listRuns();

    // A damaged entry: that file is named, the rest restored.
    const fs::path full = dest / names[0];
    zip::ZipEntry b;
    const zip::ZipReader plain(full.string(), "");
    for (const auto& e : plain.entries())
        if (e.name == "b.txt")
            b = e;
    flipByte(full, dataOffset(full, b.localHeaderOffset) + b.compressedSize / 2);
    EXPECT_EQ(engine.Restore(restoreJob(runs[0], tmp / "damaged"), report), SomeFilesNotRestored);
    ASSERT_EQ(report.failed.size(), 1u);
    EXPECT_EQ(report.failed[0].path, "b.txt");
    EXPECT_EQ(report.restored.size(), 3u);
    EXPECT_EQ(readFile(tmp / "damaged/a.txt"), "alpha, changed\n");
    EXPECT_FALSE(fs::exists(tmp / "damaged/b.txt"));

    // The incremental one's archive is gone: its one file is named as such.
    const fs::path incremental = dest / names[1];
    fs::rename(incremental, tmp / "aside.zip");
    EXPECT_EQ(engine.Restore(restoreJob(runs[0], tmp / "without-incremental"), report), ArchiveMissing);
    EXPECT_NE(engine.GetErrorText(0, ArchiveMissing).find("so the 1 file held there was not restored."),
              std::string::npos);
    fs::rename(tmp / "aside.zip", incremental);

    // The full backup's archive is gone: what the incremental one holds still comes back.
    fs::remove(full);
    EXPECT_EQ(engine.Restore(restoreJob(runs[0], tmp / "missing"), report), ArchiveMissing);
    EXPECT_EQ(report.restored, std::vector<std::string> {"a.txt"});
    EXPECT_EQ(report.failed.size(), 3u);
    EXPECT_TRUE(fs::is_directory(tmp / "missing/empty"));
    EXPECT_NE(engine.GetErrorText(0, ArchiveMissing).find(names[0]), std::string::npos);

    // None of them left: not only a drive that is not connected.
    fs::remove(incremental);
    EXPECT_EQ(engine.Restore(restoreJob(runs[0], tmp / "none"), report), MediumNotAvailable);
    EXPECT_NE(engine.GetErrorText(0, MediumNotAvailable)
                  .find(" holds none of the backups needed (" + names[0] + ", " + names[1] +
                        "): the drive may not be connected, or they were moved or deleted."),
              std::string::npos);
}

TEST_F(RestoreTest, AFewFilesOfAnEncryptedArchiveAreReadWithoutTheRest)
{
    writeFile(src / "big1.bin", binary(1 << 20, 1));
    writeFile(src / "big2.bin", binary(1 << 20, 2));
    job.setEncryptionPassword("pw");
    ASSERT_EQ(engine.RunJob(job), Success);
    const fs::path archive = dest / archives()[0];
    // Damage big1.bin's data inside the encrypted stream.
    uint64_t innerOffset = 0;
    const zip::ZipReader reader(archive.string(), "pw");
    for (const auto& e : reader.entries())
        if (e.name == "big1.bin")
            innerOffset = e.localHeaderOffset;
    const uint64_t cipherStart = dataOffset(archive, 0) + 18; // salt and password verifier
    flipByte(archive, cipherStart + innerOffset + 4096);

    RestoreJob some = restoreJob(listRuns().at(0), tmp / "some");
    some.setPaths({"big2.bin", "sub"});
    EXPECT_EQ(engine.Restore(some, report), Success);
    EXPECT_EQ(readFile(tmp / "some/big2.bin"), readFile(src / "big2.bin"));
    EXPECT_EQ(report.notAuthenticated, std::vector<std::string> {archives()[0]});

    // The whole run reads everything, and so checks the authentication code too.
    EXPECT_EQ(engine.Restore(restoreJob(listRuns().at(0), tmp / "all"), report), ArchiveDamaged);
    ASSERT_EQ(report.failed.size(), 1u);
    EXPECT_EQ(report.failed[0].path, "big1.bin");
    EXPECT_TRUE(report.authenticated.empty());
}

// An archive cut off (a copy that stopped, a damaged disk) loses its directory; what is
// left of it is found from the entries' own headers, checked, and the damage reported.
TEST_F(RestoreTest, ACutOffArchiveGivesBackWhatIsLeftOfIt)
{
    // Large files are written in blocks, their sizes after their data: deflated and stored.
    std::string text;
    for (int i = 0; text.size() < (3u << 20); ++i)
        text += "line " + std::to_string(i * 7919 % 100003) + " of a long text\n";
    writeFile(src / "big.txt", text);
    writeFile(src / "big.bin", binary(3 << 20, 3));
    ASSERT_NO_FATAL_FAILURE(makeChain());
    const fs::path full = dest / archives()[0];
    std::vector<zip::ZipEntry> entries = zip::ZipReader(full.string(), "").entries();
    std::sort(entries.begin(), entries.end(),
              [](const auto& x, const auto& y) { return x.localHeaderOffset > y.localHeaderOffset; });
    const auto cut = std::find_if(entries.begin(), entries.end(), [](const zip::ZipEntry& e) {
        return e.size > 0 && e.name != "a.txt" && e.name[0] != '.';
    });
    ASSERT_NE(cut, entries.end());
    fs::resize_file(full, dataOffset(full, cut->localHeaderOffset) + cut->compressedSize / 2);

    EXPECT_EQ(engine.Restore(restoreJob(listRuns().at(0), tmp / "out"), report), ArchiveDamaged);
    ASSERT_EQ(report.failed.size(), 1u);
    EXPECT_EQ(report.failed[0].path, cut->name);
    EXPECT_EQ(report.restored.size(), 5u);
    for (const std::string& path : report.restored)
        EXPECT_EQ(readFile(tmp / "out" / path), readFile(src / path)) << path;
    const std::string text0 = engine.GetErrorText(0, ArchiveDamaged);
    EXPECT_NE(text0.find(archives()[0] + " (not a zip archive"), std::string::npos) << text0;
    EXPECT_NE(text0.find("1 file was not found whole there"), std::string::npos) << text0;

    // Encrypted: the end cut off takes the outer directory, the authentication code and
    // the inner directory; every file is still there.
    fs::remove_all(dest);
    fs::create_directories(dest);
    job.setEncryptionPassword("pw");
    ASSERT_EQ(engine.RunJob(job), Success);
    const fs::path sealed = dest / archives()[0];
    fs::resize_file(sealed, fs::file_size(sealed) - 300);
    EXPECT_EQ(engine.Restore(restoreJob(listRuns().at(0), tmp / "sealed"), report), ArchiveDamaged);
    EXPECT_TRUE(report.failed.empty());
    EXPECT_EQ(report.restored.size(), 6u);
    for (const std::string& path : report.restored)
        EXPECT_EQ(readFile(tmp / "sealed" / path), readFile(src / path)) << path;
}

TEST(RunChoice, TheMinuteCountsWhole)
{
    const auto at = [](const char* text) { return ParseLocalMinute(text).value(); };
    const auto run = [&](int64_t id, const char* minute, int seconds, int32_t result) {
        RunInfo r;
        r.id = id;
        r.startTime = at(minute) + seconds;
        r.result = result;
        r.restorable = true;
        return r;
    };
    const std::vector<RunInfo> runs = {run(3, "2026-12-09 10:00", 5, CannotWriteDestination),
                                       run(2, "2026-12-09 09:00", 59, SomeFilesUnreadable),
                                       run(1, "2026-12-09 08:00", 13, Success)};
    const std::vector<std::pair<const char*, int64_t>> cases = {
        {"2026-12-09 07:59", 0}, {"2026-12-09 08:00", 1}, {"2026-12-09 08:59", 1},
        {"2026-12-09 09:00", 2}, {"2026-12-10 00:00", 2}};
    for (const auto& [minute, id] : cases) {
        const auto found = FindRunAt(runs, at(minute));
        EXPECT_EQ(found ? found->id : 0, id) << minute;
    }
    EXPECT_EQ(FindNewestRun(runs)->id, 2);
    for (const char* bad : {"2026-02-30 10:00", "2026-12-09 08:00x", "2026-12-09", "09.12.2026 08:00"})
        EXPECT_FALSE(ParseLocalMinute(bad)) << bad;
}

} // namespace
