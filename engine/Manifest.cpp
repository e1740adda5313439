#include "Manifest.h"

#include "zip/ZipReader.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <ctime>

namespace stowkeep::engine {

namespace {

constexpr std::string_view kFormatLine = "Stowkeep manifest 1";
constexpr std::string_view kFormatPrefix = "Stowkeep manifest ";
constexpr std::string_view kManifestStem = ".stowkeep-manifest";
constexpr std::string_view kManifestSuffix = ".txt";
constexpr std::string_view kNoBase = "(none)";
constexpr std::string_view kUnknownArchive = "?";
constexpr std::string_view kColumns =
    "#kind\tsize\tmodified (UTC)\tmode\tcrc32\tarchive\tpath\tlink target\n";
constexpr int64_t kNsPerSecond = 1000000000;
// A manifest lists a few dozen bytes per file: more than this is not one of ours.
constexpr uint64_t kMaxManifestSize = uint64_t{1} << 31;

bool isDigits(std::string_view s)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// Length of the valid UTF-8 sequence at text[i] that is not a control character, or 0.
size_t printableSequence(std::string_view text, size_t i)
{
    const auto byte = [&](size_t k) { return k < text.size() ? static_cast<unsigned char>(text[k]) : 0u; };
    const unsigned c = byte(i);
    const auto cont = [&](size_t k) { return (byte(k) & 0xC0) == 0x80; };
    if (c >= 0x20 && c < 0x7F)
        return 1;
    if (c >= 0xC2 && c <= 0xDF)
        return cont(i + 1) && !(c == 0xC2 && byte(i + 1) < 0xA0) ? 2 : 0; // C1 controls escaped
    if (c >= 0xE0 && c <= 0xEF) {
        const unsigned lo = c == 0xE0 ? 0xA0 : 0x80;
        const unsigned hi = c == 0xED ? 0x9F : 0xBF;
        return byte(i + 1) >= lo && byte(i + 1) <= hi && cont(i + 2) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        const unsigned lo = c == 0xF0 ? 0x90 : 0x80;
        const unsigned hi = c == 0xF4 ? 0x8F : 0xBF;
        return byte(i + 1) >= lo && byte(i + 1) <= hi && cont(i + 2) && cont(i + 3) ? 4 : 0;
    }
    return 0;
}

// value in `base` with at least `width` digits (leading zeros).
void appendDigits(std::string& out, uint64_t value, int width, unsigned base)
{
    char digits[24];
    const char* end = std::to_chars(digits, digits + sizeof digits, value, static_cast<int>(base)).ptr;
    for (auto n = end - digits; n < width; ++n)
        out += '0';
    out.append(digits, static_cast<size_t>(end - digits));
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int64_t floorDiv(int64_t a, int64_t b)
{
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

std::string formatUtc(int64_t ns)
{
    const int64_t seconds = floorDiv(ns, kNsPerSecond);
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm {};
    gmtime_r(&t, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%09lldZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<long long>(ns - seconds * kNsPerSecond));
    return text;
}

bool parseUtc(std::string_view text, int64_t& ns)
{
    const std::string s(text);
    std::tm tm {};
    long long fraction = 0;
    int used = 0;
    if (std::sscanf(s.c_str(), "%d-%d-%dT%d:%d:%d.%9lldZ%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &tm.tm_sec, &fraction, &used) != 7 ||
        static_cast<size_t>(used) != s.size())
        return false;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    ns = static_cast<int64_t>(timegm(&tm)) * kNsPerSecond + fraction;
    return formatUtc(ns) == s; // nothing out of range, nothing written two ways
}

// The local start time with its offset: "2026-12-09 08:00:13 +0100".
std::string formatStart(int64_t startTime, int utcOffset)
{
    const auto t = static_cast<std::time_t>(startTime + utcOffset);
    std::tm tm {};
    gmtime_r(&t, &tm);
    const int offset = utcOffset < 0 ? -utcOffset : utcOffset;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d %c%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, utcOffset < 0 ? '-' : '+', offset / 3600,
                  offset / 60 % 60);
    return text;
}

bool parseStart(std::string_view text, ManifestHeader& h)
{
    const std::string s(text);
    std::tm tm {};
    char sign = 0;
    int hours = 0;
    int minutes = 0;
    int used = 0;
    if (std::sscanf(s.c_str(), "%d-%d-%d %d:%d:%d %c%2d%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &tm.tm_sec, &sign, &hours, &minutes, &used) != 9 ||
        static_cast<size_t>(used) != s.size() || (sign != '+' && sign != '-'))
        return false;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    h.utcOffset = (sign == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
    h.startTime = static_cast<int64_t>(timegm(&tm)) - h.utcOffset;
    return formatStart(h.startTime, h.utcOffset) == s;
}

template <typename T> bool parseNumber(std::string_view text, T& value, int base = 10)
{
    if (text.empty())
        return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc() && end == text.data() + text.size();
}

// A relative path as the selection makes them: no empty, "." or ".." part.
bool isRelativePath(std::string_view path)
{
    if (path.empty() || path.front() == '/' || path.back() == '/')
        return false;
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        const std::string_view part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        start = end + 1;
    }
    return true;
}

std::vector<std::string_view> splitTabs(std::string_view line)
{
    std::vector<std::string_view> fields;
    for (size_t start = 0;;) {
        const size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
        if (tab == std::string_view::npos)
            return fields;
        start = tab + 1;
    }
}

uint32_t typeBits(ManifestKind kind)
{
    switch (kind) {
    case ManifestKind::Directory:
        return S_IFDIR;
    case ManifestKind::Symlink:
        return S_IFLNK;
    case ManifestKind::File:
        break;
    }
    return S_IFREG;
}

// With unsafe set, a row whose path is not a plain relative path is no error: it is
// marked so, for a restore to refuse by name.
ManifestRow parseRow(std::string_view line, size_t number, bool* unsafe)
{
    const auto fail = [number](const char* what) {
        return ManifestError("line " + std::to_string(number) + " of the manifest: " + what);
    };
    const auto f = splitTabs(line);
    if (f.size() != 7 && f.size() != 8)
        throw fail("not the right number of fields");
    ManifestRow row;
    if (f[0] == "f")
        row.kind = ManifestKind::File;
    else if (f[0] == "d")
        row.kind = ManifestKind::Directory;
    else if (f[0] == "l")
        row.kind = ManifestKind::Symlink;
    else
        throw fail("unknown kind");
    if ((f.size() == 8) != (row.kind == ManifestKind::Symlink))
        throw fail("a link target belongs to links only");
    uint32_t permissions = 0;
    if (!parseNumber(f[1], row.size) || !parseUtc(f[2], row.mtimeNs) || f[3].size() != 4 ||
        !parseNumber(f[3], permissions, 8) || permissions > 07777 || f[4].size() != 8 ||
        !parseNumber(f[4], row.crc, 16))
        throw fail("a bad size, time, mode or checksum");
    row.mode = typeBits(row.kind) | permissions;
    if (f[5] == kUnknownArchive)
        row.archive.clear();
    else if (!unescapeManifestText(f[5], row.archive) || row.archive.empty() || row.archive == ".." ||
             row.archive.find('/') != std::string::npos)
        throw fail("a bad archive name");
    if (!unescapeManifestText(f[6], row.path))
        throw fail("a bad path");
    if (!isRelativePath(row.path)) {
        if (!unsafe || row.path.empty())
            throw fail("a bad path");
        *unsafe = true;
    }
    if (f.size() == 8 && !unescapeManifestText(f[7], row.linkTarget))
        throw fail("a bad link target");
    return row;
}

} // namespace

std::string escapeManifestText(std::string_view raw)
{
    std::string out;
    out.reserve(raw.size());
    appendEscaped(out, raw);
    return out;
}

void appendEscaped(std::string& out, std::string_view raw)
{
    static constexpr char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < raw.size();) {
        // Plain ASCII, most of every name, in one piece.
        size_t plain = i;
        while (plain < raw.size() && raw[plain] >= 0x20 && raw[plain] < 0x7F && raw[plain] != '\\')
            ++plain;
        out.append(raw.substr(i, plain - i));
        i = plain;
        if (i == raw.size())
            break;
        const char c = raw[i];
        const size_t n = c == '\\' ? 0 : printableSequence(raw, i);
        if (n > 0) {
            out.append(raw.substr(i, n));
            i += n;
            continue;
        }
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else {
            const auto u = static_cast<unsigned char>(c);
            out += "\\x";
            out += hex[u >> 4];
            out += hex[u & 15];
        }
        ++i;
    }
}

bool unescapeManifestText(std::string_view text, std::string& raw)
{
    raw.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\t' || c == '\n' || c == '\r')
            return false;
        if (c != '\\') {
            raw += c;
            continue;
        }
        if (++i == text.size())
            return false;
        switch (text[i]) {
        case '\\':
            raw += '\\';
            break;
        case 't':
            raw += '\t';
            break;
        case 'n':
            raw += '\n';
            break;
        case 'r':
            raw += '\r';
            break;
        case 'x': {
            const int hi = i + 2 < text.size() ? hexValue(text[i + 1]) : -1;
            const int lo = hi >= 0 ? hexValue(text[i + 2]) : -1;
            if (lo < 0)
                return false;
            raw += static_cast<char>(hi * 16 + lo);
            i += 2;
            break;
        }
        default:
            return false;
        }
    }
    return true;
}

std::string ManifestHeader::stamp() const
{
    const auto t = static_cast<std::time_t>(startTime + utcOffset);
    std::tm tm {};
    gmtime_r(&t, &tm);
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d-%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

ManifestWriter::ManifestWriter(const ManifestHeader& h)
{
    m_text.append(kFormatLine).append("\n");
    m_text += "set: " + escapeManifestText(h.setName) + "\n";
    m_text += "started: " + formatStart(h.startTime, h.utcOffset) + "\n";
    m_text += "kind: " + h.kind + "\n";
    m_text += "base: " + (h.base.empty() ? std::string(kNoBase) : escapeManifestText(h.base)) + "\n";
    m_text += "entries: " + std::to_string(h.entries) + "\n\n";
    m_text.append(kColumns);
}

void ManifestWriter::reserve(size_t rows, size_t textBytes)
{
    // Kind, size, time, mode, checksum and the separators, at their longest.
    constexpr size_t kFixedBytes = 2 + 20 + 1 + 30 + 1 + 4 + 1 + 8 + 1 + 1 + 1 + 1;
    m_text.reserve(m_text.size() + rows * kFixedBytes + textBytes);
}

void ManifestWriter::add(const ManifestRow& row)
{
    m_text += row.kind == ManifestKind::Directory ? "d\t" : row.kind == ManifestKind::Symlink ? "l\t" : "f\t";
    char number[24];
    m_text.append(number, static_cast<size_t>(std::to_chars(number, number + sizeof number, row.size).ptr - number));
    m_text += '\t';
    // Files of one folder mostly share their second: its text is made once.
    const int64_t second = floorDiv(row.mtimeNs, kNsPerSecond);
    if (m_lastSecond != second || m_lastTime.empty()) {
        m_lastTime = formatUtc(second * kNsPerSecond);
        m_lastTime.resize(m_lastTime.size() - 11); // without ".000000000Z"
        m_lastSecond = second;
    }
    m_text += m_lastTime;
    m_text += '.';
    appendDigits(m_text, static_cast<uint64_t>(row.mtimeNs - second * kNsPerSecond), 9, 10);
    m_text += "Z\t";
    appendDigits(m_text, row.mode & 07777, 4, 8);
    m_text += '\t';
    appendDigits(m_text, row.crc, 8, 16);
    m_text += '\t';
    if (row.archive.empty())
        m_text += kUnknownArchive;
    else
        appendEscaped(m_text, row.archive);
    m_text += '\t';
    appendEscaped(m_text, row.path);
    if (row.kind == ManifestKind::Symlink) {
        m_text += '\t';
        appendEscaped(m_text, row.linkTarget);
    }
    m_text += '\n';
}

Manifest parseManifest(std::string_view text, std::vector<std::string>* unsafePaths)
{
    Manifest m;
    size_t number = 0;
    size_t pos = 0;
    auto nextLine = [&](std::string_view& line) {
        if (pos >= text.size())
            return false;
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        line = text.substr(pos, end - pos);
        pos = end + 1;
        ++number;
        return true;
    };
    std::string_view line;
    if (!nextLine(line) || line.substr(0, kFormatPrefix.size()) != kFormatPrefix)
        throw ManifestError("not a manifest");
    if (line != kFormatLine)
        throw ManifestError("the manifest is of a newer format (" + std::string(line) + ")");
    bool haveSet = false, haveStart = false, haveCount = false;
    while (nextLine(line) && !line.empty()) {
        const size_t colon = line.find(": ");
        const std::string_view key = line.substr(0, colon);
        const std::string_view value = colon == std::string_view::npos ? "" : line.substr(colon + 2);
        bool good = colon != std::string_view::npos;
        if (key == "set")
            good = good && (haveSet = unescapeManifestText(value, m.header.setName));
        else if (key == "started")
            good = good && (haveStart = parseStart(value, m.header));
        else if (key == "kind")
            good = good && (value == "full" || value == "incremental") && (m.header.kind = value, true);
        else if (key == "base")
            good = good && (value == kNoBase || unescapeManifestText(value, m.header.base));
        else if (key == "entries")
            good = good && (haveCount = parseNumber(value, m.header.entries));
        if (!good)
            throw ManifestError("line " + std::to_string(number) + " of the manifest: a bad header line");
    }
    if (!haveSet || !haveStart || !haveCount || m.header.kind.empty())
        throw ManifestError("the manifest's header is incomplete");
    m.rows.reserve(static_cast<size_t>(std::min<uint64_t>(m.header.entries, 10'000'000)));
    size_t unsafeCount = 0;
    while (nextLine(line)) {
        if (line.empty() || line.front() == '#')
            continue;
        bool unsafe = false;
        ManifestRow row = parseRow(line, number, unsafePaths ? &unsafe : nullptr);
        if (unsafe) {
            unsafePaths->push_back(std::move(row.path));
            ++unsafeCount;
        } else {
            m.rows.push_back(std::move(row));
        }
    }
    if (m.rows.size() + unsafeCount != m.header.entries)
        throw ManifestError("the manifest is incomplete: " + std::to_string(m.rows.size() + unsafeCount) + " of " +
                            std::to_string(m.header.entries) + " entries");
    return m;
}

std::string manifestNameFor(int n)
{
    return std::string(kManifestStem) + (n == 1 ? "" : "-" + std::to_string(n)) + std::string(kManifestSuffix);
}

std::string chooseManifestName(const std::function<bool(std::string_view)>& taken)
{
    for (int n = 1;; ++n) {
        std::string name = manifestNameFor(n);
        if (!taken(name))
            return name;
    }
}

bool isManifestName(std::string_view name)
{
    if (name.size() < kManifestStem.size() + kManifestSuffix.size() ||
        name.substr(0, kManifestStem.size()) != kManifestStem ||
        name.substr(name.size() - kManifestSuffix.size()) != kManifestSuffix)
        return false;
    const std::string_view counter =
        name.substr(kManifestStem.size(), name.size() - kManifestStem.size() - kManifestSuffix.size());
    return counter.empty() || (counter[0] == '-' && isDigits(counter.substr(1)));
}

bool sameNameIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

std::optional<ArchiveName> parseArchiveName(std::string_view file)
{
    constexpr std::string_view zipSuffix = ".zip";
    if (file.size() < zipSuffix.size() || file.substr(file.size() - zipSuffix.size()) != zipSuffix)
        return std::nullopt;
    std::string_view rest = file.substr(0, file.size() - zipSuffix.size());
    ArchiveName name;
    const size_t dash = rest.rfind('-');
    const size_t underscore = rest.rfind('_');
    if (dash != std::string_view::npos && underscore != std::string_view::npos && dash > underscore) {
        const std::string_view counter = rest.substr(dash + 1);
        if (!isDigits(counter) || counter.size() > 6 || counter[0] == '0')
            return std::nullopt;
        name.counter = std::stoi(std::string(counter));
        if (name.counter < 2)
            return std::nullopt;
        rest = rest.substr(0, dash);
    }
    for (std::string_view kind : {std::string_view("_full"), std::string_view("_incremental")}) {
        if (rest.size() > kind.size() && rest.substr(rest.size() - kind.size()) == kind) {
            name.kind = std::string(kind.substr(1));
            rest.remove_suffix(kind.size());
            break;
        }
    }
    // "_YYYYMMDD-HHMMSS" after a set name of at least one character.
    if (name.kind.empty() || rest.size() < 17 || rest[rest.size() - 16] != '_')
        return std::nullopt;
    const std::string_view stamp = rest.substr(rest.size() - 15);
    if (!isDigits(stamp.substr(0, 8)) || stamp[8] != '-' || !isDigits(stamp.substr(9)))
        return std::nullopt;
    name.stamp = std::string(stamp);
    name.set = std::string(rest.substr(0, rest.size() - 16));
    return name;
}

std::optional<Manifest> readManifest(const zip::ZipReader& reader, const std::string& archiveFile,
                                     std::vector<std::string>* unsafePaths)
{
    const auto& entries = reader.entries();
    if (entries.empty())
        return std::nullopt;
    const zip::ZipEntry& last = entries.back();
    if (last.kind != zip::EntryKind::File || !isManifestName(last.name))
        return std::nullopt;
    if (last.size > kMaxManifestSize)
        return std::nullopt;
    std::string text;
    text.reserve(static_cast<size_t>(last.size));
    reader.read(last, [&text](const char* data, size_t n) { text.append(data, n); });
    if (text.compare(0, kFormatPrefix.size(), kFormatPrefix) != 0)
        return std::nullopt;
    std::vector<std::string> unsafe;
    Manifest m = parseManifest(text, unsafePaths ? &unsafe : nullptr);
    const size_t slash = archiveFile.rfind('/');
    const auto name = parseArchiveName(slash == std::string::npos ? archiveFile : archiveFile.substr(slash + 1));
    // A copy of another run's manifest that a user backed up is no manifest of this archive.
    if (!name || name->stamp != m.header.stamp() || name->kind != m.header.kind)
        return std::nullopt;
    if (unsafePaths)
        unsafePaths->insert(unsafePaths->end(), unsafe.begin(), unsafe.end());
    return m;
}

std::string whyNoManifest(const zip::ZipReader& reader)
{
    if (!reader.damage().empty())
        return "it is damaged (" + reader.damage() + ") and its list of files is lost with its end";
    const auto& entries = reader.entries();
    if (!entries.empty() && entries.back().kind == zip::EntryKind::File && isManifestName(entries.back().name))
        return "its list of files is that of another backup (it was renamed, or copied over this one)";
    return "it has no list of its files (an older version of Stowkeep made it)";
}

} // namespace stowkeep::engine
