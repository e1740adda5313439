// Every archive shape the zip writer makes, read back by the engine's reader, libzip and 7-Zip.

#include "support/ArchiveTools.h"
#include "support/TempDir.h"

#include "zip/Deflate.h"
#include "zip/LazyDeflate.h"
#include "zip/StreamEnd.h"
#include "zip/ZipReader.h"
#include "zip/ZipWriter.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <zip.h>
#include <zlib.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <random>
#include <sys/stat.h>

namespace fs = std::filesystem;
using namespace stowkeep::engine::zip;
using namespace stowkeep::test;

namespace {

const std::string kInnerName = "Backup_20261209-080013_full.zip";

std::string randomBytes(size_t n, unsigned variant)
{
    std::mt19937 gen(variant);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(gen());
    return s;
}

// Text-like data that deflates well but not trivially.
std::string textBytes(size_t n, unsigned variant)
{
    static const char* words[] = {"backup ", "archive ", "stowkeep ", "folder ", "entry ", "deflate ",
                                  "zip64 ", "catalog ", "\n", "2026-12-09 ", "retention "};
    std::mt19937 gen(variant);
    std::string s;
    while (s.size() < n)
        s += words[gen() % std::size(words)];
    s.resize(n);
    return s;
}

// A raw deflate stream inflated by zlib, expected to hold `size` bytes.
std::string inflated(const detail::Buffer& stream, size_t size)
{
    std::string out(size + 1, '\0');
    z_stream z {};
    inflateInit2(&z, -15);
    z.next_in = const_cast<unsigned char*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&z, Z_FINISH);
    out.resize(z.total_out);
    const bool whole = rc == Z_STREAM_END && z.avail_in == 0;
    inflateEnd(&z);
    return whole ? out : "(not a whole deflate stream)";
}

