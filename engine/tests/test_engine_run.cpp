// Whole runs: archives read back by the engine, libzip and 7-Zip; job checks, write
// faults, cancellation, verification, what the logs and the catalog hold.

#include "support/ArchiveTools.h"
#include "support/EngineFixture.h"
#include "zip/ZipReader.h"

#include <zip.h>
#include <zlib.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <regex>
#include <set>
#include <thread>

using namespace stowkeep::engine;
using namespace stowkeep::test;
namespace fs = std::filesystem;

namespace {

class RunTest : public EngineFixture
{
};

const std::string kManifest = ".stowkeep-manifest.txt";

// Regular files and links of a tree (7-Zip's way with folders and links differs).
std::map<std::string, std::string> filesOnly(const std::map<std::string, std::string>& tree)
{
    std::map<std::string, std::string> files;
    for (const auto& [name, bytes] : tree)
        if (name.back() != '/' && bytes.rfind("-> ", 0) != 0)
            files[name] = bytes;
    return files;
}

// Empty when the trees are equal; otherwise the names that differ (the contents can be large).
std::string treeDiff(const std::map<std::string, std::string>& got, const std::map<std::string, std::string>& want)
{
    std::string diff;
    for (const auto& [name, bytes] : want) {
        const auto it = got.find(name);
        if (it == got.end())
            diff += " missing:" + name;
        else if (it->second != bytes)
            diff += " differs:" + name + (bytes.size() < 40 ? "(" + it->second + " vs " + bytes + ")" : "");
    }
    for (const auto& [name, bytes] : got)
        if (!want.count(name))
            diff += " extra:" + name;
    return diff;
}

TEST_F(RunTest, FullBackupReadsBackIdenticallyEverywhere)
{
    ASSERT_EQ(::symlink("sub/deep/d.txt", (src / "link").c_str()), 0);
    struct Case
    {
        int level;
        std::string password;
    };
    const Case cases[] = {{0, ""}, {1, ""}, {6, ""}, {9, ""}, {6, "correct horse"}, {0, "x"}};
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE("level " + std::to_string(c.level) + (c.password.empty() ? "" : " with password"));
        now += std::chrono::hours(1);
        setHooks();
        job.setCompressionLevel(c.level);
        job.setEncryptionPassword(c.password);
        const int32_t rc = engine.RunJob(job);
        ASSERT_EQ(rc, Success) << engine.GetErrorText(0, rc);
        ++n;
        const auto zips = archives();
        ASSERT_EQ(zips.size(), static_cast<size_t>(n));
        const fs::path archive = dest / zips.back();
        EXPECT_TRUE(std::regex_match(zips.back(), std::regex(R"(Documents_\d{8}-\d{6}_full\.zip)"))) << zips.back();

        // Everything, folders and the link included, read back through the engine, and the
        // run's manifest beside it.
        auto stored = readArchive(archive, c.password);
        EXPECT_EQ(stored.erase(kManifest), 1u);
        EXPECT_EQ(treeDiff(stored, readTree(src)), "");
        if (!c.password.empty()) {
            // Neither the manifest nor any name in it shows without the password.
            const std::string raw = readFile(archive);
            for (const char* secret : {"Stowkeep manifest", "stowkeep-manifest", "sub/deep", "d.txt", "Documents\n"})
                EXPECT_EQ(raw.find(secret), std::string::npos) << secret;
        }

        // libzip: plain archives directly; an encrypted one holds the inner archive.
        std::vector<LibzipEntry> entries;
        std::string failure;
        ASSERT_TRUE(libzipReadAll(archive, c.password, entries, failure)) << failure;
        fs::path plain = archive;
        // Extracted beside the backup, the inner archive must never replace it.
        const std::string innerName = zips.back().substr(0, zips.back().size() - 4) + "-contents.zip";
        if (!c.password.empty()) {
            ASSERT_EQ(entries.size(), 1u);
            EXPECT_EQ(entries[0].name, innerName);
            EXPECT_TRUE(entries[0].encrypted);
            plain = tmp / "inner.zip";
            writeFile(plain, entries[0].data);
            ASSERT_TRUE(libzipReadAll(plain, "", entries, failure)) << failure;
        }
        std::map<std::string, std::string> viaLibzip;
        for (const auto& e : entries)
            if (e.name.back() != '/')
                viaLibzip[e.name] = e.data;
        auto expected = filesOnly(readTree(src));
        for (const auto& [name, bytes] : expected)
            EXPECT_EQ(viaLibzip[name], bytes) << name;

        // 7-Zip, byte for byte.
        const fs::path out = tmp / ("7z-" + std::to_string(n));
        ASSERT_EQ(sevenZipExtract(archive, out, c.password).exitCode, 0);
        fs::path tree = out;
        if (!c.password.empty()) {
            tree = tmp / ("7z-inner-" + std::to_string(n));
            ASSERT_EQ(sevenZipExtract(out / innerName, tree).exitCode, 0);
        }
        auto via7z = filesOnly(readTree(tree));
        EXPECT_EQ(via7z.erase(kManifest), 1u) << "7-Zip shows the manifest as one more entry";
        EXPECT_EQ(treeDiff(via7z, expected), "");
    }
    // Nothing else was left in the destination.
    EXPECT_EQ(listFolder(dest), archives());
}

