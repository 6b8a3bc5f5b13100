// Twips, the unit the window layouts are given in: 1440 make an inch on any
// screen, so a layout becomes pixels through the screen's logical
// resolution. Qt-free and header-only, for the main window and the option
// dialogs alike.
#pragma once

namespace tarvex {

constexpr int kTwipsPerInch = 1440;

// `dpi` is the logical resolution of the screen. Rounded to the nearest
// pixel so that neighbouring controls keep the spacing they have in twips.
constexpr int twipsToPixels(int twips, int dpi)
{
    return (twips * dpi + kTwipsPerInch / 2) / kTwipsPerInch;
}

} // namespace tarvex
