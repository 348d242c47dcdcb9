// The system's high-contrast setting, which the tool follows: with it on, the window and
// its prompts are drawn in the system's colours, as texts and text buttons, instead of
// the skin's pictures. Wine always answers "off".
#pragma once

#include <windows.h>

inline bool SystemHighContrast() {
    HIGHCONTRASTW contrast{};
    contrast.cbSize = sizeof(contrast);
    return ::SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof(contrast), &contrast, 0) &&
           (contrast.dwFlags & HCF_HIGHCONTRASTON);
}