void setMtime(const fs::path& p, int64_t when)
{
    timespec times[2] = {{static_cast<time_t>(when), 0}, {static_cast<time_t>(when), 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << p;
}

// A source tree with every kind of item the writer handles.
void makeCorpus(const fs::path& root)
{
    writeFile(root / "docs/readme.txt", "Read me first.\n");
    writeFile(root / "docs/empty.txt", "");
    writeFile(root / "docs/large.log", textBytes(2'600'000, 1)); // three blocks
    writeFile(root / "data/random.bin", randomBytes(1'500'000, 2)); // incompressible, two blocks
    writeFile(root / "data/small-random.bin", randomBytes(3000, 3));
    // A random header before zeros, as in a disk image: the zeros still deflate. Over 4 MiB:
    // read back in a stream, not whole.
    writeFile(root / "data/image.img", randomBytes(1 << 20, 5) + std::string((3 << 20) + 4096, '\0'));
    writeFile(root / "data/run.sh", "#!/bin/sh\necho hello\n");
    fs::permissions(root / "data/run.sh", fs::perms(0755));
    fs::permissions(root / "docs/readme.txt", fs::perms(0600));
    writeFile(root / "Ünïcødé/日本語 ファイル.txt", textBytes(5000, 4));
    fs::create_directories(root / "empty folder");
    fs::create_symlink("readme.txt", root / "docs/link to readme");
    fs::create_symlink("nowhere/at all", root / "docs/dangling");
    int64_t when = 1'000'000'000; // 2001-09-09
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
        setMtime(it->path(), when += 86'400 + 7);
}

struct Shape
{
    const char* name;
    int level;
    const char* password;
    unsigned threads;
    DeflateCodec whole = DeflateCodec::Auto;
    DeflateCodec blocks = DeflateCodec::Auto;
};

class ZipRoundTrip : public ::testing::TestWithParam<Shape>
{
};

TEST_P(ZipRoundTrip, ReadBackByEveryReader)
{
    const Shape shape = GetParam();
    const std::string password = shape.password;
    TempDir dir;
    const fs::path src = dir / "src";
    makeCorpus(src);
    const auto expected = readTree(src);
    const auto entries = entriesFromTree(src);
    const fs::path archive = dir / "backup.zip";

    ZipWriter::Options options;
    options.level = shape.level;
    options.password = password;
    options.innerName = kInnerName;
    options.threads = shape.threads;
    options.wholeCodec = shape.whole;
    options.blockCodec = shape.blocks;
    const WriteOutcome outcome = writeArchive(archive, entries, options);

    // One result per entry, in order, each reported once in archive order.
    ASSERT_EQ(outcome.results.size(), entries.size());
    std::vector<std::string> names;
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(outcome.results[i].name, entries[i].name);
        EXPECT_EQ(outcome.results[i].status, EntryStatus::Written) << entries[i].name;
        names.push_back(entries[i].name);
    }
    EXPECT_EQ(outcome.reported, names);

    // The engine's reader: names, kinds, modes, times, CRCs and content.
    {
        ZipReader reader(archive.string(), password);
        EXPECT_EQ(reader.encrypted(), !password.empty());
        ASSERT_EQ(reader.entries().size(), entries.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            const ZipEntry& e = reader.entries()[i];
            EXPECT_EQ(e.name, entries[i].name);
            EXPECT_EQ(e.kind, entries[i].kind) << e.name;
            EXPECT_EQ(e.mode, entries[i].mode) << e.name;
            EXPECT_EQ(e.mtime, entries[i].mtime) << e.name;
            EXPECT_EQ(e.crc, outcome.results[i].crc) << e.name;
            EXPECT_EQ(e.size, outcome.results[i].size) << e.name;
            if (e.kind == EntryKind::Symlink) {
                EXPECT_EQ(reader.readLinkTarget(e), entries[i].linkTarget);
            }
            if (e.name == "docs/large.log") {
                EXPECT_EQ(e.method, shape.level == 0 ? 0 : 8);
            }
            if (e.name == "data/small-random.bin" || e.name == "docs/empty.txt") {
                EXPECT_EQ(e.method, 0) << e.name << " does not shrink and must be stored";
            }
            // Blocks that do not shrink go out as stored blocks: hardly bigger than the data.
            if (e.name == "data/random.bin") {
                EXPECT_LE(e.compressedSize, e.size + e.size / 1000) << e.name;
            }
            if (e.name == "data/image.img" && shape.level > 0) {
                EXPECT_LT(e.compressedSize, (1u << 20) + (1u << 17)) << "the zeros after a random block must deflate";
            }
        }
        EXPECT_TRUE(sameTree(readArchive(archive, password), expected));
    }

    // libzip; for an encrypted backup the one outer entry is the inner archive.
    fs::path plainZip = archive;
    std::vector<LibzipEntry> lz;
    std::string failure;
    if (!password.empty()) {
        ASSERT_TRUE(libzipReadAll(archive, password, lz, failure)) << failure;
        ASSERT_EQ(lz.size(), 1u);
        EXPECT_EQ(lz[0].name, kInnerName);
        EXPECT_TRUE(lz[0].encrypted);
        plainZip = dir / "inner-libzip.zip";
        writeFile(plainZip, lz[0].data);
    }
    ASSERT_TRUE(libzipReadAll(plainZip, "", lz, failure)) << failure;
    std::map<std::string, std::string> viaLibzip;
    for (const LibzipEntry& e : lz) {
        EXPECT_EQ(e.crc, static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(e.data.data()),
                                                     static_cast<uInt>(e.data.size()))));
        const bool link = !e.data.empty() && fs::is_symlink(src / e.name);
        viaLibzip[e.name] = link ? "-> " + e.data : e.data;
    }
    EXPECT_TRUE(sameTree(viaLibzip, expected));

    // 7-Zip: test, extract, compare byte for byte, with times and modes.
    const auto tested = sevenZipTest(archive, password);
    EXPECT_EQ(tested.exitCode, 0) << tested.output;
    fs::path out = dir / "7z";
    auto extracted = sevenZipExtract(archive, out, password);
    ASSERT_EQ(extracted.exitCode, 0) << extracted.output;
    if (!password.empty()) {
        ASSERT_EQ(readTree(out).size(), 1u);
        const fs::path inner = out / kInnerName;
        ASSERT_TRUE(fs::is_regular_file(inner));
        EXPECT_TRUE(readFile(inner) == readFile(plainZip)) << "7-Zip and libzip decrypt differently";
        out = dir / "7z-inner";
        extracted = sevenZipExtract(inner, out);
        ASSERT_EQ(extracted.exitCode, 0) << extracted.output;
    }
    EXPECT_TRUE(sameTree(readTree(out), expected));
    for (const auto& e : entries) {
        if (e.kind != EntryKind::File)
            continue;
        struct stat st;
        ASSERT_EQ(::lstat((out / e.name).c_str(), &st), 0) << e.name;
        EXPECT_EQ(st.st_mtim.tv_sec, e.mtime) << e.name;
        EXPECT_EQ(st.st_mode & 0777, e.mode & 0777) << e.name;
    }

    if (password.empty())
        return;

    // Nothing of the inner archive shows in the encrypted file.
    const std::string raw = readFile(archive);
    for (const char* secret : {"readme", "large.log", "random.bin", "empty folder", "日本語", "docs/",
                               "Read me first", "stowkeep catalog"})
        EXPECT_EQ(raw.find(secret), std::string::npos) << secret;
    // No header of the inner archive is in the clear (theirs need version 2.0, the
    // wrapper's 5.1), nor its end record.
    EXPECT_EQ(raw.find(std::string("PK\x03\x04\x14\x00", 6)), std::string::npos);
    EXPECT_EQ(raw.find(std::string("PK\x01\x02\x3f\x03\x14\x00", 8)), std::string::npos);
    EXPECT_EQ(raw.find(std::string("PK\x03\x04\x33\x00", 6)), 0u);

    // A wrong password is refused by every reader.
    EXPECT_THROW(ZipReader(archive.string(), "wrong password"), WrongPassword);
    EXPECT_THROW(ZipReader(archive.string(), ""), WrongPassword);
    EXPECT_EQ(libzipReadError(archive, "wrong password"), ZIP_ER_WRONGPASSWD);
    EXPECT_NE(sevenZipTest(archive, "wrong password").exitCode, 0);
    EXPECT_NE(sevenZipExtract(archive, dir / "7z-wrong", "wrong password").exitCode, 0);
    EXPECT_FALSE(fs::exists(dir / "7z-wrong" / kInnerName) && fs::file_size(dir / "7z-wrong" / kInnerName) > 0);
}

