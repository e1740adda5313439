#include "ProfileStore.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QSet>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

namespace {

constexpr qsizetype MaxValueLength = 2047;
// Editors on other systems may start a UTF-8 file with a byte order mark.
const QByteArray ByteOrderMark = QByteArrayLiteral("\xEF\xBB\xBF");

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

bool isBlank(QChar c)
{
    return c.unicode() < 128 && isBlank(static_cast<char>(c.unicode()));
}

// Position of the first `c` in bytes [from, to), or `to`. Searches never run past the line
// they are about: that would make reading the file grow with the square of its size.
qsizetype findIn(const QByteArray& bytes, char c, qsizetype from, qsizetype to)
{
    if (from >= to)
        return to;
    const void* found = std::memchr(bytes.constData() + from, c, static_cast<std::size_t>(to - from));
    return found ? static_cast<const char*>(found) - bytes.constData() : to;
}

// The name in one letter case, as case-insensitive comparisons see it. Names are nearly
// always ASCII, which is folded here directly: the general folding costs far more.
QString folded(const QString& name)
{
    const bool ascii = std::all_of(name.cbegin(), name.cend(), [](QChar c) { return c.unicode() < 128; });
    if (!ascii)
        return name.toCaseFolded();
    QString result = name;
    for (QChar& c : result) {
        if (c.unicode() >= 'A' && c.unicode() <= 'Z')
            c = QChar(c.unicode() + ('a' - 'A'));
    }
    return result;
}

// Text of bytes [from, to), cut at the first NUL, decoded as UTF-8 (invalid bytes become
// replacement characters) and stripped of surrounding blanks.
QString decodeTrimmed(const QByteArray& bytes, qsizetype from, qsizetype to)
{
    to = findIn(bytes, '\0', from, to);
    while (from < to && isBlank(bytes.at(from)))
        ++from;
    while (to > from && isBlank(bytes.at(to - 1)))
        --to;
    return QString::fromUtf8(bytes.constData() + from, to - from);
}

enum class LineKind { Blank, Comment, Header, Key, Other };

struct Line
{
    qsizetype start = 0;      // first byte of the line
    qsizetype contentEnd = 0; // end of its text, before "\r\n" or "\n"
    qsizetype end = 0;        // after its line break (== contentEnd on a last line without one)
    qsizetype equals = -1;    // position of "=" in a key line
    LineKind kind = LineKind::Blank;
    QString name; // section name of a header, key name of a key line
};

struct Section
{
    QString name;
    std::size_t header = 0;  // index of the header line
    std::size_t end = 0;     // index after the section's last line (the next header or the end)
    std::size_t lastKey = 0; // index of its last key line, or of the header when it has none
};

struct Document
{
    QByteArray bytes;
    std::vector<Line> lines;
    std::vector<Section> sections;

    // The first section of that name; duplicates further down are never used.
    const Section* findSection(const QString& name) const
    {
        for (const Section& section : sections) {
            if (section.name.compare(name, Qt::CaseInsensitive) == 0)
                return &section;
        }
        return nullptr;
    }