TEST_F(RunTest, ArchiveNameFollowsSetTimeAndKind)
{
    job.setBackupSetName("My/Docs\x01: \"A|B\"?");
    ASSERT_EQ(engine.RunJob(job), Success);
    ASSERT_EQ(engine.RunJob(job), Success); // same second: a second name, nothing overwritten
    job.setBackupType(NewAndModified);
    modify(src / "a.txt", "changed", 1700000000);
    ASSERT_EQ(engine.RunJob(job), Success);
    EXPECT_EQ(archives(), (std::vector<std::string> {"My_Docs__ _A_B___20261209-080013_full-2.zip",
                                                     "My_Docs__ _A_B___20261209-080013_full.zip",
                                                     "My_Docs__ _A_B___20261209-080013_incremental.zip"}));
}

TEST_F(RunTest, IncrementalStoresOnlyWhatChanged)
{
    job.setBackupType(NewAndModified);
    ASSERT_EQ(engine.RunJob(job), Success); // no earlier run: counts as full
    ASSERT_EQ(archives().size(), 1u);
    const std::string full = archives()[0];
    EXPECT_NE(full.find("_full.zip"), std::string::npos);

    auto step = [this] {
        now += std::chrono::hours(1);
        setHooks();
    };
    // The files an archive holds, without folders and the manifest.
    auto filesIn = [this](const std::string& archive) {
        std::map<std::string, std::string> stored;
        for (const auto& [name, bytes] : readArchive(dest / archive))
            if (name.back() != '/' && name != kManifest)
                stored[name] = bytes;
        return stored;
    };
    step();
    modify(src / "a.txt", "alpha, second version", 1800000000);
    writeFile(src / "sub/new.txt", "new file");
    fs::remove(src / "b.txt");
    ASSERT_EQ(engine.RunJob(job), Success);
    ASSERT_EQ(archives().size(), 2u);
    const std::string incremental = archives()[1];
    EXPECT_EQ(treeDiff(filesIn(incremental), {{"a.txt", "alpha, second version"}, {"sub/new.txt", "new file"}}), "");

    // The run's state is whole: unchanged files point at the full archive.
    std::map<std::string, std::string> holders;
    for (const auto& row : catalogEntries(newestRun()))
        if (row.kind != ManifestKind::Directory)
            holders[row.path] = row.archive;
    EXPECT_EQ(holders, (std::map<std::string, std::string> {{"a.txt", incremental},
                                                            {"sub/c.bin", full},
                                                            {"sub/deep/d.txt", full},
                                                            {"sub/new.txt", incremental}}));

    // Nothing changed: a successful run without an archive.
    step();
    ASSERT_EQ(engine.RunJob(job), Success);
    EXPECT_EQ(archives().size(), 2u);
    const auto runs = query("SELECT kind, archive, result FROM runs ORDER BY id");
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[2], (std::vector<std::string> {"incremental", "NULL", "0"}));
    EXPECT_NE(logText().find("nothing changed"), std::string::npos);

    // A new mode alone is a change; the catalog grows by that one row.
    const auto rowsBefore = std::stoll(query("SELECT COUNT(*) FROM entries")[0][0]);
    fs::permissions(src / "sub/c.bin", fs::perms(0755));
    step();
    ASSERT_EQ(engine.RunJob(job), Success);
    ASSERT_EQ(archives().size(), 3u);
    EXPECT_EQ(filesIn(archives()[2]).count("sub/c.bin"), 1u);
    zip::ZipReader chmodded((dest / archives()[2]).string(), "");
    for (const auto& e : chmodded.entries()) {
        if (e.name == "sub/c.bin") {
            EXPECT_EQ(e.mode & 07777, 0755u);
        }
    }
    EXPECT_EQ(std::stoll(query("SELECT COUNT(*) FROM entries")[0][0]), rowsBefore + 1);

    // A deletion alone writes an archive too: its manifest is the state without the file.
    fs::remove(src / "sub/deep/d.txt");
    step();
    ASSERT_EQ(engine.RunJob(job), Success);
    ASSERT_EQ(archives().size(), 4u);
    const auto manifest = manifestOf(dest / archives()[3]);
    ASSERT_TRUE(manifest);
    for (const auto& row : manifest->rows)
        EXPECT_NE(row.path, "sub/deep/d.txt");

    // A full run takes everything again.
    step();
    job.setBackupType(FullBackup);
    ASSERT_EQ(engine.RunJob(job), Success);
    EXPECT_EQ(readArchive(dest / archives().back()).size(), readTree(src).size() + 1);
}

