// What a run makes of its sources: deeper than the kernel's longest path.

#include "support/ArchiveTools.h"
#include "support/EngineFixture.h"

#include <fcntl.h>
#include <unistd.h>

using namespace stowkeep::engine;
using namespace stowkeep::test;
namespace fs = std::filesystem;

namespace {

class SourceTest : public EngineFixture
{
};

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
