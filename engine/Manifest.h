#pragma once

// The manifest: the list of everything a run's selection held, one line per file, folder
// and link, with where its content is. Every archive carries its run's manifest as its
// last entry, a UTF-8 text that a person can read, so that the archives alone tell each
// run's state: the catalog can be rebuilt from them and an archive that the catalog
// missed can be adopted.
//
//   Stowkeep manifest 1
//   set: Documents
//   started: 2026-12-09 08:00:13 +0100
//   kind: incremental
//   base: Documents_20261208-080011_full.zip
//   entries: 3
//
//   #kind<TAB>size<TAB>modified (UTC)<TAB>mode<TAB>crc32<TAB>archive<TAB>path<TAB>link target
//   d  0     2026-12-09T06:58:02.517000000Z  0755  00000000  .      docs
//   f  1234  2026-12-09T06:58:02.113402117Z  0644  8d4f1a02  Documents_20261208-080011_full.zip  docs/a.txt
//   l  5     2026-12-01T10:00:00.000000000Z  0777  1c5b2e37  .      docs/latest  a.txt
//
// Fields are separated by one tab. "." as the archive is the archive that holds the
// manifest (its final name can change when it is published); "?" is an archive that is
// not known (rebuilt from archives that did not all survive). In names, link targets and
// the set name, a backslash, tab, line break, other control character and any byte that
// is not part of valid UTF-8 are escaped (\\ \t \n \r \xHH), so every name reads back
// exactly. Lines starting with "#" are comments.

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace stowkeep::engine {

namespace zip {
class ZipReader;
}

class ManifestError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

enum class ManifestKind : int { File = 0, Directory = 1, Symlink = 2 };

// The archive that holds the manifest, as a row's archive.
inline constexpr std::string_view kThisArchive = ".";

struct ManifestRow
{
    std::string path;       // relative to the selection's base, "/" separators
    ManifestKind kind = ManifestKind::File;
    uint64_t size = 0;
    int64_t mtimeNs = 0;    // nanoseconds since the epoch
    uint32_t mode = 0;      // st_mode, type bits included; 0: not known (recorded by an older version)
    uint32_t crc = 0;       // CRC-32 of the content (of the target for a link)
    std::string linkTarget; // Symlink
    std::string archive;    // file name of the archive that holds the content, kThisArchive,
                            // or empty when not known
};

struct ManifestHeader
{
    std::string setName;
    int64_t startTime = 0;     // seconds since the epoch
    int utcOffset = 0;         // of the local time at the start, in seconds east of UTC
    std::string kind;          // "full" or "incremental"
    std::string base;          // file name of the archive the run builds on; empty: none
    uint64_t entries = 0;

    // The local start time as the archive's name has it: "YYYYMMDD-HHMMSS".
    std::string stamp() const;
};

struct Manifest
{
    ManifestHeader header;
    std::vector<ManifestRow> rows;
};

// Builds a manifest's text: the header, then add() once per row, in any order.
class ManifestWriter
{
public:
    explicit ManifestWriter(const ManifestHeader& header);
    // Room for `rows` more rows whose path, archive and link target take `textBytes` in
    // all: grown by doubling, the text would leave its earlier copies behind as free memory.
    void reserve(size_t rows, size_t textBytes);
    void add(const ManifestRow& row);
    std::string take() { return std::move(m_text); }

private:
    std::string m_text;
    int64_t m_lastSecond = 0;
    std::string m_lastTime; // "2026-12-08T01:02:03" of m_lastSecond
};

// Throws ManifestError naming the first line that is not as written above. With
// unsafePaths, a row whose path is absolute or has an empty, "." or ".." part is left out
// of the rows and its path added there instead (for a restore to refuse it by name).
Manifest parseManifest(std::string_view text, std::vector<std::string>* unsafePaths = nullptr);

// The manifest's entry name: ".stowkeep-manifest.txt", or "-2", "-3"... before ".txt"
// when the selection holds a top-level item of that name (letter case ignored, for
// drives that ignore it): taken(name) says whether it does. A reader tells the manifest
// from a user's file of such a name by its place (the archive's last entry), its first
// line and its start time, which must be the one in the archive's file name.
std::string chooseManifestName(const std::function<bool(std::string_view)>& taken);
bool isManifestName(std::string_view name);
bool sameNameIgnoringCase(std::string_view a, std::string_view b);

// An archive's file name: "<set>_YYYYMMDD-HHMMSS_<kind>[-N].zip".
struct ArchiveName
{
    std::string set;   // as it may appear in a file name
    std::string stamp; // "YYYYMMDD-HHMMSS", local time
    std::string kind;  // "full" or "incremental"
    int counter = 1;   // N, 1 when absent
};
std::optional<ArchiveName> parseArchiveName(std::string_view file);

// The manifest of an open archive whose file is archiveFile: its last entry, when that
// is named as a manifest, begins as one, and belongs to this archive (its start time is
// the one in archiveFile's name). Empty when the archive has none (made by an older
// version); throws ManifestError when it is damaged, zip::ZipError when unreadable.
// unsafePaths as for parseManifest.
std::optional<Manifest> readManifest(const zip::ZipReader& reader, const std::string& archiveFile,
                                     std::vector<std::string>* unsafePaths = nullptr);
// Why readManifest found no manifest of archiveFile in a reader that read the archive whole.
std::string whyNoManifest(const zip::ZipReader& reader);

std::string escapeManifestText(std::string_view raw);
void appendEscaped(std::string& out, std::string_view raw); // the same, added to out
// False when the text is not a valid escaped text.
bool unescapeManifestText(std::string_view text, std::string& raw);

} // namespace stowkeep::engine
