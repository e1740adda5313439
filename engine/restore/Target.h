#pragma once

// The target folder of a restore, reached only through descriptors: every name is one
// component opened relative to its folder with O_NOFOLLOW, so nothing is ever written
// outside the target nor through a link, whatever the names in a run say and whatever
// links the target holds.

#include "BackupEngine.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace stowkeep::engine::detail {

// The access and modification times a restored item is given: access now, modification as
// stored. The access time is not left out (UTIME_OMIT): exFAT mounted by exfat-fuse, as any
// file system served by FUSE's older library, ignores a modification time that comes alone,
// and every file would keep the time of the restore.
std::array<timespec, 2> restoredTimes(int64_t mtimeNs);

// A file descriptor, closed when it leaves scope.
class Fd
{
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& o) noexcept : m_fd(o.m_fd) { o.m_fd = -1; }
    Fd& operator=(Fd&& o) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    void reset();

private:
    int m_fd = -1;
};

// A failed write to the target: errno and a text for the user.
struct TargetError
{
    int error = 0;
    std::string text;
};

// What stands at a name, links not followed.
enum class Found { Nothing, File, Folder, Link, Other };
Found lookAt(int folder, const std::string& name);
// "a folder", "a file", "a link", "another kind of item" for texts.
const char* foundText(Found found);

// A path of a run as a restore may write it: relative, "/" separators, no empty, "." or
// ".." part, no NUL. Otherwise the reason it is refused.
std::string unsafePathReason(std::string_view path);

// "report.pdf" -> "report (restored).pdf", n = 2: "report (restored 2).pdf"; the stem is
// shortened when the name would pass 255 bytes.
std::string restoredName(const std::string& name, int n);

class TargetFolder
{
public:
    // Opens the folder, creating it and its missing parents. Throws TargetError.
    explicit TargetFolder(const std::string& path);

    const std::string& path() const { return m_path; }
    int fd() const { return m_root.get(); }

    // Opens a folder below the target (an empty path: the target itself), component by
    // component. With create, missing folders are made (`mode`, before the umask) and
    // `made` is called with each one's path. Failing, it returns an empty Fd with the path
    // where it stopped, what stands there (Found::Nothing for an error) and the error.
    struct Stop
    {
        std::string at;
        Found found = Found::Nothing;
        int error = 0;
    };
    Fd openFolder(std::string_view relative, bool create, mode_t mode, Stop& stop,
                  const std::function<void(const std::string&)>& made = {}) const;

private:
    std::string m_path;
    Fd m_root;
};

// A file or link being written under a temporary name in its folder (a file, where the
// file system can, as an unnamed one); removed unless it was put in place.
class TempItem
{
public:
    // fault: the engine's test seam for writes (may be empty).
    TempItem(int folder, const WriteFaultHook& fault);
    ~TempItem();
    TempItem(const TempItem&) = delete;
    TempItem& operator=(const TempItem&) = delete;

    // A new, empty file (mode 0600) open for writing. Throws TargetError.
    int createFile();
    // A symbolic link. Throws TargetError.
    void createLink(const std::string& target);
    void write(const char* data, size_t size); // throws TargetError
    // Mode (set-user-ID never, set-group-ID only on folders) and modification time.
    void finish(uint32_t mode, int64_t mtimeNs, bool sync);
    void closeFile();

    enum class Placed { Done, Exists };
    // Moves it to `name`: never over an existing item unless replace (and then only over
    // a file or link; a folder stays). Throws TargetError.
    Placed place(const std::string& name, bool replace);

private:
    // Gives the unnamed file a name; false when the name is taken.
    bool linkUnnamed(const std::string& name);

    int m_folder;
    const WriteFaultHook& m_fault;
    std::string m_name;
    int m_fd = -1;
    bool m_link = false;
    bool m_exists = false;  // under m_name
    bool m_unnamed = false; // open, with no name yet
    uint64_t m_offset = 0;  // where the next write goes
    bool m_endsInHole = false; // the last bytes were zeros left unwritten
};

} // namespace stowkeep::engine::detail
