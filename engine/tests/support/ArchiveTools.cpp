#include "ArchiveTools.h"

#include "TempDir.h"
#include "zip/ZipReader.h"

#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace stowkeep::test {

namespace fs = std::filesystem;

CommandResult runCommand(const std::vector<std::string>& argv)
{
    CommandResult result;
    int pipeFds[2];
    if (argv.empty() || ::pipe2(pipeFds, O_CLOEXEC) != 0)
        return result;
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return result;
    }
    if (pid == 0) {
        const int devNull = ::open("/dev/null", O_RDONLY);
        if (devNull >= 0)
            ::dup2(devNull, 0);
        ::dup2(pipeFds[1], 1);
        ::dup2(pipeFds[1], 2);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        result.output.append(buffer, static_cast<size_t>(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

namespace {

struct ArchiveCloser
{
    void operator()(zip_t* z) const { zip_discard(z); }
};
using ArchivePtr = std::unique_ptr<zip_t, ArchiveCloser>;

struct FileCloser
{
    void operator()(zip_file_t* f) const { zip_fclose(f); }
};
using FilePtr = std::unique_ptr<zip_file_t, FileCloser>;

ArchivePtr openLibzip(const fs::path& archive, int& error)
{
    error = 0;
    return ArchivePtr(zip_open(archive.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error));
}

} // namespace

bool libzipReadAll(const fs::path& archive, const std::string& password, std::vector<LibzipEntry>& entries,
                   std::string& failure, bool keepData)
{
    entries.clear();
    int error = 0;
    ArchivePtr z = openLibzip(archive, error);
    if (!z) {
        failure = "libzip cannot open the archive, error " + std::to_string(error);
        return false;
    }
    if (!password.empty() && zip_set_default_password(z.get(), password.c_str()) != 0) {
        failure = "libzip refuses the password";
        return false;
    }
    const zip_int64_t count = zip_get_num_entries(z.get(), 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(z.get(), static_cast<zip_uint64_t>(i), 0, &st) != 0) {
            failure = "libzip cannot stat entry " + std::to_string(i);
            return false;
        }
        LibzipEntry e;
        e.name = st.name;
        e.method = st.comp_method;
        e.size = st.size;
        e.crc = st.crc;
        e.encrypted = st.encryption_method != ZIP_EM_NONE;
        FilePtr f(zip_fopen_index(z.get(), static_cast<zip_uint64_t>(i), 0));
        if (!f) {
            failure = "libzip cannot open " + e.name + ": " + zip_strerror(z.get());
            return false;
        }
        std::vector<char> buffer(1 << 20);
        uLong crc = crc32(0, nullptr, 0);
        for (;;) {
            const zip_int64_t n = zip_fread(f.get(), buffer.data(), buffer.size());
            if (n < 0) {
                failure = "libzip cannot read " + e.name + ": " + zip_file_strerror(f.get());
                return false;
            }
            if (n == 0)
                break;
            crc = crc32(crc, reinterpret_cast<const Bytef*>(buffer.data()), static_cast<uInt>(n));
            e.readSize += static_cast<uint64_t>(n);
            if (keepData)
                e.data.append(buffer.data(), static_cast<size_t>(n));
        }
        e.readCrc = static_cast<uint32_t>(crc);
        entries.push_back(std::move(e));
    }
    return true;
}

int libzipReadError(const fs::path& archive, const std::string& password)
{
    int error = 0;
    ArchivePtr z = openLibzip(archive, error);
    if (!z)
        return error;
    if (!password.empty())
        zip_set_default_password(z.get(), password.c_str());
    FilePtr f(zip_fopen_index(z.get(), 0, 0));
    if (!f)
        return zip_error_code_zip(zip_get_error(z.get()));
    char buffer[65536];
    zip_int64_t n;
    while ((n = zip_fread(f.get(), buffer, sizeof buffer)) > 0) {
    }
    if (n < 0)
        return zip_error_code_zip(zip_file_get_error(f.get()));
    return 0;
}

int64_t libzipEntryCount(const fs::path& archive)
{
    int error = 0;
    ArchivePtr z = openLibzip(archive, error);
    return z ? zip_get_num_entries(z.get(), 0) : -1;
}

CommandResult sevenZipTest(const fs::path& archive, const std::string& password)
{
    std::vector<std::string> args{"7z", "t", "-bd", "-y"};
    if (!password.empty())
        args.push_back("-p" + password);
    args.push_back(archive.string());
    return runCommand(args);
}

CommandResult sevenZipExtract(const fs::path& archive, const fs::path& folder, const std::string& password)
{
    std::vector<std::string> args{"7z", "x", "-bd", "-y", "-o" + folder.string()};
    if (!password.empty())
        args.push_back("-p" + password);
    args.push_back(archive.string());
    return runCommand(args);
}

std::map<std::string, std::string> readTree(const fs::path& folder)
{
    std::map<std::string, std::string> tree;
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
        const std::string rel = it->path().lexically_relative(folder).generic_string();
        if (it->is_symlink())
            tree[rel] = "-> " + fs::read_symlink(it->path()).string();
        else if (it->is_directory())
            tree[rel + "/"] = "";
        else
            tree[rel] = readFile(it->path());
    }
    return tree;
}

::testing::AssertionResult sameTree(const std::map<std::string, std::string>& actual,
                                    const std::map<std::string, std::string>& expected)
{
    std::string differences;
    for (const auto& [name, data] : expected) {
        auto it = actual.find(name);
        if (it == actual.end())
            differences += "\n  missing: " + name;
        else if (it->second != data)
            differences += "\n  differs: " + name + " (" + std::to_string(it->second.size()) + " bytes, expected "
                           + std::to_string(data.size()) + ")";
    }
    for (const auto& [name, data] : actual)
        if (!expected.count(name))
            differences += "\n  unexpected: " + name;
    if (differences.empty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "trees differ:" << differences;
}

std::vector<engine::zip::EntrySource> entriesFromTree(const fs::path& folder)
{
    using engine::zip::EntryKind;
    std::vector<fs::path> paths;
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it)
        paths.push_back(it->path());
    std::sort(paths.begin(), paths.end());
    std::vector<engine::zip::EntrySource> entries;
    for (const fs::path& p : paths) {
        struct stat st;
        if (::lstat(p.c_str(), &st) != 0)
            throw std::runtime_error("lstat failed: " + p.string());
        engine::zip::EntrySource e;
        e.name = p.lexically_relative(folder).generic_string();
        e.mode = st.st_mode;
        e.mtime = st.st_mtim.tv_sec;
        e.path = p.string();
        if (S_ISDIR(st.st_mode)) {
            e.kind = EntryKind::Directory;
            e.name += "/";
        } else if (S_ISLNK(st.st_mode)) {
            e.kind = EntryKind::Symlink;
            e.linkTarget = fs::read_symlink(p).string();
        } else {
            e.size = static_cast<uint64_t>(st.st_size);
        }
        entries.push_back(std::move(e));
    }
    return entries;
}

std::map<std::string, std::string> readArchive(const fs::path& archive, const std::string& password)
{
    engine::zip::ZipReader reader(archive.string(), password);
    std::map<std::string, std::string> tree;
    for (const auto& e : reader.entries()) {
        std::string data;
        reader.read(e, [&](const char* p, size_t n) { data.append(p, n); });
        if (e.kind == engine::zip::EntryKind::Symlink)
            tree[e.name] = "-> " + data;
        else
            tree[e.name] = data;
    }
    return tree;
}

WriteOutcome writeArchive(const fs::path& archive, const std::vector<engine::zip::EntrySource>& entries,
                          engine::zip::ZipWriter::Options options)
{
    WriteOutcome outcome;
    auto downstream = options.onEntryDone;
    options.onEntryDone = [&outcome, downstream](const engine::zip::EntryResult& r) {
        outcome.reported.push_back(r.name);
        if (downstream)
            downstream(r);
    };
    engine::zip::OutputFile out(archive.string());
    engine::zip::ZipWriter writer(out, std::move(options));
    for (const auto& e : entries)
        writer.add(e);
    outcome.results = writer.finish();
    out.close();
    return outcome;
}

} // namespace stowkeep::test