// Every name comes back from the manifest exactly, whatever bytes it holds, and a user's
// file named like the manifest stays the user's.
TEST_F(RunTest, ManifestListsTheRunExactly)
{
    fs::remove_all(src);
    const std::vector<std::string> odd = {"tab\there", "line\nbreak", "back\\slash", "bad\xff\xfe", "ünï cödé",
                                          "dir\r/x"};
    for (const auto& name : odd)
        writeFile(src / name, "content of " + name);
    writeFile(src / kManifest, "Stowkeep manifest 1\nnot really");
    ASSERT_EQ(::symlink("tab\there", (src / "link").c_str()), 0);
    ASSERT_EQ(engine.RunJob(job), Success);

    const fs::path archive = dest / archives()[0];
    zip::ZipReader reader(archive.string(), "");
    EXPECT_EQ(reader.entries().back().name, ".stowkeep-manifest-2.txt");
    EXPECT_EQ(readArchive(archive).at(kManifest), "Stowkeep manifest 1\nnot really");
    const auto manifest = manifestOf(archive);
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->header.setName, "Documents");
    EXPECT_EQ(manifest->header.kind, "full");
    EXPECT_EQ(manifest->header.stamp(), "20261209-080013");
    std::map<std::string, std::string> listed;
    for (const auto& row : manifest->rows) {
        EXPECT_EQ(row.archive, ".") << row.path;
        const fs::path item = src / row.path;
        struct stat st {};
        ASSERT_EQ(::lstat(item.c_str(), &st), 0) << row.path;
        EXPECT_EQ(row.mode, st.st_mode) << row.path;
        EXPECT_EQ(row.mtimeNs, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec) << row.path;
        std::string value = row.kind == ManifestKind::Directory ? "" : row.kind == ManifestKind::Symlink
                                                                          ? "-> " + row.linkTarget
                                                                          : readFile(item);
        const std::string content = row.kind == ManifestKind::Symlink ? row.linkTarget : value;
        EXPECT_EQ(row.crc, crc32(0, reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(content.size())));
        listed[row.path + (row.kind == ManifestKind::Directory ? "/" : "")] = value;
    }
    EXPECT_EQ(treeDiff(listed, readTree(src)), "");

    // The next run refers to the first archive for what it did not store again.
    modify(src / odd[0], "changed", 1900000000);
    job.setBackupType(NewAndModified);
    now += std::chrono::hours(1);
    setHooks();
    ASSERT_EQ(engine.RunJob(job), Success);
    const auto second = manifestOf(dest / archives()[1]);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->header.base, archives()[0]);
    for (const auto& row : second->rows)
        EXPECT_EQ(row.archive, row.path == odd[0] ? "." : archives()[0])
            << row.path;
}

