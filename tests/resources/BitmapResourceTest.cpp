// The skin's pictures: every picture id the program names exists as a 24-bit
// uncompressed bitmap of the size the window and the controls are laid out for, loads
// both ways the program loads pictures, and leaves plain patches of the skin colours
// where controls paint over it.
#include "update/locale/Localization.h"
#include "res/resource.h"
#include "SkinPictureList.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <type_traits>
#include <vector>

namespace {

constexpr COLORREF kBody = RGB(0xb4, 0x20, 0x2d);
constexpr COLORREF kPanel = RGB(0xc3, 0x4d, 0x57);
constexpr COLORREF kStrip = RGB(0x8d, 0x16, 0x1e);
constexpr COLORREF kAmber = RGB(0xd7, 0x98, 0x1b);

struct GdiObjectDeleter {
    void operator()(HGDIOBJ object) const { DeleteObject(object); }
};
using BitmapHandle = std::unique_ptr<std::remove_pointer_t<HBITMAP>, GdiObjectDeleter>;

struct IconDeleter {
    void operator()(HICON icon) const { DestroyIcon(icon); }
};
using IconHandle = std::unique_ptr<std::remove_pointer_t<HICON>, IconDeleter>;

struct DcDeleter {
    void operator()(HDC dc) const { DeleteDC(dc); }
};
using MemoryDc = std::unique_ptr<std::remove_pointer_t<HDC>, DcDeleter>;

HMODULE Module() {
    return GetModuleHandleW(nullptr);
}

// The bitmap header as stored in the resource, or null.
const BITMAPINFOHEADER* StoredHeader(int id) {
    HRSRC res = FindResourceW(Module(), MAKEINTRESOURCEW(id), RT_BITMAP);
    HGLOBAL data = res ? LoadResource(Module(), res) : nullptr;
    return data ? static_cast<const BITMAPINFOHEADER*>(LockResource(data)) : nullptr;
}

TEST(Pictures, EveryPictureIsStored24BitAtItsSize) {
    for (const PictureSize& p : AllPictures()) {
        SCOPED_TRACE(testing::Message() << "bitmap " << p.id);
        const BITMAPINFOHEADER* header = StoredHeader(p.id);
        ASSERT_NE(header, nullptr);
        EXPECT_EQ(header->biBitCount, 24);
        EXPECT_EQ(header->biCompression, static_cast<DWORD>(BI_RGB));
        EXPECT_EQ(header->biWidth, p.width);
        EXPECT_EQ(std::abs(header->biHeight), p.height);
    }
}

// The buttons and the progress bar load with LoadBitmapW and read the size back; the
// window's pictures load as device-independent bitmaps at their own size.
TEST(Pictures, EveryPictureLoadsBothWaysAtItsSize) {
    for (const PictureSize& p : AllPictures()) {
        SCOPED_TRACE(testing::Message() << "bitmap " << p.id);
        BitmapHandle ddb(LoadBitmapW(Module(), MAKEINTRESOURCEW(p.id)));
        ASSERT_TRUE(ddb);
        BITMAP bm{};
        ASSERT_EQ(GetObjectW(ddb.get(), sizeof(bm), &bm), static_cast<int>(sizeof(bm)));
        EXPECT_EQ(bm.bmWidth, p.width);
        EXPECT_EQ(bm.bmHeight, p.height);

        BitmapHandle dib(static_cast<HBITMAP>(
            LoadImageW(Module(), MAKEINTRESOURCEW(p.id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
        ASSERT_TRUE(dib);
        DIBSECTION ds{};
        ASSERT_EQ(GetObjectW(dib.get(), sizeof(ds), &ds), static_cast<int>(sizeof(ds)));
        EXPECT_EQ(ds.dsBm.bmWidth, p.width);
        EXPECT_EQ(ds.dsBm.bmHeight, p.height);
        EXPECT_EQ(ds.dsBm.bmBitsPixel, 24);
    }
}

// The program icon comes in the sizes the system asks for (window icon, taskbar, task
// switcher), each its own image rather than a scaled one.
TEST(Pictures, IconHasTheCommonSizes) {
    HRSRC group = FindResourceW(Module(), MAKEINTRESOURCEW(IDI_APP), RT_GROUP_ICON);
    ASSERT_NE(group, nullptr);
    auto* directory = static_cast<BYTE*>(LockResource(LoadResource(Module(), group)));
    ASSERT_NE(directory, nullptr);
    for (int size : {16, 24, 32, 48, 256}) {
        SCOPED_TRACE(testing::Message() << size << " pixels");
        const int exact = LookupIconIdFromDirectoryEx(directory, TRUE, size, size, LR_DEFAULTCOLOR);
        HRSRC image = FindResourceW(Module(), MAKEINTRESOURCEW(exact), RT_ICON);
        ASSERT_NE(image, nullptr);
        IconHandle icon(CreateIconFromResourceEx(
            static_cast<BYTE*>(LockResource(LoadResource(Module(), image))),
            SizeofResource(Module(), image), TRUE, 0x00030000, 0, 0, LR_DEFAULTCOLOR));
        ASSERT_TRUE(icon);
        ICONINFO info{};
        ASSERT_TRUE(GetIconInfo(icon.get(), &info));
        BitmapHandle colour(info.hbmColor);
        BitmapHandle mask(info.hbmMask);
        BITMAP bm{};
        ASSERT_TRUE(GetObjectW(colour.get(), sizeof(bm), &bm));
        EXPECT_EQ(bm.bmWidth, size);
        EXPECT_EQ(bm.bmHeight, size);
    }
}

// The indexes between the pictures are texts, and the Japanese set has no pictures.
TEST(Pictures, IdsThatNameNoPictureHaveNone) {
    std::vector<int> ids;
    for (int base : {RES_BASE_CHINESE, RES_BASE_ENGLISH})
        for (int index : {8, 9, 11, 14, 16})
            ids.push_back(base + index);
    for (int index = 0; index < 16; ++index)
        ids.push_back(LocalizedIdFor(UI_LANG_JAPANESE, index));
    for (int id : ids)
        EXPECT_EQ(FindResourceW(Module(), MAKEINTRESOURCEW(id), RT_BITMAP), nullptr)
            << "bitmap " << id;
}

// A picture's pixels, top-down, read back through GDI.
class Pixels {
public:
    explicit Pixels(int id) {
        BitmapHandle bmp(static_cast<HBITMAP>(
            LoadImageW(Module(), MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
        DIBSECTION ds{};
        if (!bmp || !GetObjectW(bmp.get(), sizeof(ds), &ds))
            return;
        BITMAPINFO bi{};
        bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
        bi.bmiHeader.biWidth = ds.dsBm.bmWidth;
        bi.bmiHeader.biHeight = -ds.dsBm.bmHeight;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        bi.bmiHeader.biCompression = BI_RGB;
        std::vector<uint32_t> data(static_cast<size_t>(ds.dsBm.bmWidth) * ds.dsBm.bmHeight);
        MemoryDc dc(CreateCompatibleDC(nullptr));
        if (GetDIBits(dc.get(), bmp.get(), 0, ds.dsBm.bmHeight, data.data(), &bi, DIB_RGB_COLORS) !=
            ds.dsBm.bmHeight)
            return;
        width_ = ds.dsBm.bmWidth;
        height_ = ds.dsBm.bmHeight;
        data_ = std::move(data);
    }

    bool Loaded() const { return !data_.empty(); }

    COLORREF At(int x, int y) const {
        const uint32_t v = data_[static_cast<size_t>(y) * width_ + x];
        return RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
    }

    // The number of pixels in [left, right) x [top, bottom) that are not colour.
    int CountOther(int left, int top, int right, int bottom, COLORREF colour) const {
        int other = 0;
        for (int y = top; y < bottom; ++y)
            for (int x = left; x < right; ++x)
                other += At(x, y) != colour;
        return other;
    }

    COLORREF MostCommon() const {
        std::map<COLORREF, int> counts;
        for (int y = 0; y < height_; ++y)
            for (int x = 0; x < width_; ++x)
                ++counts[At(x, y)];
        COLORREF best = CLR_INVALID;
        int most = 0;
        for (const auto& [colour, n] : counts) {
            if (n > most) {
                best = colour;
                most = n;
            }
        }
        return best;
    }

    bool operator==(const Pixels& other) const { return data_ == other.data_; }

private:
    int width_ = 0;
    int height_ = 0;
    std::vector<uint32_t> data_;
};

struct PlainPatch {
    const char* what;
    int id;
    RECT area; // left, top, right, bottom (exclusive) in the picture's pixels
    COLORREF colour;
};

// Where a control paints its own background over a picture, the picture must be that
// colour, or its edges show as a patch: the version text (105 x 13 at (45, 5) in the
// version panel), the instructions (353 x 68 at (34, 223) in the background), the
// prompt's text block, and the title strip behind the minimise and close buttons.
TEST(Pictures, AreasUnderControlsArePlainSkinColour) {
    std::vector<PlainPatch> patches;
    for (int base : {RES_BASE_ENGLISH, RES_BASE_CHINESE}) {
        patches.push_back(
            {"version text, connected", base + PIC_VERSION_CONNECTED, {45, 5, 150, 18}, kBody});
        patches.push_back(
            {"version text, not connected", base + PIC_VERSION_ABSENT, {45, 5, 150, 18}, kPanel});
        patches.push_back({"instructions", base + PIC_BACKGROUND, {34, 223, 387, 291}, kBody});
        patches.push_back(
            {"title strip under the buttons", base + PIC_BACKGROUND, {381, 4, 416, 21}, kStrip});
    }
    patches.push_back({"prompt text", IDB_PROMPT_BG, {15, 26, 285, 80}, kStrip});
    for (const PlainPatch& p : patches) {
        SCOPED_TRACE(testing::Message() << p.what << ", bitmap " << p.id);
        const Pixels px(p.id);
        ASSERT_TRUE(px.Loaded());
        EXPECT_EQ(px.CountOther(p.area.left, p.area.top, p.area.right, p.area.bottom, p.colour), 0);
    }
}

// Hover looks are amber; the prompt's buttons are dark red at rest, as is the strip
// the minimise and close buttons sit on.
TEST(Pictures, LooksUseTheSkinColours) {
    const struct {
        int id;
        COLORREF colour;
    } looks[] = {
        {LocalizedId(PIC_UPDATE_HOVER), kAmber},
        {LocalizedId(PIC_OK_HOVER), kAmber},
        {LocalizedId(PIC_CANCEL_HOVER), kAmber},
        {RES_BASE_CHINESE + PIC_OK_HOVER, kAmber},
        {IDB_MINIMIZE_HOVER, kAmber},
        {IDB_CLOSE_HOVER, kAmber},
        {LocalizedId(PIC_OK_NORMAL), kStrip},
        {LocalizedId(PIC_CANCEL_NORMAL), kStrip},
        {RES_BASE_CHINESE + PIC_CANCEL_NORMAL, kStrip},
        {IDB_MINIMIZE, kStrip},
        {IDB_CLOSE, kStrip},
        {IDB_PROMPT_BG, kStrip},
        {LocalizedId(PIC_BACKGROUND), kBody},
    };
    for (const auto& look : looks) {
        const Pixels px(look.id);
        ASSERT_TRUE(px.Loaded()) << "bitmap " << look.id;
        EXPECT_EQ(px.MostCommon(), look.colour) << "bitmap " << look.id;
    }
}

// Each look of a control is its own picture: a state change must show.
TEST(Pictures, TheLooksOfOneControlDiffer) {
    const std::vector<std::vector<int>> groups = {
        {LocalizedId(PIC_UPDATE_NORMAL), LocalizedId(PIC_UPDATE_DISABLED),
         LocalizedId(PIC_UPDATE_HOVER)},
        {LocalizedId(PIC_DEVICE_CONNECTED), LocalizedId(PIC_DEVICE_ABSENT)},
        {LocalizedId(PIC_VERSION_CONNECTED), LocalizedId(PIC_VERSION_ABSENT)},
        {LocalizedId(PIC_OK_NORMAL), LocalizedId(PIC_OK_HOVER)},
        {LocalizedId(PIC_CANCEL_NORMAL), LocalizedId(PIC_CANCEL_HOVER)},
        {LocalizedId(PIC_OK_NORMAL), LocalizedId(PIC_CANCEL_NORMAL)},
        {IDB_MINIMIZE, IDB_MINIMIZE_HOVER},
        {IDB_CLOSE, IDB_CLOSE_HOVER},
        {LocalizedId(PIC_BACKGROUND), RES_BASE_CHINESE + PIC_BACKGROUND},
    };
    for (const auto& group : groups) {
        for (size_t i = 0; i < group.size(); ++i) {
            for (size_t j = i + 1; j < group.size(); ++j) {
                EXPECT_FALSE(Pixels(group[i]) == Pixels(group[j]))
                    << "bitmaps " << group[i] << " and " << group[j] << " look the same";
            }
        }
    }
}

} // namespace
