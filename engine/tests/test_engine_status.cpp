// What the program shows of runs: the progress of one (verification counted) and the
// overview of a set's runs that the catalog keeps.

#include "support/EngineFixture.h"

using namespace stowkeep::engine;
using namespace stowkeep::test;
namespace fs = std::filesystem;

namespace {

class StatusTest : public EngineFixture
{
protected:
    std::vector<Progress> runWithProgress(bool verify)
    {
        job.setVerifyAfterBackup(verify);
        std::vector<Progress> reports;
        RunControl control;
        control.onProgress = [&reports](const Progress& p) { reports.push_back(p); };
        EXPECT_EQ(engine.RunJob(job, control), Success);
        return reports;
    }
};

TEST_F(StatusTest, ProgressCountsVerificationAndNeverGoesBack)
{
    for (bool verify : {false, true}) {
        SCOPED_TRACE(verify ? "verified" : "not verified");
        const auto reports = runWithProgress(verify);
        ASSERT_GE(reports.size(), 4u);
        const uint64_t total = reports.front().bytesTotal + reports.front().bytesToCheck;
        uint64_t done = 0;
        for (const Progress& p : reports) {
            EXPECT_EQ(p.bytesTotal + p.bytesToCheck, total);
            EXPECT_GE(p.bytesDone + p.checkedBytes, done);
            done = p.bytesDone + p.checkedBytes;
        }
        const Progress& last = reports.back();
        EXPECT_EQ(last.bytesDone, last.bytesTotal);
        EXPECT_EQ(last.bytesToCheck, verify ? last.bytesTotal : 0u);
        EXPECT_EQ(last.checkedBytes, last.bytesToCheck);
        // Verification has a share of its own: the writing alone is not the whole run.
        if (verify) {
            const Progress& middle = reports[reports.size() / 2];
            EXPECT_LT(middle.bytesDone + middle.checkedBytes, total);
        }
        now += std::chrono::hours(1);
        setHooks();
    }
}

TEST_F(StatusTest, LastRunsTellTheNewestAndTheNewestSuccessfulRun)
{
    EXPECT_FALSE(engine.LastRuns("Documents", dest.string()).latest); // no catalog yet

    ASSERT_EQ(engine.RunJob(job), Success);
    const int64_t first = std::chrono::system_clock::to_time_t(now);
    now += std::chrono::hours(1);
    setHooks();
    fs::remove_all(src);
    job.setBackupType(NewAndModified);
    ASSERT_EQ(engine.RunJob(job), SourceNotFound);

    // Named with a trailing "/" the folder is the same.
    const RunOverview overview = engine.LastRuns("Documents", dest.string() + "/");
    ASSERT_TRUE(overview.latest);
    ASSERT_TRUE(overview.latestSuccessful);
    EXPECT_EQ(overview.latest->result, SourceNotFound);
    EXPECT_EQ(overview.latest->failure, engine.GetErrorText(0, SourceNotFound));
    EXPECT_EQ(overview.latest->kind, "incremental"); // what was asked for: it never got to decide
    EXPECT_NE(overview.latest->failure.find(src.string()), std::string::npos);
    EXPECT_EQ(overview.latestSuccessful->startTime, first);
    EXPECT_EQ(overview.latestSuccessful->files, 7u);
    EXPECT_EQ(overview.successfulFiles, 4u); // without the three folders
    EXPECT_EQ(overview.latestSuccessful->bytes, 6u + 70000 + 200000 + 5);
    EXPECT_EQ(overview.latestSuccessful->verified, std::optional<bool>(true));
    EXPECT_TRUE(overview.latestSuccessful->failure.empty());
    EXPECT_EQ(overview.firstStart, first);
    EXPECT_FALSE(engine.LastRuns("Other", dest.string()).latest);
}

} // namespace