INSTANTIATE_TEST_SUITE_P(Shapes, ZipRoundTrip,
                         ::testing::Values(Shape{"Stored", 0, "", 2}, Shape{"Fast", 1, "", 2},
                                           Shape{"Medium", 6, "", 2}, Shape{"Maximum", 9, "", 2},
                                           Shape{"MediumOneThread", 6, "", 1},
                                           Shape{"MediumThreeThreads", 6, "", 3},
                                           Shape{"StoredEncrypted", 0, "s3cret pässword", 2},
                                           Shape{"MediumEncrypted", 6, "s3cret pässword", 2},
                                           Shape{"MaximumEncrypted", 9, "x", 1},
                                           // every deflate library, for whole entries and for blocks
                                           Shape{"MediumZlib", 6, "", 2, DeflateCodec::Zlib, DeflateCodec::Zlib},
                                           Shape{"MediumZlibBlocks", 6, "", 2, DeflateCodec::Libdeflate,
                                                 DeflateCodec::Zlib},
                                           Shape{"FastLibdeflate", 1, "", 2, DeflateCodec::Libdeflate,
                                                 DeflateCodec::Libdeflate},
                                           Shape{"FastIsal", 1, "", 2, DeflateCodec::Isal, DeflateCodec::Isal},
                                           Shape{"MediumLazy", 6, "", 2, DeflateCodec::Lazy, DeflateCodec::Lazy}),
                         [](const auto& info) { return std::string(info.param.name); });

