// Where the backups go: a missing folder, a drive that is unplugged or not mounted, another
// drive, and a folder whose backups the user deleted.

#include "support/EngineFixture.h"

using namespace stowkeep::engine;
using namespace stowkeep::test;
namespace fs = std::filesystem;

namespace {

class MediumTest : public EngineFixture
{
protected:
    void advance()
    {
        now += std::chrono::hours(1);
        setHooks();
    }
    // Moves the destination's archives away (a drive unplugged or swapped) and back.
    void stash()
    {
        for (const auto& name : archives())
            fs::rename(dest / name, tmp / name);
    }
    void unstash()
    {
        for (const auto& name : listFolder(tmp.path()))
            if (name.size() > 4 && name.substr(name.size() - 4) == ".zip")
                fs::rename(tmp / name, dest / name);
    }
};

TEST_F(MediumTest, MissingMediumIsAskedForNeverCreated)
{
    const fs::path drive = tmp / "usb";
    job.setBackupFolder(drive.string());
    std::vector<std::pair<std::string, int>> asked;

    // No handler, or a "no": the medium is not available, and nothing is created.
    EXPECT_EQ(engine.RunJob(job), MediumNotAvailable);
    engine.OnInsertMedia = [&](const std::string& label, int32_t disk) {
        asked.emplace_back(label, disk);
        return false;
    };
    EXPECT_EQ(engine.RunJob(job), MediumNotAvailable);
    EXPECT_EQ(asked, (std::vector<std::pair<std::string, int>> {{drive.string(), 1}}));
    EXPECT_FALSE(fs::exists(drive));
    EXPECT_NE(engine.GetErrorText(0, MediumNotAvailable)
                  .find(drive.string() + " is not available (the drive may be disconnected, or the folder was moved "
                                         "or deleted)"),
              std::string::npos)
        << engine.GetErrorText(0, MediumNotAvailable);

    // "Inserted" but still missing: asked again; then it appears.
    asked.clear();
    engine.OnInsertMedia = [&](const std::string& label, int32_t disk) {
        asked.emplace_back(label, disk);
        if (asked.size() == 2)
            fs::create_directories(drive);
        return true;
    };
    EXPECT_EQ(engine.RunJob(job), Success);
    EXPECT_EQ(asked.size(), 2u);
    EXPECT_EQ(listFolder(drive).size(), 1u);
}

// A notification shows 255 characters: the folder and why it is missing come first, so
// that a long path does not push the reason out.
TEST_F(MediumTest, MissingDrivesReasonFitsInANotification)
{
    const fs::path drive = tmp / std::string(60, 'd') / "Backups";
    job.setBackupFolder(drive.string());
    ASSERT_EQ(engine.RunJob(job), MediumNotAvailable);
    const std::string shown =
        ("Error backing up profile \"Documents\". Error description: " + engine.GetErrorText(0, MediumNotAvailable))
            .substr(0, 255);
    EXPECT_NE(shown.find(drive.string() + " is not available (the drive may be disconnected)"), std::string::npos)
        << shown;
}

// The drive is told by its filesystem, not by whether its backups are there: a user who
// deletes them all has the next run start afresh, while the empty mount point of the
// unplugged drive, or another drive, is asked about.
TEST_F(MediumTest, DriveIsToldByItsFilesystemNotByItsBackups)
{
    const fs::path drive = tmp / "drive";
    dest = drive / "Backups";
    fs::create_directories(dest);
    job.setBackupFolder(dest.string());
    job.setBackupType(NewAndModified);
    job.setRetentionPeriod(0);
    mountTable({{drive, "AAAA-1111"}});
    int asked = 0;
    int yes = 0; // answers "inserted" this many times, then "no"
    engine.OnInsertMedia = [&](const std::string& label, int32_t) {
        EXPECT_EQ(label, dest.string());
        return ++asked <= yes;
    };
    ASSERT_EQ(engine.RunJob(job), Success);
    EXPECT_EQ(query("SELECT medium, medium_mount FROM runs")[0],
              (std::vector<std::string> {"uuid AAAA-1111", drive.string()}));

    fs::remove(dest / archives()[0]);
    advance();
    ASSERT_EQ(engine.RunJob(job), Success) << engine.GetErrorText(0, MediumNotAvailable);
    EXPECT_EQ(asked, 0);
    ASSERT_EQ(archives().size(), 1u);
    EXPECT_NE(archives()[0].find("_full.zip"), std::string::npos);
    EXPECT_NE(engine.GetErrorText(0, Success).find("earlier backups of this set in " + dest.string() +
                                                   " were not found"),
              std::string::npos)
        << engine.GetErrorText(0, Success);

    // Unplugged: "inserted" while it is still not there is asked again.
    stash();
    mountTable({});
    yes = 1;
    advance();
    EXPECT_EQ(engine.RunJob(job), MediumNotAvailable);
    EXPECT_EQ(asked, 2);
    EXPECT_TRUE(listFolder(dest).empty());
    EXPECT_NE(engine.GetErrorText(0, MediumNotAvailable).find("nothing is mounted on " + drive.string()),
              std::string::npos)
        << engine.GetErrorText(0, MediumNotAvailable);
    EXPECT_EQ(query("SELECT COUNT(*) FROM runs WHERE archive IS NOT NULL")[0][0], "1");

    // Plugged in again: an incremental run on what is there.
    unstash();
    mountTable({{drive, "AAAA-1111"}});
    modify(src / "a.txt", "changed", 1900000000);
    advance();
    ASSERT_EQ(engine.RunJob(job), Success);
    EXPECT_EQ(asked, 2);
    EXPECT_NE(archives().back().find("_incremental.zip"), std::string::npos);

    // Another drive where it was mounted: asked about, and taken once the user says so.
    stash();
    mountTable({{drive, "BBBB-2222"}});
    asked = 0;
    yes = 1;
    advance();
    ASSERT_EQ(engine.RunJob(job), Success);
    EXPECT_EQ(asked, 1);
    ASSERT_EQ(archives().size(), 1u);
    EXPECT_NE(archives()[0].find("_full.zip"), std::string::npos);
    EXPECT_NE(engine.GetErrorText(0, Success).find("another drive"), std::string::npos);
}

// A drive declared in fstab, or one of the folders where desktops mount drives, with
// nothing mounted: its folder lies on the root disk, which a new set must not fill.
TEST_F(MediumTest, UnmountedDriveIsNotTheMediumEvenForANewSet)
{
    hooks.mounts.drivePlaces = {(tmp / "media/*/*").string(), (tmp / "mnt/*").string()};
    writeFile(tmp / "fstab", "# <file system> <mount point> <type> <options>\n"
                             "UUID=0a1b /srv ext4 defaults 0 2\n"
                             "LABEL=Backup " + tmp.path().string() + "/backup\\040disk ext4 noauto 0 0\n"
                             "/swapfile none swap sw 0 0\n");
    struct Case
    {
        fs::path folder;
        fs::path mountPoint; // empty: no drive belongs there
    };
    const Case cases[] = {
        {tmp / "media/ann", {}},
        {tmp / "backup disk/Sets", tmp / "backup disk"},
        {tmp / "media/ann/STICK/Backups", tmp / "media/ann/STICK"},
        {tmp / "mnt/usb", tmp / "mnt/usb"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder.string());
        fs::create_directories(c.folder);
        job.setBackupFolder(c.folder.string());
        job.setBackupSetName("Set " + std::to_string(&c - cases));
        int asked = 0;
        engine.OnInsertMedia = [&](const std::string&, int32_t) {
            ++asked;
            return false;
        };
        mountTable({});
        if (!c.mountPoint.empty()) {
            EXPECT_EQ(engine.RunJob(job), MediumNotAvailable);
            EXPECT_EQ(asked, 1);
            EXPECT_TRUE(listFolder(c.folder).empty());
            EXPECT_NE(engine.GetErrorText(0, MediumNotAvailable).find("no drive is mounted on " + c.mountPoint.string()),
                      std::string::npos)
                << engine.GetErrorText(0, MediumNotAvailable);
            mountTable({{c.mountPoint, "CAFE-0001"}});
        }
        EXPECT_EQ(engine.RunJob(job), Success);
        EXPECT_EQ(listFolder(c.folder).size(), 1u);
    }
}

} // namespace