    const Line* findKey(const Section& section, const QString& key) const
    {
        for (std::size_t i = section.header + 1; i < section.end; ++i) {
            const Line& line = lines[i];
            if (line.kind == LineKind::Key && line.name.compare(key, Qt::CaseInsensitive) == 0)
                return &line;
        }
        return nullptr;
    }
};

Line parseLine(const QByteArray& bytes, qsizetype start, qsizetype contentEnd, qsizetype end)
{
    Line line;
    line.start = start;
    line.contentEnd = contentEnd;
    line.end = end;

    qsizetype pos = start;
    while (pos < contentEnd && isBlank(bytes.at(pos)))
        ++pos;
    if (pos == contentEnd) {
        line.kind = LineKind::Blank;
    } else if (bytes.at(pos) == ';') {
        line.kind = LineKind::Comment;
    } else if (bytes.at(pos) == '[') {
        // A header without "]" names its section up to the end of the line.
        const qsizetype close = findIn(bytes, ']', pos + 1, contentEnd);
        line.kind = LineKind::Header;
        line.name = decodeTrimmed(bytes, pos + 1, close);
    } else {
        const qsizetype equals = findIn(bytes, '=', pos, contentEnd);
        if (equals < contentEnd) {
            line.kind = LineKind::Key;
            line.equals = equals;
            line.name = decodeTrimmed(bytes, pos, equals);
        } else {
            line.kind = LineKind::Other;
        }
    }
    return line;
}

Document parseDocument(QByteArray bytes)
{
    Document doc;
    doc.bytes = std::move(bytes);
    const QByteArray& data = doc.bytes;

    qsizetype start = data.startsWith(ByteOrderMark) ? ByteOrderMark.size() : 0;
    while (start < data.size()) {
        const qsizetype newline = data.indexOf('\n', start);
        const qsizetype end = newline < 0 ? data.size() : newline + 1;
        qsizetype contentEnd = newline < 0 ? data.size() : newline;
        if (newline >= 0 && contentEnd > start && data.at(contentEnd - 1) == '\r')
            --contentEnd;
        doc.lines.push_back(parseLine(data, start, contentEnd, end));
        start = end;
    }

    for (std::size_t i = 0; i < doc.lines.size(); ++i) {
        const Line& line = doc.lines[i];
        if (line.kind == LineKind::Header) {
            if (!doc.sections.empty())
                doc.sections.back().end = i;
            doc.sections.push_back(Section{line.name, i, doc.lines.size(), i});
        } else if (line.kind == LineKind::Key && !doc.sections.empty()) {
            doc.sections.back().lastKey = i;
        }
    }
    return doc;
}

// The store as it is on disk now; a missing or unreadable file reads as an empty one.
Document readDocument(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return parseDocument(file.readAll());
}

[[noreturn]] void throwWriteError(const QString& path)
{
    throw StoreError(QString(QStringLiteral("Unable to write to ") + path).toStdString());
}

// The store before a change. Unlike a lookup, a write must not start from an empty
// document when a file is there but cannot be read: that would wipe the profiles.
Document readDocumentForWrite(const QString& path)
{
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        QByteArray bytes = file.readAll();
        if (file.error() != QFileDevice::NoError)
            throwWriteError(path);
        return parseDocument(std::move(bytes));
    }
    if (QFileInfo::exists(path))
        throwWriteError(path);
    return {};
}

void syncFolder(const QString& path)
{
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd); // best effort: the rename itself has already happened
        ::close(fd);
    }
}

// Replaces the file in one step: the new contents go to a temporary file in the same
// folder, are flushed to disk and renamed over the store, so a failure at any point
// leaves the previous file whole. The store holds passwords, hence owner-only access.
void replaceFile(const QString& path, const QByteArray& contents)
{
    QSaveFile file(path);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly))
        throwWriteError(path);
    if (::fchmod(file.handle(), S_IRUSR | S_IWUSR) != 0)
        throwWriteError(path);
    if (file.write(contents) != contents.size() || !file.flush())
        throwWriteError(path);
    if (::fsync(file.handle()) != 0)
        throwWriteError(path);
    if (!file.commit())
        throwWriteError(path);
    syncFolder(path);
}

// A line break inside a name or value would end its line and let the rest pass for
// further keys or sections of the file, so each one is written as a blank.
QByteArray encodeForLine(const QString& text)
{
    QByteArray bytes = text.toUtf8();
    bytes.replace('\r', ' ');
    bytes.replace('\n', ' ');
    return bytes;
}

// Reading drops the blanks around a value and one pair of quotes enclosing it; a value
// that would lose either (a password that ends in a blank, say) is written inside double
// quotes, so it reads back exactly as it was written.
QByteArray encodeValue(const QString& value)
{
    const QByteArray bytes = encodeForLine(value);
    if (bytes.isEmpty())
        return bytes;
    const bool blankAtAnEnd = isBlank(bytes.front()) || isBlank(bytes.back());
    const bool enclosed = bytes.size() >= 2 && (bytes.front() == '"' || bytes.front() == '\'')
                       && bytes.back() == bytes.front();
    return blankAtAnEnd || enclosed ? '"' + bytes + '"' : bytes;
}

QByteArray keyLine(const QString& key, const QString& value)
{
    return encodeForLine(key) + '=' + encodeValue(value) + '\n';
}