// A large entry's blocks are deflated by whichever of our own encoder and libdeflate made
// its first block smaller: our own for text of few distinct words, where it is no bigger
// than zlib's level 6, libdeflate for varied numbers.
TEST(ZipDeflate, LargeEntriesKeepTheSmallerCodec)
{
    TempDir dir;
    writeFile(dir / "src/words.log", textBytes(2'600'000, 1));
    std::mt19937 gen(3);
    std::string numbers;
    while (numbers.size() < 2'600'000)
        numbers += std::to_string(gen()) + " " + std::to_string(gen() % 1000) + "\n";
    writeFile(dir / "src/numbers.log", numbers);
    const auto entries = entriesFromTree(dir / "src");
    auto sizes = [&](DeflateCodec blocks, const char* name) {
        ZipWriter::Options options;
        options.level = 6;
        options.threads = 1; // blocks in order: the first one chooses before the next
        options.blockCodec = blocks;
        std::map<std::string, uint64_t> sizes;
        for (const EntryResult& r : writeArchive(dir / name, entries, options).results)
            sizes[r.name] = r.compressedSize;
        return sizes;
    };
    const auto zlib = sizes(DeflateCodec::Zlib, "zlib.zip");
    const auto lazy = sizes(DeflateCodec::Lazy, "lazy.zip");
    const auto libdeflate = sizes(DeflateCodec::Libdeflate, "libdeflate.zip");
    const auto chosen = sizes(DeflateCodec::Auto, "chosen.zip");
    EXPECT_LE(lazy.at("words.log"), zlib.at("words.log"));
    ASSERT_LT(lazy.at("words.log"), libdeflate.at("words.log"));
    ASSERT_LT(libdeflate.at("numbers.log"), lazy.at("numbers.log"));
    EXPECT_EQ(chosen.at("words.log"), lazy.at("words.log"));
    EXPECT_EQ(chosen.at("numbers.log"), libdeflate.at("numbers.log"));
    const auto extracted = sevenZipExtract(dir / "chosen.zip", dir / "out");
    ASSERT_EQ(extracted.exitCode, 0) << extracted.output;
    EXPECT_TRUE(sameTree(readTree(dir / "out"), readTree(dir / "src")));
}

