// The dialog templates of the main window (102) and the prompt (111): read back from the
// resource as DLGTEMPLATEEX, they have the styles, font, controls, ids, rectangles and
// initial contents the windows are built on; and the platform creates both from them.
#include "update/locale/Localization.h"
#include "res/resource.h"
#include "support/WinTest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace {

// A name-or-ordinal field of a template: a string, or an ordinal when ordinal != 0.
struct NameOrOrdinal {
    std::wstring name;
    WORD ordinal = 0;
};

struct ItemTemplate {
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    int id = 0;
    NameOrOrdinal windowClass;
    NameOrOrdinal title;
};

struct DialogTemplate {
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    NameOrOrdinal menu;
    NameOrOrdinal windowClass;
    std::wstring title;
    WORD pointSize = 0;
    WORD weight = 0;
    BYTE italic = 0;
    BYTE charset = 0;
    std::wstring face;
    std::vector<ItemTemplate> items;
};

// Reads a DLGTEMPLATEEX resource. Every read is checked against the resource's size;
// a malformed template leaves ok false.
class TemplateReader {
public:
    TemplateReader(const BYTE* data, size_t size) : data_(data), size_(size) {}

    bool ok = true;

    template <typename T> T Read() {
        T value{};
        if (pos_ + sizeof(T) > size_) {
            ok = false;
            return value;
        }
        std::memcpy(&value, data_ + pos_, sizeof(T));
        pos_ += sizeof(T);
        return value;
    }

    std::wstring ReadString() {
        std::wstring s;
        for (WORD c = Read<WORD>(); ok && c != 0; c = Read<WORD>())
            s += static_cast<wchar_t>(c);
        return s;
    }

    NameOrOrdinal ReadNameOrOrdinal() {
        NameOrOrdinal result;
        const WORD first = Read<WORD>();
        if (first == 0xFFFF) {
            result.ordinal = Read<WORD>();
        } else if (first != 0) {
            result.name = static_cast<wchar_t>(first);
            result.name += ReadString();
        }
        return result;
    }

    void AlignToDword() { pos_ = (pos_ + 3) & ~static_cast<size_t>(3); }

private:
    const BYTE* data_;
    size_t size_;
    size_t pos_ = 0;
};

bool LoadTemplate(int id, DialogTemplate& out) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(id), RT_DIALOG);
    HGLOBAL data = res ? LoadResource(module, res) : nullptr;
    const BYTE* bytes = data ? static_cast<const BYTE*>(LockResource(data)) : nullptr;
    if (!bytes)
        return false;
    TemplateReader r(bytes, SizeofResource(module, res));
    if (r.Read<WORD>() != 1 || r.Read<WORD>() != 0xFFFF)
        return false; // not a DLGTEMPLATEEX
    r.Read<DWORD>();  // help id
    out.exStyle = r.Read<DWORD>();
    out.style = r.Read<DWORD>();
    const WORD count = r.Read<WORD>();
    out.x = r.Read<short>();
    out.y = r.Read<short>();
    out.cx = r.Read<short>();
    out.cy = r.Read<short>();
    out.menu = r.ReadNameOrOrdinal();
    out.windowClass = r.ReadNameOrOrdinal();
    out.title = r.ReadString();
    if (out.style & (DS_SETFONT | DS_SHELLFONT)) {
        out.pointSize = r.Read<WORD>();
        out.weight = r.Read<WORD>();
        out.italic = r.Read<BYTE>();
        out.charset = r.Read<BYTE>();
        out.face = r.ReadString();
    }
    for (WORD i = 0; i < count && r.ok; ++i) {
        r.AlignToDword();
        ItemTemplate item;
        r.Read<DWORD>(); // help id
        item.exStyle = r.Read<DWORD>();
        item.style = r.Read<DWORD>();
        item.x = r.Read<short>();
        item.y = r.Read<short>();
        item.cx = r.Read<short>();
        item.cy = r.Read<short>();
        item.id = r.Read<int>();
        item.windowClass = r.ReadNameOrOrdinal();
        item.title = r.ReadNameOrOrdinal();
        const WORD extra = r.Read<WORD>();
        for (WORD b = 0; b < extra; ++b)
            r.Read<BYTE>();
        out.items.push_back(item);
    }
    return r.ok;
}

constexpr WORD kStaticAtom = 0x0082;

