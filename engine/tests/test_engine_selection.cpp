// Resolution of include and exclude items into the entries of a run.

#include "Selection.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

using namespace stowkeep::engine;
using stowkeep::test::TempDir;
using stowkeep::test::writeFile;

namespace {

TEST(MatchMask, Cases)
{
    struct Case
    {
        const char* mask;
        const char* text;
        bool slash;
        bool match;
    };
    const Case cases[] = {
        {"*", "", false, true},
        {"*", "anything.txt", false, true},
        {"*.txt", "notes.txt", false, true},
        {"*.txt", "notes.txt.bak", false, false},
        {"*.txt", "notes.TXT", false, false}, // letter case counts
        {"a?c", "abc", false, true},
        {"a?c", "ac", false, false},
        {"a?c", "a\xC3\xA9" "c", false, true}, // "?" is one character, not one byte
        {"a??c", "a\xC3\xA9" "c", false, false},
        {"report", "report", false, true},
        {"report", "report2", false, false},
        {"*a*b", "xxaxxbxb", false, true},
        {"*a*b", "xxaxxbxc", false, false},
        {"[ab]", "a", false, false}, // no other wildcard characters
        {"[ab]", "[ab]", false, true},
        {"build/*", "build/x.o", true, true},
        {"build/*", "build/sub/x.o", true, false},
        {"*/tmp", "a/tmp", true, true},
        {"*/tmp", "a/b/tmp", true, false},
        {"a?b", "a/b", true, false},
        {"a*b", "a/b", false, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(matchMask(c.mask, c.text, c.slash), c.match) << c.mask << " vs " << c.text;
}

std::vector<std::string> names(const SelectionResult& r)
{
    std::vector<std::string> out;
    for (const auto& e : r.entries)
        out.push_back(e.name);
    return out;
}

class SelectionTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (const char* f : {"src/a.txt", "src/b.cpp", "src/sub/c.txt", "src/sub/deep/d.txt", "src/sub/deep/e.o",
                              "src/build/x.o", "src/build/keep.txt", "src/Notes.TXT", "src/two words.txt",
                              "other/z.txt"})
            writeFile(dir / f, f);
        std::filesystem::create_directories(dir / "src/empty");
    }

    SelectionResult resolve(std::vector<std::string> include, std::vector<std::string> exclude = {})
    {
        SelectionOptions o;
        for (auto& i : include)
            o.include.push_back(dir.path().string() + "/" + i);
        o.exclude = std::move(exclude);
        return resolveSelection(o);
    }

    TempDir dir;
};

TEST_F(SelectionTest, IncludeAndExcludeItems)
{
    using V = std::vector<std::string>;
    struct Case
    {
        V include;
        V exclude;
        V expected;
    };
    const Case cases[] = {
        // The program's default item: everything, empty folders included.
        {{"src/*"},
         {},
         {"Notes.TXT", "a.txt", "b.cpp", "build", "build/keep.txt", "build/x.o", "empty", "sub", "sub/c.txt",
          "sub/deep", "sub/deep/d.txt", "sub/deep/e.o", "two words.txt"}},
        // A trailing "/" takes the folder; the base is the folder itself.
        {{"src/"},
         {},
         {"Notes.TXT", "a.txt", "b.cpp", "build", "build/keep.txt", "build/x.o", "empty", "sub", "sub/c.txt",
          "sub/deep", "sub/deep/d.txt", "sub/deep/e.o", "two words.txt"}},
        // A mask applies at every depth; folders appear only above what matched.
        {{"src/*.txt"},
         {},
         {"a.txt", "build", "build/keep.txt", "sub", "sub/c.txt", "sub/deep", "sub/deep/d.txt", "two words.txt"}},
        // An existing file is that file; base is its folder.
        {{"src/sub/c.txt"}, {}, {"c.txt"}},
        // A name with no wildcard that is no file is a mask for that name below.
        {{"src/d.txt"}, {}, {"sub", "sub/deep", "sub/deep/d.txt"}},
        // Two items: the base is their deepest common folder.
        {{"src/sub/deep/", "other/z.txt"},
         {},
         {"other", "other/z.txt", "src", "src/sub", "src/sub/deep", "src/sub/deep/d.txt", "src/sub/deep/e.o"}},
        // A folder named without trailing "/" that exists is taken whole.
        {{"src/sub"}, {}, {"c.txt", "deep", "deep/d.txt", "deep/e.o"}},
        // Exclude masks on names: files and whole folders.
        {{"src/*"},
         {"*.o", "sub", "empty"},
         {"Notes.TXT", "a.txt", "b.cpp", "build", "build/keep.txt", "two words.txt"}},
        // A mask with "/" is matched against the path from the base.
        {{"src/*"},
         {"build/*", "sub/deep"},
         {"Notes.TXT", "a.txt", "b.cpp", "build", "empty", "sub", "sub/c.txt", "two words.txt"}},
        // Letter case counts in exclusions too; a trailing "/" only excludes folders.
        {{"src/*"},
         {"*.txt", "b.cpp/", "deep/"},
         {"Notes.TXT", "b.cpp", "build", "build/x.o", "empty", "sub"}},
    };
    for (const auto& c : cases) {
        const auto r = resolve(c.include, c.exclude);
        EXPECT_TRUE(r.missingSources.empty());
        EXPECT_EQ(names(r), c.expected) << "include " << c.include.front();
    }
}

TEST_F(SelectionTest, EntriesCarryWhatTheArchiveNeeds)
{
    ASSERT_EQ(::symlink("../other/z.txt", (dir / "src/link").c_str()), 0);
    ASSERT_EQ(::symlink("/nonexistent/dir", (dir / "src/dangling").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "other").c_str(), (dir / "src/dirlink").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "src/pipe").c_str(), 0600), 0);
    const auto r = resolve({"src/"});
    std::map<std::string, SelectedEntry> byName;
    for (const auto& e : r.entries)
        byName[e.name] = e;

    // Links are stored as links, never followed, whatever they point to.
    ASSERT_TRUE(byName.count("link"));
    EXPECT_EQ(byName["link"].kind, SelectedKind::Symlink);
    EXPECT_EQ(byName["link"].linkTarget, "../other/z.txt");
    EXPECT_EQ(byName["dangling"].kind, SelectedKind::Symlink);
    EXPECT_EQ(byName["dirlink"].kind, SelectedKind::Symlink);
    EXPECT_FALSE(byName.count("dirlink/z.txt"));
    // Pipes are skipped and reported.
    EXPECT_FALSE(byName.count("pipe"));
    ASSERT_EQ(r.skippedSpecial.size(), 1u);
    EXPECT_EQ(r.skippedSpecial[0], (dir / "src/pipe").string());

    EXPECT_EQ(byName["sub/deep/d.txt"].size, std::string("src/sub/deep/d.txt").size());
    EXPECT_EQ(r.pathOf(byName["sub/deep/d.txt"]), (dir / "src/sub/deep/d.txt").string());
    EXPECT_EQ(byName["sub"].kind, SelectedKind::Directory);
    EXPECT_TRUE(S_ISREG(byName["a.txt"].mode));
    EXPECT_GT(byName["a.txt"].mtimeNs, 0);
}