TEST_F(RunTest, JobChecks)
{
    struct Case
    {
        std::string folder;
        std::string set;
        bool withSelection;
        bool withItem;
        std::string says;
    };
    const Case cases[] = {
        {"", "Docs", true, true, "no backup folder"},
        {dest.string(), "", true, true, "no backup set name"},
        {dest.string(), "Docs", false, true, "no item to back up"},
        {dest.string(), "Docs", true, false, "no item to back up"},
        {"relative/folder", "Docs", true, true, "not an absolute path"},
    };
    for (const auto& c : cases) {
        BackupJob j;
        FileSelection empty;
        j.setBackupFolder(c.folder);
        j.setBackupSetName(c.set);
        if (c.withSelection)
            j.setSelection(c.withItem ? &selection : &empty);
        EXPECT_EQ(engine.RunJob(j), InvalidJob) << c.says;
        EXPECT_NE(engine.GetErrorText(0, InvalidJob).find(c.says), std::string::npos)
            << engine.GetErrorText(0, InvalidJob);
    }
    EXPECT_TRUE(listFolder(dest).empty());
    EXPECT_THROW(engine.setLogDetailLevel(0), EngineError);
    EXPECT_THROW(engine.setLogDetailLevel(4), EngineError);
}

TEST_F(RunTest, ErrorTextsAreDistinctSentences)
{
    std::set<std::string> texts;
    for (int code = 0; code <= 9; ++code) {
        const std::string text = engine.GetErrorText(0, code);
        EXPECT_GT(text.size(), 20u) << code;
        EXPECT_EQ(text.back(), '.') << code;
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), 10u);
    EXPECT_NE(engine.GetErrorText(0, 42).find("42"), std::string::npos);
}

TEST_F(RunTest, WriteFailuresLeaveNothing)
{
    struct Case
    {
        uint64_t failAfter;
        int error;
        std::string password;
    };
    const Case cases[] = {{0, ENOSPC, ""}, {50000, ENOSPC, ""}, {100000, EIO, "pw"}, {1000, EDQUOT, ""}};
    for (const auto& c : cases) {
        uint64_t written = 0;
        engine.setWriteFaultHook([&](uint64_t bytes) {
            if (written + bytes > c.failAfter)
                return c.error;
            written += bytes;
            return 0;
        });
        job.setEncryptionPassword(c.password);
        EXPECT_EQ(engine.RunJob(job), CannotWriteDestination) << c.failAfter;
        EXPECT_TRUE(listFolder(dest).empty()) << c.failAfter;
    }
    EXPECT_NE(engine.GetErrorText(0, CannotWriteDestination).find("full"), std::string::npos);
    EXPECT_EQ(query("SELECT COUNT(*) FROM runs WHERE archive IS NOT NULL")[0][0], "0");
    // A FAT32 drive refuses to let a file pass 4 GB.
    engine.setWriteFaultHook([](uint64_t) { return EFBIG; });
    EXPECT_EQ(engine.RunJob(job), CannotWriteDestination);
    EXPECT_NE(engine.GetErrorText(0, CannotWriteDestination).find("FAT32 holds files up to 4 GB"), std::string::npos);
    engine.setWriteFaultHook({});
    EXPECT_EQ(engine.RunJob(job), Success);
}

// A full disk that strikes while the caller's progress hook runs is still a full disk,
// never a "cancelled" run that nobody asked for.
TEST_F(RunTest, WriteFailureDuringProgressIsNotCancelled)
{
    for (int i = 0; i < 40; ++i)
        writeFile(src / ("many/f" + std::to_string(i) + ".bin"), binary(300000, static_cast<uint32_t>(i)));
    job.setCompressionLevel(0);
    uint64_t written = 0;
    engine.setWriteFaultHook([&](uint64_t bytes) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        written += bytes;
        return written > 4000000 ? ENOSPC : 0;
    });
    RunControl control;
    control.onProgress = [](const Progress&) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); };
    EXPECT_EQ(engine.RunJob(job, control), CannotWriteDestination);
    EXPECT_TRUE(listFolder(dest).empty());
}