// Whole entries that look compressed already are sampled before deflating: what only
// begins like gzip still deflates; what is random throughout is stored.
TEST(ZipDeflate, SampledWholeEntriesStillDeflateWhatShrinks)
{
    TempDir dir;
    writeFile(dir / "src/looks.gz", "\x1f\x8b" + textBytes(200'000, 7));
    writeFile(dir / "src/small.gz", "\x1f\x8b" + randomBytes(20'000, 8));
    writeFile(dir / "src/photo.jpg", "\xff\xd8\xff" + randomBytes(300'000, 9));
    writeFile(dir / "src/notes.txt", textBytes(5'000, 10));
    std::map<std::string, EntryResult> results;
    for (const EntryResult& r : writeArchive(dir / "a.zip", entriesFromTree(dir / "src"), {}).results)
        results[r.name] = r;
    EXPECT_LT(results.at("looks.gz").compressedSize, 200'000u / 2);
    EXPECT_LT(results.at("notes.txt").compressedSize, 5'000u / 2);
    EXPECT_EQ(results.at("small.gz").compressedSize, results.at("small.gz").size);
    EXPECT_EQ(results.at("photo.jpg").compressedSize, results.at("photo.jpg").size);
    const auto extracted = sevenZipExtract(dir / "a.zip", dir / "out");
    ASSERT_EQ(extracted.exitCode, 0) << extracted.output;
    EXPECT_TRUE(sameTree(readTree(dir / "out"), readTree(dir / "src")));
}

// Where a finished deflate stream's final block begins, found by walking the codes, is
// where inflating finds it: for fixed, dynamic and stored blocks, at each level; a stream
// cut short or run on is not taken for one.
TEST(ZipDeflate, StreamEndWalkAgreesWithInflate)
{
    const std::vector<std::string> inputs = {
        std::string(200, 'a'), // a fixed block
        textBytes(3'000, 1),
        textBytes(700'000, 2),
        textBytes(200'000, 3) + randomBytes(200'000, 4) + textBytes(200'000, 5),
        std::string(300'000, 'a') + textBytes(1'000, 6),
    };
    for (int level : {1, 6, 9}) {
        detail::Compressor compressor(level, DeflateCodec::Libdeflate, DeflateCodec::Libdeflate);
        for (const std::string& input : inputs) {
            SCOPED_TRACE("level " + std::to_string(level) + ", " + std::to_string(input.size()) + " bytes");
            detail::Buffer out;
            ASSERT_TRUE(compressor.compressWhole(reinterpret_cast<const unsigned char*>(input.data()), input.size(), out));
            const auto walked = detail::walkStreamEnd(out.data(), out.size());
            ASSERT_TRUE(walked.has_value());
            EXPECT_EQ(*walked, detail::inflateStreamEnd(out.data(), out.size()));
            EXPECT_FALSE(detail::walkStreamEnd(out.data(), out.size() - 1).has_value());
            EXPECT_THROW(detail::findStreamEnd(out.data(), out.size() - 1), std::runtime_error);
            out.push_back(0);
            EXPECT_FALSE(detail::walkStreamEnd(out.data(), out.size()).has_value());
        }
    }
}

// Our own encoder's output, inflated by zlib, alone and as the parts of one stream that
// reach back into the part before: nothing, one byte, short text with bytes above 143 (a
// fixed code), random bytes (stored), a long run, long text and a mix.
TEST(ZipDeflate, LazyDeflaterOutputInflatesExactly)
{
    const std::string greeting = "Gr\xc3\xbc\xc3\x9f" "e aus K\xc3\xb6ln, Gr\xc3\xbc\xc3\x9f" "e aus K\xc3\xb6ln!";
    const std::vector<std::string> parts = {"", "a", greeting, randomBytes(100'000, 21), std::string(70'000, 'z'),
                                            textBytes(900'000, 22), textBytes(50'000, 23) + randomBytes(3'000, 24) + greeting};
    detail::LazyDeflater deflater;
    detail::Buffer stream;
    std::string all;
    for (size_t i = 0; i < parts.size(); ++i) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(parts[i].data());
        detail::Buffer alone;
        deflater.deflate(bytes, parts[i].size(), nullptr, 0, true, alone);
        EXPECT_TRUE(inflated(alone, parts[i].size()) == parts[i]) << "part " << i;
        const size_t dict = std::min<size_t>(all.size(), detail::kDictSize);
        deflater.deflate(bytes, parts[i].size(), reinterpret_cast<const unsigned char*>(all.data()) + all.size() - dict,
                         dict, i + 1 == parts.size(), stream);
        all += parts[i];
    }
    EXPECT_TRUE(inflated(stream, all.size()) == all);
}

// Programs and libraries are deflated one level lower at level 6 for speed, and must still
// come out no bigger than zlib's level 6 would make them. SQLite's library stands for them.
TEST(ZipDeflate, LibrariesAtLevelSixAreNoBiggerThanZlibMakesThem)
{
    Dl_info where {};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&sqlite3_libversion), &where), 0);
    std::ifstream in(where.dli_fname, std::ios::binary);
    const std::string library((std::istreambuf_iterator<char>(in)), {});
    ASSERT_GT(library.size(), 100'000u);
    const auto* bytes = reinterpret_cast<const unsigned char*>(library.data());
    detail::Compressor compressor(6, DeflateCodec::Auto, DeflateCodec::Auto);
    detail::Buffer ours;
    ASSERT_TRUE(compressor.compressWhole(bytes, library.size(), ours));
    EXPECT_TRUE(inflated(ours, library.size()) == library);
    uLongf byZlib = compressBound(static_cast<uLong>(library.size()));
    std::string zlibOut(byZlib, '\0');
    ASSERT_EQ(compress2(reinterpret_cast<Bytef*>(zlibOut.data()), &byZlib, bytes, library.size(), 6), Z_OK);
    EXPECT_LE(ours.size(), byZlib - 6) << "zlib's stream without its 2-byte header and 4-byte checksum";
}

// A worker's encoder lives for the whole backup, and what it keeps of its positions grows
// with each call by the call's size and a window: after 2 GiB of that it starts again,
// and no call may meet another's positions, before that point or after it.
TEST(ZipDeflate, LazyDeflaterStaysExactOverTwoGigabytesOfCalls)
{
    const std::string text = textBytes(3'000, 25);
    detail::LazyDeflater deflater;
    detail::Buffer out;
    for (size_t call = 0; call < 70'000; ++call) { // each at least a 32 KiB window further on
        const std::string part = text.substr(call % 2'000, call % 5 == 0 ? 1'000 : 40);
        out.clear();
        deflater.deflate(reinterpret_cast<const unsigned char*>(part.data()), part.size(), nullptr, 0, true, out);
        if (inflated(out, part.size()) != part) {
            ADD_FAILURE() << "call " << call;
            break;
        }
    }
}

// Code lengths stay within deflate's limits where the frequencies would make a deeper tree,
// and still make a complete code.
TEST(ZipDeflate, HuffmanLengthsAreLimitedAndComplete)
{
    for (const unsigned limit : {7u, 15u}) {
        std::vector<uint32_t> freq(limit == 7 ? 19 : 286, 0);
        uint32_t a = 1, b = 1;
        for (size_t s = 0; s < freq.size() && s < 30; ++s, std::tie(a, b) = std::pair(b, a + b))
            freq[s * 7 % freq.size()] = a; // Fibonacci weights: a tree as deep as there are symbols
        std::vector<uint8_t> lengths(freq.size());
        detail::huffmanLengths(freq.data(), static_cast<unsigned>(freq.size()), limit, lengths.data());
        uint64_t kraft = 0;
        for (size_t s = 0; s < freq.size(); ++s) {
            EXPECT_EQ(lengths[s] > 0, freq[s] > 0) << s;
            EXPECT_LE(lengths[s], limit) << s;
            if (lengths[s] > 0)
                kraft += uint64_t {1} << (limit - lengths[s]);
        }
        EXPECT_EQ(kraft, uint64_t {1} << limit) << "limit " << limit;
    }
}

// A file met again is not deflated again but gets the first one's deflated bytes, which
// are what deflating it would give; a file of the same size and CRC-32 but other bytes
// must not get them.
TEST(ZipDeflate, RepeatedFilesAndTheirLookalikesExtractExactly)
{
    const std::string text = textBytes(20'000, 11);
    const uLong textCrc = crc32(0, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size()));
    std::map<uLong, uint64_t> seen; // CRC-32 of text + 8 bytes -> those bytes
    std::string first;
    std::string second;
    for (uint64_t i = 1; second.empty(); ++i) {
        const uint64_t tail = i * 0x9E3779B97F4A7C15ull; // all 64 bits vary: 32 would never collide
        const uLong crc = crc32(textCrc, reinterpret_cast<const Bytef*>(&tail), sizeof tail);
        if (const auto [it, fresh] = seen.emplace(crc, tail); !fresh) {
            first = text + std::string(reinterpret_cast<const char*>(&it->second), sizeof tail);
            second = text + std::string(reinterpret_cast<const char*>(&tail), sizeof tail);
        }
    }
    TempDir dir;
    writeFile(dir / "src/a/notes.txt", first);
    writeFile(dir / "src/b/notes.txt", first);
    writeFile(dir / "src/c/lookalike.txt", second);
    std::map<std::string, EntryResult> results;
    for (const EntryResult& r : writeArchive(dir / "a.zip", entriesFromTree(dir / "src"), {}).results)
        results[r.name] = r;
    ASSERT_EQ(results.at("a/notes.txt").crc, results.at("c/lookalike.txt").crc);
    EXPECT_LT(results.at("a/notes.txt").compressedSize, first.size() / 2);
    EXPECT_EQ(results.at("b/notes.txt").compressedSize, results.at("a/notes.txt").compressedSize);
    const auto extracted = sevenZipExtract(dir / "a.zip", dir / "out");
    ASSERT_EQ(extracted.exitCode, 0) << extracted.output;
    EXPECT_TRUE(sameTree(readTree(dir / "out"), readTree(dir / "src")));
}

// Names that are not UTF-8 are stored as their bytes, unflagged; times past 2038 and before
// 1970 are restored exactly. Each reader that is installed opens the archive.
TEST(ZipReaders, NamesNotUtf8AndTimesBeyond32Bits)
{
    TempDir dir;
    const fs::path src = dir / "src";
    const std::string badName = "bad\xff\xfe.txt";
    writeFile(src / badName, "not UTF-8\n");
    writeFile(src / "2040.txt", textBytes(4000, 6));
    writeFile(src / "2100.txt", "late\n");
    writeFile(src / "1969.txt", "early\n");
    setMtime(src / badName, 1'700'000'000);
    setMtime(src / "2040.txt", 2'208'988'800);
    setMtime(src / "2100.txt", 4'102'444'800);
    setMtime(src / "1969.txt", -100'000);
    const auto entries = entriesFromTree(src);
    const fs::path archive = dir / "names.zip";
    writeArchive(archive, entries, {});

    ZipReader reader(archive.string(), "");
    ASSERT_EQ(reader.entries().size(), 4u);
    for (const ZipEntry& e : reader.entries()) {
        struct stat orig {};
        ::stat((src / e.name).c_str(), &orig);
        EXPECT_EQ((e.flags & 0x0800) != 0, e.name != badName) << "UTF-8 flag of " << e.name;
        EXPECT_EQ(e.mtime, orig.st_mtim.tv_sec) << e.name;
    }

    auto checkTimes = [&](const fs::path& out, const char* tool) {
        for (const char* name : {"2040.txt", "2100.txt", "1969.txt"}) {
            struct stat st {};
            ASSERT_EQ(::stat((out / name).c_str(), &st), 0) << tool << " " << name;
            struct stat orig {};
            ::stat((src / name).c_str(), &orig);
            // Without the NTFS field bsdtar has only the DOS time for 1969, which starts in 1980.
            if (std::string(tool) == "bsdtar" && orig.st_mtim.tv_sec < 0)
                EXPECT_LT(st.st_mtim.tv_sec, 315'532'800 + 86'400) << tool << " " << name;
            else
                EXPECT_EQ(st.st_mtim.tv_sec, orig.st_mtim.tv_sec) << tool << " " << name;
        }
        EXPECT_EQ(readTree(out).size(), 4u) << tool;
    };
    EXPECT_EQ(sevenZipTest(archive).exitCode, 0);
    ASSERT_EQ(sevenZipExtract(archive, dir / "7z").exitCode, 0);
    checkTimes(dir / "7z", "7-Zip");
    std::vector<LibzipEntry> lz;
    std::string failure;
    EXPECT_TRUE(libzipReadAll(archive, "", lz, failure)) << failure;

    if (runCommand({"bsdtar", "--version"}).exitCode == 0) {
        fs::create_directories(dir / "bsdtar");
        const auto r = runCommand({"bsdtar", "-xf", archive.string(), "-C", (dir / "bsdtar").string()});
        EXPECT_EQ(r.exitCode, 0) << r.output;
        checkTimes(dir / "bsdtar", "bsdtar");
        EXPECT_TRUE(fs::exists(dir / "bsdtar" / badName)) << "bsdtar keeps the name's bytes";
    }
    if (runCommand({"unzip", "-v"}).exitCode == 0) {
        const auto r = runCommand({"unzip", "-t", archive.string()});
        EXPECT_EQ(r.exitCode, 0) << r.output;
    }
    if (runCommand({"python3", "--version"}).exitCode == 0) {
        const auto r = runCommand({"python3", "-c",
                                   "import sys, zipfile\n"
                                   "z = zipfile.ZipFile(sys.argv[1])\n"
                                   "assert z.testzip() is None\n"
                                   "print(len(z.namelist()))",
                                   archive.string()});
        EXPECT_EQ(r.exitCode, 0) << r.output;
        EXPECT_EQ(r.output, "4\n");
    }
}

// Thousands of small entries packed into units, with large files and failures between
// them: every entry comes back in order, for every reader.
TEST(ZipRoundTripMany, SmallFilesPackedIntoUnits)
{
    for (const std::string password : {"", "pw"}) {
        TempDir dir;
        const fs::path src = dir / "src";
        std::mt19937 gen(11);
        for (int i = 0; i < 3000; ++i) {
            const size_t size = i % 997 == 0 ? (1u << 20) + 4096 : gen() % 3000;
            writeFile(src / ("d" + std::to_string(i % 7)) / ("f" + std::to_string(i)),
                      i % 3 ? textBytes(size, static_cast<unsigned>(i)) : randomBytes(size, static_cast<unsigned>(i)));
        }
        auto entries = entriesFromTree(src);
        EntrySource gone = entries[100];
        gone.name = "gone.txt";
        gone.path = (dir / "gone.txt").string();
        entries.insert(entries.begin() + 101, gone);
        ZipWriter::Options options;
        options.password = password;
        options.innerName = kInnerName;
        const fs::path archive = dir / "many.zip";
        const WriteOutcome outcome = writeArchive(archive, entries, options);
        std::vector<std::string> names;
        for (const auto& e : entries)
            names.push_back(e.name);
        EXPECT_EQ(outcome.reported, names);
        ASSERT_EQ(outcome.results.size(), entries.size());
        EXPECT_EQ(outcome.results[101].status, EntryStatus::Vanished);
        EXPECT_TRUE(sameTree(readArchive(archive, password), readTree(src)));
        EXPECT_EQ(sevenZipTest(archive, password).exitCode, 0);
        std::vector<LibzipEntry> lz;
        std::string failure;
        EXPECT_TRUE(libzipReadAll(archive, password, lz, failure)) << failure;
    }
}

// Links packed with files that all deflate: a unit lets go of its read data once it is
// deflated, but not while a link's target is still to be written from it.
TEST(ZipRoundTripMany, LinksBesideDeflatedFiles)
{
    TempDir dir;
    const fs::path src = dir / "src";
    for (int i = 0; i < 40; ++i) {
        writeFile(src / ("f" + std::to_string(i) + ".txt"), textBytes(3000, static_cast<unsigned>(i)));
        if (i % 4 == 0)
            fs::create_symlink("f" + std::to_string(i) + ".txt", src / ("link" + std::to_string(i)));
    }
    ZipWriter::Options options;
    options.innerName = kInnerName;
    const fs::path archive = dir / "links.zip";
    writeArchive(archive, entriesFromTree(src), options);
    EXPECT_TRUE(sameTree(readArchive(archive, ""), readTree(src)));
}

// An entry made in memory from the results of the entries before it: the writer reports
// every earlier entry before the caller makes it, and every reader reads it back.
TEST(ZipMemoryEntry, AddedAfterTheOthersAreDone)
{
    for (const std::string password : {"", "pw"}) {
        TempDir dir;
        writeFile(dir / "src/a.txt", textBytes(3'000'000, 5)); // several blocks
        writeFile(dir / "src/b.bin", randomBytes(40'000, 6));
        auto entries = entriesFromTree(dir / "src");
        const fs::path archive = dir / "list.zip";
        OutputFile out(archive.string());
        ZipWriter::Options options;
        options.password = password;
        options.innerName = kInnerName;
        options.collectResults = false;
        std::vector<EntryResult> done;
        options.onEntryDone = [&done](const EntryResult& r) { done.push_back(r); };
        ZipWriter writer(out, options);
        for (const auto& e : entries)
            writer.add(e);
        writer.waitForEntries();
        ASSERT_EQ(done.size(), entries.size());
        auto list = std::make_shared<std::string>();
        for (const auto& r : done)
            *list += r.name + " " + std::to_string(r.crc) + "\n";
        *list += textBytes(2'500'000, 7);
        EntrySource memory;
        memory.name = "list.txt";
        memory.mode = S_IFREG | 0640;
        memory.mtime = 1'700'000'000;
        memory.content = list;
        writer.add(memory);
        writer.finish();
        out.close();
        ASSERT_EQ(done.size(), entries.size() + 1);
        EXPECT_EQ(done.back().size, list->size());

        ZipReader reader(archive.string(), password);
        ASSERT_EQ(reader.entries().size(), entries.size() + 1);
        const ZipEntry& e = reader.entries().back();
        EXPECT_EQ(e.name, "list.txt");
        EXPECT_EQ(e.mode, S_IFREG | 0640);
        EXPECT_EQ(e.method, 8);
        std::string back;
        reader.read(e, [&back](const char* p, size_t n) { back.append(p, n); });
        EXPECT_TRUE(back == *list);
        EXPECT_EQ(sevenZipTest(archive, password).exitCode, 0);
        std::vector<LibzipEntry> lz;
        std::string failure;
        EXPECT_TRUE(libzipReadAll(archive, password, lz, failure)) << failure;
    }
}

// An archive with no entries at all is still a valid, empty zip for every reader.
TEST(ZipRoundTripEmpty, NoEntries)
{
    for (const std::string password : {"", "pw"}) {
        TempDir dir;
        const fs::path archive = dir / "empty.zip";
        ZipWriter::Options options;
        options.password = password;
        options.innerName = kInnerName;
        const auto outcome = writeArchive(archive, {}, options);
        EXPECT_TRUE(outcome.results.empty());
        ZipReader reader(archive.string(), password);
        EXPECT_TRUE(reader.entries().empty());
        EXPECT_EQ(sevenZipTest(archive, password).exitCode, 0) << password;
        std::vector<LibzipEntry> lz;
        std::string failure;
        EXPECT_TRUE(libzipReadAll(archive, password, lz, failure)) << failure;
        EXPECT_EQ(lz.size(), password.empty() ? 0u : 1u);
    }
}

} // namespace