// The store's bytes with one value written.
QByteArray withValue(const QByteArray& bytes, const QString& sectionName, const QString& key, const QString& value)
{
    const Document doc = parseDocument(bytes);
    QByteArray out;

    const Section* section = doc.findSection(sectionName);
    if (!section) {
        out = bytes;
        if (!doc.lines.empty() && !out.endsWith('\n'))
            out += '\n';
        // A blank line between sections, unless the file already ends with one.
        if (!doc.lines.empty() && doc.lines.back().kind != LineKind::Blank)
            out += '\n';
        out += '[' + encodeForLine(sectionName) + "]\n" + keyLine(key, value);
    } else if (const Line* line = doc.findKey(*section, key)) {
        // In place: the key as spelled in the file, the new value, the old line break.
        out.reserve(bytes.size() + value.size());
        out += bytes.left(line->equals + 1);
        out += encodeValue(value);
        out += bytes.mid(line->contentEnd);
    } else {
        const Line& after = doc.lines[section->lastKey];
        out += bytes.left(after.end);
        if (after.end == after.contentEnd)
            out += '\n';
        out += keyLine(key, value);
        out += bytes.mid(after.end);
    }
    return out;
}

// The store's bytes without the section: every section of that name goes, since a
// duplicate left behind would bring the profile back.
QByteArray withoutSection(const QByteArray& bytes, const QString& section)
{
    const Document doc = parseDocument(bytes);
    QByteArray out;
    out.reserve(bytes.size());
    qsizetype copied = 0;
    for (const Section& gone : doc.sections) {
        if (gone.name.compare(section, Qt::CaseInsensitive) != 0)
            continue;
        const qsizetype from = doc.lines[gone.header].start;
        const qsizetype to = gone.end < doc.lines.size() ? doc.lines[gone.end].start : bytes.size();
        out += bytes.mid(copied, from - copied);
        copied = to;
    }
    out += bytes.mid(copied);
    return out;
}

bool parseDigits(QStringView digits, int base, quint64 limit, quint64& value)
{
    if (digits.isEmpty())
        return false;
    quint64 result = 0;
    for (const QChar c : digits) {
        const int digit = c.isDigit() && c.unicode() < 128 ? c.unicode() - '0'
                          : (base == 16 && c.unicode() >= 'a' && c.unicode() <= 'f')
                              ? c.unicode() - 'a' + 10
                          : (base == 16 && c.unicode() >= 'A' && c.unicode() <= 'F')
                              ? c.unicode() - 'A' + 10
                              : -1;
        if (digit < 0)
            return false;
        result = result * static_cast<quint64>(base) + static_cast<quint64>(digit);
        if (result > limit)
            return false;
    }
    value = result;
    return true;
}

} // namespace

ProfileStore::ProfileStore(QString path)
    : m_path(std::move(path))
{
}

// The parsed file with an index of its sections and of the keys of each section's first
// occurrence (names folded to one letter case), both built in one pass.
struct ProfileStoreSnapshot::Reading
{
    explicit Reading(Document parsed) : doc(std::move(parsed)), keyIndex(doc.sections.size())
    {
        for (std::size_t s = 0; s < doc.sections.size(); ++s) {
            const Section& section = doc.sections[s];
            const QString name = folded(section.name);
            // The first section of a name is the one every lookup uses.
            if (sectionIndex.contains(name))
                continue;
            sectionIndex.insert(name, s);
            if (!section.name.isEmpty())
                names.append(section.name);
            for (std::size_t i = section.header + 1; i < section.end; ++i) {
                const Line& line = doc.lines[i];
                if (line.kind != LineKind::Key)
                    continue;
                QHash<QString, std::size_t>& keys = keyIndex[s];
                const QString key = folded(line.name);
                if (!keys.contains(key))
                    keys.insert(key, i);
            }
        }
    }

    const Line* findKey(const QString& section, const QString& key) const
    {
        const auto s = sectionIndex.constFind(folded(section));
        if (s == sectionIndex.cend())
            return nullptr;
        const QHash<QString, std::size_t>& keys = keyIndex[*s];
        const auto line = keys.constFind(folded(key));
        return line == keys.cend() ? nullptr : &doc.lines[*line];
    }

    Document doc;
    QStringList names; // in file order, each once; an empty name is not a profile
    QHash<QString, std::size_t> sectionIndex;
    std::vector<QHash<QString, std::size_t>> keyIndex; // per section: key -> its first line
};

ProfileStoreSnapshot::ProfileStoreSnapshot(const ProfileStore& store)
    : m_reading(std::make_shared<const Reading>(readDocument(store.path())))
{
}

ProfileStoreSnapshot::~ProfileStoreSnapshot() = default;

QStringList ProfileStoreSnapshot::sectionNames() const
{
    return m_reading->names;
}