// Runs cancelled while the source is being listed give back every folder they opened.
TEST_F(RunTest, CancelledListingLeaksNoDescriptors)
{
    fs::path deep = src / "deep";
    for (int level = 0; level < 20; ++level)
        deep /= "level" + std::to_string(level);
    for (int i = 0; i < 50; ++i)
        writeFile(deep / ("f" + std::to_string(i)), "x");
    const auto openDescriptors = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
    };
    std::atomic<bool> cancel {true};
    RunControl control;
    control.cancel = &cancel;
    EXPECT_EQ(engine.RunJob(job, control), Cancelled); // the catalog and the log are open from here on
    const auto before = openDescriptors();
    for (int run = 0; run < 3; ++run)
        EXPECT_EQ(engine.RunJob(job, control), Cancelled);
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(RunTest, CancelledRunLeavesNothing)
{
    for (int cancelAfter : {0, 1, 3}) {
        std::atomic<bool> cancel {cancelAfter == 0};
        int reports = 0;
        RunControl control;
        control.cancel = &cancel;
        control.onProgress = [&](const Progress&) {
            if (++reports >= cancelAfter)
                cancel = true;
        };
        EXPECT_EQ(engine.RunJob(job, control), Cancelled) << cancelAfter;
        EXPECT_TRUE(listFolder(dest).empty()) << cancelAfter;
    }
    // Cancelled while the archive is verified: the log must not say it passed.
    std::atomic<bool> cancel = false;
    RunControl control;
    control.cancel = &cancel;
    hooks.beforeVerify = [&](const std::string&) { cancel = true; };
    setHooks();
    job.setVerifyAfterBackup(true);
    EXPECT_EQ(engine.RunJob(job, control), Cancelled);
    EXPECT_TRUE(listFolder(dest).empty());
    EXPECT_EQ(logText().find("verification passed"), std::string::npos) << logText();
    EXPECT_EQ(query("SELECT COUNT(*) FROM runs WHERE archive IS NOT NULL")[0][0], "0");

    // Inside a large file too: its check stops without reading it to its end.
    writeFile(src / "image.bin", binary(24 << 20, 9));
    selection.setFilesToProcess("");
    selection.IncludeItem((src / "image.bin").string(), -1);
    cancel = false;
    uint64_t readAfterCancel = 0;
    engine.setReadFaultHook([&](uint64_t n) {
        readAfterCancel += cancel ? n : 0;
        return 0;
    });
    EXPECT_EQ(engine.RunJob(job, control), Cancelled);
    EXPECT_LT(readAfterCancel, uint64_t {8} << 20);
}

TEST_F(RunTest, ProgressCountsFilesAndBytes)
{
    std::vector<Progress> seen;
    RunControl control;
    control.onProgress = [&](const Progress& p) { seen.push_back(p); };
    ASSERT_EQ(engine.RunJob(job, control), Success);
    ASSERT_FALSE(seen.empty());
    const Progress& last = seen.back();
    EXPECT_EQ(last.filesDone, last.filesTotal);
    EXPECT_EQ(last.bytesTotal, 6u + 70000u + 200000u + 5u);
    EXPECT_EQ(last.bytesDone, last.bytesTotal);
    bool named = false;
    for (const auto& p : seen) {
        EXPECT_LE(p.bytesDone, p.bytesTotal);
        named = named || p.currentFile == "sub/c.bin";
    }
    EXPECT_TRUE(named);
}