// One expected control: the static control class when className is null, else that
// class; the title is a text, or a bitmap id when titleOrdinal is set.
struct ExpectedItem {
    int id;
    const wchar_t* className;
    DWORD style;
    short x, y, cx, cy;
    const wchar_t* title;
    WORD titleOrdinal;
};

void ExpectItems(const DialogTemplate& dlg, const std::vector<ExpectedItem>& expected) {
    ASSERT_EQ(dlg.items.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const ItemTemplate& item = dlg.items[i];
        const ExpectedItem& e = expected[i];
        SCOPED_TRACE(testing::Message() << "control " << e.id);
        EXPECT_EQ(item.id, e.id);
        // Resource compilers store the static class as its atom or by name.
        const bool isStatic = item.windowClass.ordinal == kStaticAtom ||
                              lstrcmpiW(item.windowClass.name.c_str(), L"Static") == 0;
        if (e.className) {
            EXPECT_EQ(lstrcmpiW(item.windowClass.name.c_str(), e.className), 0);
        } else {
            EXPECT_TRUE(isStatic);
        }
        EXPECT_EQ(item.style, e.style) << std::hex << item.style;
        EXPECT_EQ(item.exStyle, 0u);
        EXPECT_EQ(item.x, e.x);
        EXPECT_EQ(item.y, e.y);
        EXPECT_EQ(item.cx, e.cx);
        EXPECT_EQ(item.cy, e.cy);
        EXPECT_EQ(item.title.ordinal, e.titleOrdinal);
        EXPECT_EQ(item.title.name, e.title);
    }
}

TEST(DialogTemplates, MainWindow) {
    DialogTemplate dlg;
    ASSERT_TRUE(LoadTemplate(IDD_MAIN, dlg));
    EXPECT_EQ(dlg.style, 0x90080040u); // WS_POPUP | WS_VISIBLE | WS_SYSMENU | DS_SETFONT
    EXPECT_EQ(dlg.exStyle, static_cast<DWORD>(WS_EX_APPWINDOW));
    EXPECT_EQ(dlg.cx, 292);
    EXPECT_EQ(dlg.cy, 229);
    EXPECT_EQ(dlg.title, L"");
    EXPECT_TRUE(dlg.menu.name.empty() && dlg.menu.ordinal == 0);
    EXPECT_EQ(dlg.pointSize, 9);
    EXPECT_EQ(dlg.face, L"\u5B8B\u4F53"); // SimSun
    const DWORD child = WS_CHILD;
    ExpectItems(
        dlg,
        {
            {IDC_BACKGROUND, nullptr, child | WS_VISIBLE | SS_BITMAP, 0, 0, 280, 218, L"", 4000},
            {IDC_DEVICE_PANEL, nullptr, child | SS_BITMAP, 19, 46, 115, 19, L"", 4002},
            {IDC_VERSION_PANEL, nullptr, child | WS_VISIBLE | SS_BITMAP, 150, 46, 115, 33, L"", 0},
            {IDC_VERSION, nullptr, child | SS_CENTER | SS_CENTERIMAGE | WS_GROUP, 178, 62, 70, 9,
             L"", 0},
            {IDC_GUIDE, nullptr, child | WS_VISIBLE | SS_LEFT | WS_GROUP, 23, 149, 235, 45,
             L"\u4F7F\u7528\u8BF4\u660E", 0},
            {IDC_PROGRESS, L"msctls_progress32", child | WS_VISIBLE, 54, 117, 173, 6, L"", 0},
        });
}

TEST(DialogTemplates, Prompt) {
    DialogTemplate dlg;
    ASSERT_TRUE(LoadTemplate(IDD_PROMPT, dlg));
    EXPECT_EQ(dlg.style, 0x80080048u); // WS_POPUP | WS_SYSMENU | DS_SETFONT | DS_FIXEDSYS
    EXPECT_EQ(dlg.exStyle, 0u);
    EXPECT_EQ(dlg.x, 0);
    EXPECT_EQ(dlg.y, 0);
    EXPECT_EQ(dlg.cx, 201);
    EXPECT_EQ(dlg.cy, 79);
    EXPECT_EQ(dlg.pointSize, 8);
    EXPECT_EQ(dlg.face, L"MS Shell Dlg");
    ExpectItems(dlg, {
                         {-1, nullptr, 0x5000080E, 0, 0, 200, 78, L"", IDB_PROMPT_BG},
                         {IDC_PROMPT_TEXT, nullptr, 0x50020081, 10, 16, 180, 33, L"D", 0},
                     });
}