TEST_F(SelectionTest, MissingSourceAndOwnFolders)
{
    const auto missing = resolve({"src/*", "gone/*"});
    ASSERT_EQ(missing.missingSources.size(), 1u);
    EXPECT_EQ(missing.missingSources[0], (dir / "gone").string());

    // The destination inside the source is never backed up into itself.
    SelectionOptions o;
    o.include = {(dir / "src").string() + "/"};
    o.ownFolders = {dir / "src/sub"};
    const auto r = resolveSelection(o);
    for (const auto& e : r.entries)
        EXPECT_NE(e.name.rfind("sub", 0), 0u) << e.name;
    EXPECT_EQ(r.skippedOwn, std::vector<std::string> {(dir / "src/sub").string()});

    o.include = {"relative/*"};
    EXPECT_THROW(resolveSelection(o), std::invalid_argument);
}

// Many folders, shared out among the walking threads: every entry once, in name order,
// and the paths met along the way in the same order on every walk.
TEST_F(SelectionTest, ManyFoldersWalkedTheSameEveryTime)
{
    std::vector<std::string> expected;
    for (int f = 0; f < 60; ++f) {
        const std::string folder = "many/f" + std::to_string(f % 7) + "/g" + std::to_string(f);
        for (int n = 0; n < 4; ++n)
            writeFile(dir / (folder + "/n" + std::to_string(n)), "x");
        ASSERT_EQ(::mkfifo((dir / (folder + "/pipe")).c_str(), 0600), 0);
    }
    const SelectionResult first = resolve({"many/"});
    std::vector<std::string> seen = names(first);
    EXPECT_EQ(seen.size(), 7u + 60u + 240u);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
    ASSERT_EQ(first.skippedSpecial.size(), 60u);
    EXPECT_TRUE(std::is_sorted(first.skippedSpecial.begin(), first.skippedSpecial.end()));
    for (int again = 0; again < 5; ++again) {
        const SelectionResult r = resolve({"many/"});
        EXPECT_EQ(names(r), seen);
        EXPECT_EQ(r.skippedSpecial, first.skippedSpecial);
    }
}

} // namespace
