#include "PathText.h"

namespace {

constexpr char16_t KeptByte = 0xDC00;

// The length of the valid UTF-8 sequence at `i`, or 0.
size_t sequenceAt(std::string_view s, size_t i)
{
    const auto byte = [&s](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    char32_t min = 0;
    char32_t code = 0;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, min = 0x80, code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, min = 0x800, code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, min = 0x10000, code = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > s.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

} // namespace

QString pathFromBytes(std::string_view bytes)
{
    QString path;
    path.reserve(static_cast<qsizetype>(bytes.size()));
    size_t i = 0;
    while (i < bytes.size()) {
        // Plain ASCII runs, the common case, in one go.
        size_t end = i;
        while (end < bytes.size() && static_cast<unsigned char>(bytes[end]) < 0x80)
            ++end;
        if (end > i) {
            path += QLatin1StringView(bytes.data() + i, static_cast<qsizetype>(end - i));
            i = end;
            continue;
        }
        if (const size_t length = sequenceAt(bytes, i)) {
            path += QString::fromUtf8(bytes.data() + i, static_cast<qsizetype>(length));
            i += length;
        } else {
            path += QChar(char16_t(KeptByte + static_cast<unsigned char>(bytes[i])));
            ++i;
        }
    }
    return path;
}

std::string pathToBytes(const QString& path)
{
    std::string bytes;
    bytes.reserve(static_cast<size_t>(path.size()));
    qsizetype start = 0;
    const auto flush = [&](qsizetype end) {
        if (end > start)
            bytes += QStringView(path).mid(start, end - start).toUtf8().toStdString();
    };
    for (qsizetype i = 0; i < path.size(); ++i) {
        const char16_t c = path[i].unicode();
        if (c >= KeptByte + 0x80 && c <= KeptByte + 0xFF) {
            flush(i);
            bytes += static_cast<char>(c - KeptByte);
            start = i + 1;
        }
    }
    flush(path.size());
    return bytes;
}

QString withVisibleControls(const QString& path)
{
    QString shown = path;
    for (QChar& c : shown) {
        const char16_t u = c.unicode();
        if (u < 0x20)
            c = QChar(char16_t(0x2400 + u));
        else if (u == 0x7F)
            c = QChar(0x2421);
        else if (u >= 0x80 && u <= 0x9F) // the 8-bit controls: U+009B begins an escape sequence
            c = QChar(0xFFFD);
        else if (u == 0x061C || u == 0x200E || u == 0x200F || (u >= 0x202A && u <= 0x202E) ||
                 (u >= 0x2066 && u <= 0x2069)) // direction marks: "a\u202Etxt.exe" shows as "aexe.txt"
            c = QChar(0xFFFD);
    }
    return shown;
}

QString visiblePath(const QString& path)
{
    QString shown = withVisibleControls(path);
    for (QChar& c : shown) {
        const char16_t u = c.unicode();
        if (u >= KeptByte + 0x80 && u <= KeptByte + 0xFF)
            c = QChar(0xFFFD);
    }
    return shown;
}
