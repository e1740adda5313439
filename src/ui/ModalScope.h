#pragma once

// Marks the time a modal window of the program is open (a message box, a dialog, the folder
// browser). The schedule timer starts nothing then: a backup started inside a box would keep
// the handler that opened it waiting until the backup ends, while the window stays live
// and its state moves on underneath that handler.
class ModalScope
{
public:
    ModalScope() { ++s_depth; }
    ~ModalScope() { --s_depth; }
    ModalScope(const ModalScope&) = delete;
    ModalScope& operator=(const ModalScope&) = delete;

    static bool active() { return s_depth > 0; }

private:
    static inline int s_depth = 0;
};