TEST_F(RunTest, DamageFoundByVerification)
{
    // Damage in the data; with a password, also in the authentication code alone (the last
    // bytes of the encrypted entry), which no entry's own check reads.
    const auto inData = [](std::string& bytes) { bytes[bytes.size() / 3] ^= 0x5A; };
    const auto inCode = [](std::string& bytes) {
        auto le = [&bytes](size_t at, int n) {
            size_t v = 0;
            for (int i = n; i-- > 0;)
                v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
            return v;
        };
        // The encrypted entry comes first; its sizes may be in its zip64 extra field.
        const size_t name = le(26, 2), extra = le(28, 2);
        size_t size = le(18, 4);
        for (size_t at = 30 + name; at + 4 <= 30 + name + extra; at += 4 + le(at + 2, 2))
            if (le(at, 2) == 1)
                size = le(at + 12, 8);
        bytes.at(30 + name + extra + size - 1) ^= 0x5A;
    };
    const std::vector<std::pair<std::string, std::function<void(std::string&)>>> cases = {
        {"", inData}, {"secret", inData}, {"secret", inCode}};
    for (const auto& [password, damage] : cases) {
        hooks.beforeVerify = [damage](const std::string& archive) {
            std::string bytes = readFile(archive);
            damage(bytes);
            writeFile(archive, bytes);
        };
        setHooks();
        job.setEncryptionPassword(password);
        EXPECT_EQ(engine.RunJob(job), VerificationFailed);
        now += std::chrono::minutes(1);
    }
    EXPECT_EQ(query("SELECT result, verified FROM runs ORDER BY id"),
              (std::vector<std::vector<std::string>> {{"7", "0"}, {"7", "0"}, {"7", "0"}}));
    EXPECT_NE(logText().find("Verification: "), std::string::npos);
    EXPECT_NE(engine.GetErrorText(0, VerificationFailed).find("failed verification"), std::string::npos);

    // A drive that fails to read the archive back is named as such, not as entries that differ.
    for (const std::string password : {"", "secret"}) {
        hooks.beforeVerify = [this](const std::string&) { engine.setReadFaultHook([](uint64_t) { return EIO; }); };
        setHooks();
        job.setEncryptionPassword(password);
        EXPECT_EQ(engine.RunJob(job), VerificationFailed);
        const std::string text = engine.GetErrorText(0, VerificationFailed);
        EXPECT_NE(text.find("could not be read back to verify it"), std::string::npos) << text;
        EXPECT_NE(text.find(std::strerror(EIO)), std::string::npos) << text;
        EXPECT_EQ(text.find("differ"), std::string::npos) << text;
        engine.setReadFaultHook({});
        now += std::chrono::minutes(1);
    }

    // An unverified run is no base: the next incremental run stores everything.
    hooks.beforeVerify = {};
    setHooks();
    job.setBackupType(NewAndModified);
    ASSERT_EQ(engine.RunJob(job), Success);
    EXPECT_NE(archives().back().find("_full"), std::string::npos);
    EXPECT_EQ(query("SELECT verified FROM runs ORDER BY id DESC LIMIT 1")[0][0], "1");
}

TEST_F(RunTest, WrongPasswordIsRefused)
{
    job.setEncryptionPassword("right one");
    ASSERT_EQ(engine.RunJob(job), Success);
    const fs::path archive = dest / archives()[0];
    EXPECT_THROW(zip::ZipReader(archive.string(), "wrong one"), zip::WrongPassword);
    EXPECT_THROW(zip::ZipReader(archive.string(), ""), zip::ZipError);
    EXPECT_EQ(libzipReadError(archive, "wrong one"), ZIP_ER_WRONGPASSWD);
    EXPECT_NE(sevenZipTest(archive, "wrong one").exitCode, 0);
    EXPECT_EQ(sevenZipTest(archive, "right one").exitCode, 0);
}

TEST_F(RunTest, PasswordNeverWrittenToLogOrCatalog)
{
    const std::string password = "Zq7-unusual-Passphrase";
    job.setEncryptionPassword(password);
    ASSERT_EQ(engine.RunJob(job), Success);
    hooks.beforeVerify = [](const std::string& archive) { fs::resize_file(archive, 100); };
    setHooks();
    EXPECT_EQ(engine.RunJob(job), VerificationFailed);
    engine.setWriteFaultHook([](uint64_t) { return EIO; });
    EXPECT_EQ(engine.RunJob(job), CannotWriteDestination);

    std::string hex;
    for (unsigned char c : password) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", c);
        hex += two;
    }
    int files = 0;
    for (const auto& e : fs::recursive_directory_iterator(data)) {
        if (!e.is_regular_file())
            continue;
        ++files;
        const std::string bytes = readFile(e.path());
        EXPECT_EQ(bytes.find(password), std::string::npos) << e.path();
        EXPECT_EQ(bytes.find(hex), std::string::npos) << e.path();
    }
    EXPECT_GE(files, 2); // the catalog and a log at least
    for (int code = 0; code <= 9; ++code)
        EXPECT_EQ(engine.GetErrorText(0, code).find(password), std::string::npos);
}

