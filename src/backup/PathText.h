#pragma once

#include <QString>

#include <string>
#include <string_view>

// File names are bytes; a name that is not valid UTF-8 (made on a Latin-1 system, copied
// from an old disk) must come back with the very bytes it had. Each byte that is not part
// of valid UTF-8 is kept as the lone surrogate U+DC80 + (byte - 0x80), so that the name
// goes through the program's texts and back to the same bytes.
QString pathFromBytes(std::string_view bytes);
std::string pathToBytes(const QString& path);

// A name as it can be shown on one line: kept bytes as U+FFFD, control characters (a
// newline in a name) as their visible symbols.
QString visiblePath(const QString& path);
// The same with the kept bytes left as they are, for output that names files byte for byte
// (the 8-bit control characters, which have no symbol, and the marks that reverse the
// direction of the text after them, as U+FFFD).
QString withVisibleControls(const QString& path);
