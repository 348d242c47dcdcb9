// The skin's pictures at every display scale. The 96-DPI pictures are the program's
// bitmap resources. For 125, 150, 175 and 200 % the artwork has its own drawing of each
// picture, stored as PNG under the same id (resource types SKIN125 to SKIN200) and
// decoded through the platform's imaging component (WIC). Any other DPI takes the
// nearest larger drawing and scales it down to size with an area-averaging filter;
// above 200 % the 200 % drawing is scaled up. The 96-DPI bitmaps are never scaled up.
#pragma once

#include <cstdint>
#include <vector>

#include "framework/Afx.h"

// The picture with this id at the DPI, with its 96-DPI size times DPI / 96 rounded
// down (CSkinScale's rule): the bitmap resource itself at 96 DPI and below, otherwise
// a device-dependent bitmap made from the drawing for the scale. Empty when the picture
// does not exist, or has no drawing for the scale.
CBitmap LoadSkinPicture(UINT id, UINT dpi);

// Pixels as 0x00RRGGBB, rows top-down.
struct SkinPixels {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> data;
};

// The pixels scaled to width x height: each new pixel is the average of the area of the
// old picture it covers, weighted by how much of each old pixel lies in it.
SkinPixels ResampleByArea(const SkinPixels& source, int width, int height);
