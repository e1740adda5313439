#include "ProfileRecord.h"

#include "ProfileStore.h"

void readProfileFields(const ProfileStoreSnapshot& store, const QString& section, ProfileRecord& record)
{
    const auto text = [&](const char16_t* key) {
        return store.readString(section, QString::fromUtf16(key), QString());
    };
    const auto number = [&](const char16_t* key, qint32 fallback) {
        return store.readInt(section, QString::fromUtf16(key), fallback);
    };
    const auto flag = [&](const char16_t* key, bool fallback) {
        return store.readBool(section, QString::fromUtf16(key), fallback);
    };

    record.Name = section;
    record.SourceFolder = text(u"SourceFolder");
    record.DestinationFolder = text(u"DestinationFolder");
    record.IncludeFilter = text(u"IncludeFilter");
    record.ExcludeFilter = text(u"ExcludeFilter");
    record.FrequencyOption = number(u"FrequencyOption", 2);
    record.FrequencyInterval = number(u"FrequencyInterval", 2);
    record.StartingTime = store.readString(section, QStringLiteral("StartingTime"),
                                           QStringLiteral("0:0"));
    record.WeekDay = text(u"WeekDay");
    record.BackupType = number(u"BackupType", 0);
    record.CompressLevel = number(u"CompressLevel", 2);
    record.CompressPassword = text(u"CompressPassword");
    record.BoolVerifyBackup = flag(u"BoolVerifyBackup", true);
    record.BoolDeleteBackup = flag(u"BoolDeleteBackup", false);
    record.DeleteInterval = 0;
    record.DeleteIntervalReadable = ProfileStore::parseInteger(text(u"DeleteInterval"), record.DeleteInterval);
    record.LastRun = text(u"LastRun");
    record.NextRun = text(u"NextRun");
}
