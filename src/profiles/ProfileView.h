#pragma once

#include "ProfileRecord.h"

#include <QString>

#include <algorithm>

// The profile table and the list that shows it, as the schedule and the manual run see
// them: row i of the list stands for entry i of the table.
class ProfileView
{
public:
    virtual ~ProfileView() = default;

    virtual ProfileTable& profiles() = 0;
    virtual int profileRows() const = 0;
    // The row's "Last Run" and "Next Run" cells.
    virtual void showLastRun(int row, const QString& text) = 0;
    virtual void showNextRun(int row, const QString& text) = 0;
    // The program is ending: nothing more is started, and a run it cut short is not one.
    virtual bool closing() const = 0;

    // The row of the named profile among the rows that stand for an entry, or -1.
    int rowOfProfile(const QString& name)
    {
        const ProfileTable& table = profiles();
        const int rows = std::min(profileRows(), static_cast<int>(table.size()));
        for (int i = 0; i < rows; ++i) {
            if (table[static_cast<size_t>(i)].Name == name)
                return i;
        }
        return -1;
    }
};
