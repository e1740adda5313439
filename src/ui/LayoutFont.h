#pragma once

class QWidget;

// The windows keep fixed positions and sizes. This picks the largest size of the desktop's
// sans-serif font (condensed where needed) at which every caption of the window fits the
// room its layout gives it, sets it on the window, and widens each label and check box to
// exactly that room, so no caption is clipped or runs under its neighbour.
void fitFontToLayout(QWidget* window);
