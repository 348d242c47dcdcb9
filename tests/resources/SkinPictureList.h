// Every picture of the skin that the program names, with its size at 96 DPI: the
// English and Chinese sets and the bitmaps every language shares.
#pragma once

#include <vector>

#include "update/locale/Localization.h"
#include "res/resource.h"

struct PictureSize {
    int id;
    int width;
    int height;
};

// Every picture of the English and Chinese sets and every shared bitmap.
inline std::vector<PictureSize> AllPictures() {
    std::vector<PictureSize> all;
    const struct {
        int base;
        int updateWidth;
        int updateHeight;
    } sets[] = {{RES_BASE_ENGLISH, 100, 28}, {RES_BASE_CHINESE, 110, 32}};
    for (const auto& set : sets) {
        const int b = set.base;
        all.push_back({b + PIC_BACKGROUND, 420, 327});
        for (int index :
             {PIC_DEVICE_CONNECTED, PIC_DEVICE_ABSENT, PIC_VERSION_CONNECTED, PIC_VERSION_ABSENT})
            all.push_back({b + index, 172, 29});
        for (int index : {PIC_UPDATE_NORMAL, PIC_UPDATE_DISABLED, PIC_UPDATE_HOVER})
            all.push_back({b + index, set.updateWidth, set.updateHeight});
        for (int index : {PIC_OK_NORMAL, PIC_OK_HOVER, PIC_CANCEL_NORMAL, PIC_CANCEL_HOVER})
            all.push_back({b + index, 70, 22});
    }
    all.push_back({IDB_TILE, 9, 3});
    all.push_back({IDB_MINIMIZE, 16, 17});
    all.push_back({IDB_MINIMIZE_HOVER, 16, 17});
    all.push_back({IDB_CLOSE, 18, 17});
    all.push_back({IDB_CLOSE_HOVER, 18, 17});
    all.push_back({IDB_PROMPT_BG, 300, 127});
    return all;
}
