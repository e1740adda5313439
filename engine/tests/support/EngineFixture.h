#pragma once

// A source tree, a destination, a data folder and an engine set up on them, with the
// run's clock in the test's hands.

#include "BackupEngine.h"
#include "Catalog.h"
#include "Manifest.h"
#include "TempDir.h"
#include "zip/ZipReader.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <optional>
#include <filesystem>
#include <string>
#include <vector>

namespace stowkeep::test {

class EngineFixture : public ::testing::Test
{
protected:
    using Clock = std::chrono::system_clock;

    void SetUp() override
    {
        src = tmp / "src";
        dest = tmp / "dest";
        data = tmp / "data";
        writeFile(src / "a.txt", "alpha\n");
        writeFile(src / "b.txt", std::string(70000, 'b'));
        writeFile(src / "sub/c.bin", binary(200000, 7));
        writeFile(src / "sub/deep/d.txt", "delta");
        std::filesystem::create_directories(src / "empty");
        std::filesystem::create_directories(dest);
        engine.setCatalogFolder((data / "Catalogs").string());
        engine.setLogFolder((data / "Logs").string());
        engine.setLogDetailLevel(3);
        selection.IncludeItem(src.string() + "/*", -1);
        job.setBackupFolder(dest.string());
        job.setBackupSetName("Documents");
        job.setSelection(&selection);
        now = localTime(2026, 12, 9, 8, 0, 13);
        hooks.clock = [this] { return now; };
        // The machine's own mounts, but no drive declared anywhere: what a test declares.
        hooks.mounts.fstab = (tmp / "fstab").string();
        hooks.mounts.diskByUuid = (tmp / "by-uuid").string();
        hooks.mounts.drivePlaces = {};
        engine.setTestHooks(hooks);
    }

    // Makes the engine see a mount table of the root filesystem and these drives, each
    // mounted at a folder and known by a UUID (its device a file of the test's own).
    struct Drive
    {
        std::filesystem::path at;
        std::string uuid;
    };
    void mountTable(const std::vector<Drive>& drives)
    {
        std::string table = "21 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n";
        int n = 30;
        for (const auto& d : drives) {
            const auto device = tmp / "dev" / d.uuid;
            writeFile(device, "");
            std::filesystem::create_directories(tmp / "by-uuid");
            std::error_code ec;
            std::filesystem::create_symlink(device, tmp / "by-uuid" / d.uuid, ec);
            std::string at;
            for (char c : d.at.string())
                at += c == ' ' ? std::string("\\040") : std::string(1, c);
            table += std::to_string(n) + " 21 8:" + std::to_string(n) + " / " + at +
                     " rw,nosuid shared:1 - vfat " + device.string() + " rw\n";
            ++n;
        }
        writeFile(tmp / "mountinfo", table);
        hooks.mounts.mountinfo = (tmp / "mountinfo").string();
        setHooks();
    }

    void setHooks() { engine.setTestHooks(hooks); }

    static Clock::time_point localTime(int y, int mo, int d, int h, int mi, int s)
    {
        std::tm tm {};
        tm.tm_year = y - 1900;
        tm.tm_mon = mo - 1;
        tm.tm_mday = d;
        tm.tm_hour = h;
        tm.tm_min = mi;
        tm.tm_sec = s;
        tm.tm_isdst = -1;
        return Clock::from_time_t(std::mktime(&tm));
    }

    static std::string binary(size_t n, uint32_t variant)
    {
        std::string s(n, '\0');
        for (auto& c : s) {
            variant = variant * 1103515245u + 12345u;
            c = static_cast<char>(variant >> 16);
        }
        return s;
    }

    // Rewrites a file and gives it a modification time of its own.
    static void modify(const std::filesystem::path& path, const std::string& bytes, int64_t mtime)
    {
        writeFile(path, bytes);
        const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
    }

    // Names of the files in a folder, sorted (hidden ones included).
    static std::vector<std::string> listFolder(const std::filesystem::path& folder)
    {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(folder, ec))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::vector<std::string> archives() const
    {
        std::vector<std::string> zips;
        for (const auto& n : listFolder(dest))
            if (n.size() > 4 && n.substr(n.size() - 4) == ".zip")
                zips.push_back(n);
        return zips;
    }

    std::filesystem::path catalogPath() const { return data / "Catalogs" / "catalog.db"; }

    // Rows of a query on the catalog, each column as text ("NULL" for null).
    std::vector<std::vector<std::string>> query(const std::string& sql) const
    {
        std::vector<std::vector<std::string>> rows;
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(catalogPath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            sqlite3_close(db);
            ADD_FAILURE() << "cannot open the catalog";
            return rows;
        }
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << sqlite3_errmsg(db);
        } else {
            while (sqlite3_step(stmt) == SQLITE_ROW) {
                std::vector<std::string> row;
                for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
                    const auto* t = sqlite3_column_text(stmt, i);
                    row.push_back(t ? reinterpret_cast<const char*>(t) : "NULL");
                }
                rows.push_back(std::move(row));
            }
        }
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        return rows;
    }

    // The state of a run as the catalog lists it, through the engine's own catalog.
    std::vector<engine::ManifestRow> catalogEntries(int64_t runId) const
    {
        engine::Catalog catalog((data / "Catalogs").string(), "test");
        return catalog.entries(runId);
    }

    int64_t newestRun() const { return std::stoll(query("SELECT MAX(id) FROM runs")[0][0]); }

    std::optional<engine::Manifest> manifestOf(const std::filesystem::path& archive,
                                               const std::string& password = {}) const
    {
        engine::zip::ZipReader reader(archive.string(), password);
        return engine::readManifest(reader, archive.filename().string());
    }

    std::string logText() const
    {
        std::string all;
        for (const auto& n : listFolder(data / "Logs"))
            all += readFile(data / "Logs" / n);
        return all;
    }

    TempDir tmp;
    std::filesystem::path src, dest, data;
    engine::BackupEngine engine;
    engine::FileSelection selection;
    engine::BackupJob job;
    engine::BackupEngine::TestHooks hooks;
    Clock::time_point now;
};

} // namespace stowkeep::test
