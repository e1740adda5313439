#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <stdexcept>
#include <utility>

class ProfileStoreSnapshot;

// A failed write: the text is "Unable to write to <path>".
class StoreError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Profiles.ini: an INI file read afresh for every lookup and replaced atomically at every
// write. Section and key names match without regard to letter case; values read are
// trimmed, unquoted and cut to 2,047 characters; integers may be decimal or hexadecimal
// ("0x", "0X", "$"). New sections go to the end of the file, new keys to the end of their
// section, an existing key is replaced in place. Untouched lines keep their bytes. A UTF-8
// byte order mark at the start of the file is skipped on reading and kept on writing.
class ProfileStore
{
public:
    explicit ProfileStore(QString path);

    const QString& path() const { return m_path; }

    // The file as it is now, read once; for readers of many values (a whole load).
    ProfileStoreSnapshot snapshot() const;

    // Section names in file order; a name met again (in any letter case) is listed once.
    QStringList sectionNames() const;
    QString readString(const QString& section, const QString& key, const QString& fallback) const;
    qint32 readInt(const QString& section, const QString& key, qint32 fallback) const;
    bool readBool(const QString& section, const QString& key, bool fallback) const;

    // Each write throws StoreError and leaves the previous file whole when it fails.
    void writeString(const QString& section, const QString& key, const QString& value);
    void writeInt(const QString& section, const QString& key, qint32 value);
    void writeBool(const QString& section, const QString& key, bool value);
    // Removes the section's header and all its keys; nothing happens when it is absent.
    void eraseSection(const QString& section);
    // Erases the section `erasing` (when given), then writes the values in their order, as
    // the calls above would, in one replacement of the file: all of it or, on failure, none.
    void writeValues(const QString& section, const QList<std::pair<QString, QString>>& values,
                     const QString& erasing = {});

    // Why the file, which is there, cannot be read (it then reads as holding no profile);
    // empty when it can be read or is not there.
    QString readProblem() const;

    // Parses an integer as the store reads it: decimal, or hexadecimal after "0x", "0X"
    // or "$"; false when the text is neither (an empty text included).
    static bool parseInteger(const QString& text, qint32& value);

private:
    QString m_path;
};

// Profiles.ini as it was when the snapshot was taken: the file is read and parsed once, and
// every lookup is answered from that reading with the store's rules (see ProfileStore), in
// time that does not grow with the size of the file.
class ProfileStoreSnapshot
{
public:
    // Reads the store now. Implicit, so that a reader of many values can be handed either.
    ProfileStoreSnapshot(const ProfileStore& store);
    ~ProfileStoreSnapshot();

    QStringList sectionNames() const;
    QString readString(const QString& section, const QString& key, const QString& fallback) const;
    qint32 readInt(const QString& section, const QString& key, qint32 fallback) const;
    bool readBool(const QString& section, const QString& key, bool fallback) const;

    struct Reading;

private:
    std::shared_ptr<const Reading> m_reading;
};