QString ProfileStoreSnapshot::readString(const QString& section, const QString& key,
                                         const QString& fallback) const
{
    const Line* line = m_reading->findKey(section, key);
    if (!line)
        return fallback;

    QString value = decodeTrimmed(m_reading->doc.bytes, line->equals + 1, line->contentEnd);
    if (value.size() >= 2) {
        const QChar first = value.front();
        if ((first == u'"' || first == u'\'') && value.back() == first)
            value = value.mid(1, value.size() - 2);
    }
    if (value.size() > MaxValueLength) {
        value.truncate(MaxValueLength);
        if (value.back().isHighSurrogate())
            value.chop(1);
    }
    return value;
}

qint32 ProfileStoreSnapshot::readInt(const QString& section, const QString& key, qint32 fallback) const
{
    qint32 value = 0;
    return ProfileStore::parseInteger(readString(section, key, QString()), value) ? value : fallback;
}

bool ProfileStoreSnapshot::readBool(const QString& section, const QString& key, bool fallback) const
{
    return readInt(section, key, fallback ? 1 : 0) != 0;
}

QString ProfileStore::readProblem() const
{
    const QFileInfo info(m_path);
    if (!info.exists())
        return {};
    if (info.isDir())
        return QStringLiteral("it is a folder");
    QFile file(m_path);
    if (file.open(QIODevice::ReadOnly)) {
        file.readAll();
        if (file.error() == QFileDevice::NoError)
            return {};
    }
    return file.errorString();
}

ProfileStoreSnapshot ProfileStore::snapshot() const
{
    return ProfileStoreSnapshot(*this);
}

QStringList ProfileStore::sectionNames() const
{
    return snapshot().sectionNames();
}

QString ProfileStore::readString(const QString& section, const QString& key,
                                 const QString& fallback) const
{
    return snapshot().readString(section, key, fallback);
}

qint32 ProfileStore::readInt(const QString& section, const QString& key, qint32 fallback) const
{
    return snapshot().readInt(section, key, fallback);
}

bool ProfileStore::readBool(const QString& section, const QString& key, bool fallback) const
{
    return snapshot().readBool(section, key, fallback);
}

void ProfileStore::writeString(const QString& section, const QString& key, const QString& value)
{
    writeValues(section, {{key, value}});
}

void ProfileStore::writeInt(const QString& section, const QString& key, qint32 value)
{
    writeString(section, key, QString::number(value));
}

void ProfileStore::writeBool(const QString& section, const QString& key, bool value)
{
    writeString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

void ProfileStore::writeValues(const QString& section, const QList<std::pair<QString, QString>>& values,
                               const QString& erasing)
{
    QByteArray bytes = readDocumentForWrite(m_path).bytes;
    if (!erasing.isEmpty())
        bytes = withoutSection(bytes, erasing);
    for (const auto& [key, value] : values)
        bytes = withValue(bytes, section, key, value);
    replaceFile(m_path, bytes);
}

void ProfileStore::eraseSection(const QString& section)
{
    const QByteArray before = readDocumentForWrite(m_path).bytes;
    const QByteArray after = withoutSection(before, section);
    if (after != before)
        replaceFile(m_path, after);
}

bool ProfileStore::parseInteger(const QString& text, qint32& value)
{
    QStringView digits = QStringView(text);
    while (!digits.isEmpty() && isBlank(digits.front()))
        digits = digits.mid(1);
    while (!digits.isEmpty() && isBlank(digits.back()))
        digits.chop(1);

    bool negative = false;
    if (!digits.isEmpty() && (digits.front() == u'-' || digits.front() == u'+')) {
        negative = digits.front() == u'-';
        digits = digits.mid(1);
    }

    quint64 magnitude = 0;
    if (digits.startsWith(u'$') || digits.startsWith(u"0x") || digits.startsWith(u"0X")) {
        // Hexadecimal covers the full 32 bits: $FFFFFFFF reads as -1.
        digits = digits.mid(digits.startsWith(u'$') ? 1 : 2);
        if (!parseDigits(digits, 16, std::numeric_limits<quint32>::max(), magnitude))
            return false;
        const auto bits = static_cast<quint32>(magnitude);
        value = static_cast<qint32>(negative ? 0u - bits : bits);
        return true;
    }

    const quint64 limit = negative ? quint64(std::numeric_limits<qint32>::max()) + 1
                                   : quint64(std::numeric_limits<qint32>::max());
    if (!parseDigits(digits, 10, limit, magnitude))
        return false;
    value = negative ? static_cast<qint32>(-static_cast<qint64>(magnitude))
                     : static_cast<qint32>(magnitude);
    return true;
}