// RAII for the windows the tests create.
struct WindowDestroyer {
    void operator()(HWND hwnd) const { DestroyWindow(hwnd); }
};
using Window = std::unique_ptr<std::remove_pointer_t<HWND>, WindowDestroyer>;

INT_PTR CALLBACK PlainDialogProc(HWND, UINT msg, WPARAM, LPARAM) {
    return msg == WM_INITDIALOG;
}

Window CreateFromTemplate(int id) {
    return Window(CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), nullptr,
                                     PlainDialogProc, 0));
}

SIZE ImageSize(HWND control) {
    auto bmp = reinterpret_cast<HBITMAP>(SendMessageW(control, STM_GETIMAGE, IMAGE_BITMAP, 0));
    BITMAP bm{};
    if (!bmp || !GetObjectW(bmp, sizeof(bm), &bm))
        return {0, 0};
    return {bm.bmWidth, bm.bmHeight};
}

std::wstring ClassOf(HWND hwnd) {
    wchar_t name[64] = {};
    GetClassNameW(hwnd, name, 64);
    return name;
}

// The platform builds the main window from template 102: the background and the hidden
// device panel hold their English pictures, the version panel none, the labels their
// initial texts, and control 119 is a progress bar.
TEST(DialogTemplates, MainWindowIsCreatedWithItsPictures) {
    Window dlg = CreateFromTemplate(IDD_MAIN);
    ASSERT_TRUE(dlg);
    HWND background = GetDlgItem(dlg.get(), IDC_BACKGROUND);
    HWND device = GetDlgItem(dlg.get(), IDC_DEVICE_PANEL);
    HWND version = GetDlgItem(dlg.get(), IDC_VERSION_PANEL);
    HWND versionText = GetDlgItem(dlg.get(), IDC_VERSION);
    HWND guide = GetDlgItem(dlg.get(), IDC_GUIDE);
    HWND progress = GetDlgItem(dlg.get(), IDC_PROGRESS);
    ASSERT_TRUE(background && device && version && versionText && guide && progress);

    EXPECT_EQ(ImageSize(background).cx, 420);
    EXPECT_EQ(ImageSize(background).cy, 327);
    EXPECT_EQ(ImageSize(device).cx, 172);
    EXPECT_EQ(ImageSize(version).cx, 0);
    EXPECT_TRUE(IsWindowVisible(background));
    EXPECT_FALSE(IsWindowVisible(device));
    EXPECT_FALSE(IsWindowVisible(versionText));
    EXPECT_EQ(kxtest::WindowText(versionText), L"");
    EXPECT_EQ(kxtest::WindowText(guide), L"\u4F7F\u7528\u8BF4\u660E");
    EXPECT_EQ(lstrcmpiW(ClassOf(progress).c_str(), L"msctls_progress32"), 0);
    EXPECT_EQ(kxtest::WindowText(dlg.get()), L"");

    // The window's size in pixels depends on the template font on this machine; the
    // window places its controls itself, so this is recorded, not required.
    RECT rc{};
    GetWindowRect(dlg.get(), &rc);
    RecordProperty("MainTemplatePixels",
                   std::to_string(rc.right - rc.left) + "x" + std::to_string(rc.bottom - rc.top));
}

// The prompt comes up hidden, with its background picture and the placeholder text.
TEST(DialogTemplates, PromptIsCreatedHiddenWithItsBackground) {
    Window dlg = CreateFromTemplate(IDD_PROMPT);
    ASSERT_TRUE(dlg);
    EXPECT_FALSE(IsWindowVisible(dlg.get()));
    HWND text = GetDlgItem(dlg.get(), IDC_PROMPT_TEXT);
    ASSERT_TRUE(text);
    EXPECT_EQ(kxtest::WindowText(text), L"D");

    HWND picture = nullptr;
    for (HWND child = GetWindow(dlg.get(), GW_CHILD); child;
         child = GetWindow(child, GW_HWNDNEXT)) {
        if (GetDlgCtrlID(child) != IDC_PROMPT_TEXT)
            picture = child;
    }
    ASSERT_TRUE(picture);
    EXPECT_EQ(ImageSize(picture).cx, 300);
    EXPECT_EQ(ImageSize(picture).cy, 127);
}

} // namespace