// The catalog and the logs name the user's files: only the user can read them, whatever
// the data folder around them allows.
TEST_F(RunTest, CatalogAndLogsAreTheUsersAlone)
{
    const fs::path log = data / "Logs" / "2026-12-09.log";
    writeFile(log, "an earlier line\n");
    fs::permissions(data, fs::perms(0755));
    fs::permissions(data / "Logs", fs::perms(0755));
    fs::permissions(log, fs::perms(0644));
    const mode_t umask = ::umask(022);
    const int32_t rc = engine.RunJob(job);
    ::umask(umask);
    ASSERT_EQ(rc, Success);
    const auto mode = [](const fs::path& path) {
        struct stat st {};
        EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
        return st.st_mode & 07777;
    };
    EXPECT_EQ(mode(data / "Catalogs"), 0700u);
    EXPECT_EQ(mode(data / "Logs"), 0700u);
    for (const auto& name : listFolder(data / "Catalogs"))
        EXPECT_EQ(mode(data / "Catalogs" / name), 0600u) << name;
    EXPECT_EQ(mode(log), 0600u);
    EXPECT_EQ(readFile(log).rfind("an earlier line\n", 0), 0u);
}

TEST_F(RunTest, LogLevelsAndDailyFile)
{
    ASSERT_EQ(::mkfifo((src / "pipe").c_str(), 0600), 0);
    struct Case
    {
        int level;
        bool warnings;
        bool perFile;
    };
    for (const Case c : {Case {1, false, false}, Case {2, true, false}, Case {3, true, true}}) {
        fs::remove_all(data / "Logs");
        engine.setLogDetailLevel(c.level);
        ASSERT_EQ(engine.RunJob(job), Success);
        EXPECT_EQ(listFolder(data / "Logs"), std::vector<std::string> {"2026-12-09.log"});
        const std::string log = logText();
        EXPECT_NE(log.find("started"), std::string::npos);
        EXPECT_NE(log.find("finished"), std::string::npos);
        EXPECT_NE(log.find("bytes written"), std::string::npos);
        EXPECT_NE(log.find("verification passed"), std::string::npos);
        EXPECT_EQ(log.find("WARNING Skipped " + (src / "pipe").string()) != std::string::npos, c.warnings) << c.level;
        EXPECT_EQ(log.find("Stored sub/c.bin") != std::string::npos, c.perFile) << c.level;
    }
    // Appended, not replaced.
    ASSERT_EQ(engine.RunJob(job), Success);
    const std::string log = logText();
    size_t runs = 0;
    for (size_t p = log.find("started"); p != std::string::npos; p = log.find("started", p + 1))
        ++runs;
    EXPECT_EQ(runs, 2u);
}

// Logs of earlier days go, the oldest first, once there are 90 days of them or they pass
// 256 MB; the day's own log and files of other names stay.
TEST_F(RunTest, OldLogsDoNotFillTheDisk)
{
    const fs::path logs = data / "Logs";
    std::set<std::string> days;
    const std::chrono::sys_days today = std::chrono::year_month_day {std::chrono::year {2026} / 12 / 9};
    for (int back = 1; back <= 100; ++back) {
        const std::chrono::year_month_day d {today - std::chrono::days {back}};
        char name[32];
        std::snprintf(name, sizeof name, "%04d-%02u-%02u.log", static_cast<int>(d.year()),
                      static_cast<unsigned>(d.month()), static_cast<unsigned>(d.day()));
        days.insert(name);
    }
    days.insert("2027-01-05.log"); // written while the clock was ahead
    for (const auto& name : days)
        writeFile(logs / name, "a run\n");
    writeFile(logs / "notes.txt", "mine");
    writeFile(logs / "2026-01-01.log.bak", "mine");

    ASSERT_EQ(engine.RunJob(job), Success);
    std::set<std::string> expected(std::prev(days.end(), 89), days.end());
    expected.insert({"2026-12-09.log", "notes.txt", "2026-01-01.log.bak"});
    const auto left = listFolder(logs);
    EXPECT_EQ(std::set<std::string>(left.begin(), left.end()), expected);

    fs::resize_file(logs / "2026-12-08.log", uint64_t {300} << 20); // sparse: a day of huge runs
    ASSERT_EQ(engine.RunJob(job), Success);
    const auto after = listFolder(logs);
    EXPECT_EQ(std::set<std::string>(after.begin(), after.end()),
              (std::set<std::string> {"2027-01-05.log", "2026-12-09.log", "notes.txt", "2026-01-01.log.bak"}));
    EXPECT_NE(logText().find("started"), std::string::npos);
}

} // namespace
