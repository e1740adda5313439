#include "BenchSupport.h"

#include "zip/ZipReader.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

using namespace stowkeep::engine;

namespace bench {

double seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}


double loadAverage()
{
    double load = -1;
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &load) != 1)
            load = -1;
        std::fclose(f);
    }
    return load;
}

Sample Series::median() const
{
    std::vector<Sample> sorted = samples;
    std::sort(sorted.begin(), sorted.end(), [](const Sample& a, const Sample& b) { return a.seconds < b.seconds; });
    return sorted.empty() ? Sample {} : sorted[sorted.size() / 2];
}

std::string Series::loads() const
{
    std::string s;
    for (const Sample& x : samples) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%s%.1f", s.empty() ? "" : " ", x.load);
        s += buffer;
    }
    return s;
}

double megabytes(const struct rusage& ru)
{
    return static_cast<double>(ru.ru_maxrss) / 1024.0;
}

double cpuSeconds(const struct rusage& ru)
{
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec)
           + static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Resident memory of this process now, in MB: what a child forked now starts with.
double residentMb()
{
    long pages = 0;
    long resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / 1048576.0;
}

// Runs body (which returns the seconds it measured) in a forked child and returns those
// seconds with the child's peak memory. A failure in the child is thrown here.
Measured inChildProcess(const std::function<double()>& body)
{
    int fds[2];
    if (::pipe(fds) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        ::close(fds[0]);
        std::string reply;
        int code = 0;
        try {
            const double s = body();
            reply.assign(reinterpret_cast<const char*>(&s), sizeof s);
        } catch (const std::exception& e) {
            reply = e.what();
            code = 1;
        }
        for (size_t done = 0; done < reply.size();) {
            const ssize_t n = ::write(fds[1], reply.data() + done, reply.size() - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        ::_exit(code);
    }
    ::close(fds[1]);
    std::string reply;
    char buffer[512];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        reply.append(buffer, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    struct rusage ru {};
    while (::wait4(pid, &status, 0, &ru) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || reply.size() != sizeof(double))
        throw std::runtime_error(reply.empty() ? std::string("a measuring child failed") : reply);
    Measured m;
    std::memcpy(&m.seconds, reply.data(), sizeof m.seconds);
    m.peakMb = megabytes(ru);
    m.cpuSeconds = cpuSeconds(ru);
    return m;
}

// Runs `zip -qry -<level> <out> .` in the corpus folder; returns the seconds taken, its peak
// and its CPU time. Links are stored as links (-y), as the engine stores them: zip does not
// compress what they point to a second time.
Measured runZip(const fs::path& corpus, const fs::path& out, int level)
{
    const auto start = std::chrono::steady_clock::now();
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(corpus.c_str()) != 0)
            ::_exit(126);
        const std::string lv = "-" + std::to_string(level);
        ::execlp("zip", "zip", "-qry", lv.c_str(), out.c_str(), ".", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    struct rusage ru {};
    while (::wait4(pid, &status, 0, &ru) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("zip failed");
    return {seconds(start), megabytes(ru), cpuSeconds(ru)};
}

uint64_t folderBytes(const fs::path& folder)
{
    uint64_t total = 0;
    for (const auto& e : fs::directory_iterator(folder))
        if (e.is_regular_file())
            total += e.file_size();
    return total;
}

// Reads every entry of the archive to its end, as verification does.
double verifyTime(const fs::path& archive, const std::string& password)
{
    const auto start = std::chrono::steady_clock::now();
    zip::ZipReader reader(archive.string(), password);
    std::vector<size_t> files;
    for (size_t i = 0; i < reader.entries().size(); ++i)
        if (reader.entries()[i].kind == zip::EntryKind::File)
            files.push_back(i);
    reader.checkAll(files, [](size_t, const zip::ZipReader::Check& check) {
        if (!check.error.empty())
            throw std::runtime_error(check.error);
    });
    return seconds(start);
}

// One run of the job by a fresh engine (the catalog is on the disk), in a child process.
Measured runEngine(const fs::path& work, const BackupJob& job, const char* what)
{
    return inChild([&] {
        BackupEngine engine;
        engine.setCatalogFolder((work / "catalog").string());
        engine.setLogFolder((work / "logs").string());
        engine.setLogDetailLevel(1);
        const auto start = std::chrono::steady_clock::now();
        const int32_t rc = engine.RunJob(job);
        const double s = seconds(start);
        if (rc != Success)
            throw std::runtime_error(std::string(what) + ": " + engine.GetErrorText(0, rc));
        return s;
    });
}

Measured runVerify(const fs::path& archive, const std::string& password)
{
    return inChild([&] { return verifyTime(archive, password); });
}

Measured sevenZipExtract(const fs::path& archive, const fs::path& out, const std::string& password,
                         const std::vector<std::string>& names)
{
    std::vector<std::string> args = {"7z", "x", "-y", "-bd", "-snld", "-o" + out.string()};
    // -snld: links that point out of their folder are restored as they were stored.
    if (!password.empty())
        args.push_back("-p" + password);
    args.push_back("--");
    args.push_back(archive.string());
    args.insert(args.end(), names.begin(), names.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int devNull = ::open("/dev/null", O_WRONLY);
        ::dup2(devNull, 1);
        ::dup2(devNull, 2);
        ::execvp("7z", argv.data());
        ::_exit(127);
    }
    int status = 0;
    struct rusage ru {};
    while (::wait4(pid, &status, 0, &ru) < 0 && errno == EINTR) {
    }
    // 2: 7-Zip also says so when it only refused links that lead out through other links.
    if (!WIFEXITED(status) || (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 2))
        throw std::runtime_error("7z x failed on " + archive.string());
    return {seconds(start), megabytes(ru), cpuSeconds(ru)};
}

void clearFolder(const fs::path& folder)
{
    fs::remove_all(folder);
    fs::create_directories(folder);
}


} // namespace bench
