// The localized texts: every text of the three sets loads exactly as written below
// (independently of the resource script, so an encoding or escaping fault in the string
// tables shows here), every absent entry loads as the empty string, and a resource index
// maps to the English set whatever the language, unless it is Japanese.
#include "update/locale/Localization.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// One text index with its Chinese, English and Japanese text; nullptr where the set has
// no entry.
struct TextRow {
    int index;
    const wchar_t* chinese;
    const wchar_t* english;
    const wchar_t* japanese;
};

const TextRow kTexts[] = {
    {8, L"配对成功!", L"Paired OK!", L"ペアリングが完了しました"},
    {9, L"确定", L"OK", L"はい"},
    {16,
     L"1. 按住接收器的按钮并通过USB连接到PC，“USB 升级”按钮将会被激活。\n\n2. 点击“USB "
     L"升级”按钮，选择升级文件。",
     L"1. Plug in receiver to PC, Red LED will turn on. \n\n2. Click 'Update' button and select "
     L"firmware file.",
     L"1. "
     L"レシーバーのペアリングボタンを押しながら、レシーバーとパソコンをUSBケーブルで接続します。\n"
     L"\n2. Orvane "
     L"ReceiverのLEDランプが緑色に点滅したらペアリングボタンを離し、「アップデート」ボタンをクリッ"
     L"クします。\n\n3. "
     L"ダウンロードしたフォルダ内にある「Kestrix_OV_Firmware_vX.XX."
     L"dat」と言うファイルを選択します。"},
    {17, L"打开文件失败，请检查该文件！", L"Open file error! Please check the file!",
     L"ファイルを開けませんでした。選択したファイルを再度ご確認ください!"},
    {18, L"USB获取蓝牙地址失败", L"Failed to get the Receiver's Bluetooth address via USB!",
     L"レシーバーのBleutoothアドレスの取得に失敗しました!"},
    {19, L"请升级到最新版本", L"Please update the orvane receiver firmware to the lastest version!",
     L"Please update the orvane receiver firmware to the lastest version!"},
    {20, nullptr, nullptr, nullptr},
    {21, nullptr, L"Paired OK!", nullptr},
    {22, L"请检查Orvane接收器的蓝牙地址格式 XX:XX:XX:XX:XX:XX",
     L"Please check the orvane receiver BT address format XX:XX:XX:XX:XX:XX",
     L"Please check the orvane receiver BT address format XX:XX:XX:XX:XX:XX"},
    {23, L"Kestrix OV Tools", L"Kestrix OV Tools", L"Kestrix Orvaneレシーバーツール"},
    {24, L"文件类型中显示的内容", L"File type", L"ファイルの種類の表示内容"},
    {25, L"升级固件版本: V%.02f", L"Update firmware version: V%.02f",
     L"新しいファームウェアのバージョンはV%.02f、現在のバージョンはV%.02fです"},
    {26, L"升级成功.", L"Firmware upgraded successful!",
     L"ファームウェアが正常にアップグレードされました！"},
    {27, L"固件更新失败", L"Firmware update failure", L"ファームウェアの更新に失敗しました!"},
    {28, L"固件更新失败,请将手柄工作在BOOT模式",
     L"Firmware update failure, please handle work in BOOT mode",
     L"Firmware update failure, please handle work in BOOT mode"},
    {29, L"正在更新固件,是否立即停止?", L"The new firmware is updating, will you abort it?",
     L"新しいファームウェアに更新中です。中止しますか？"},
    {30, L"提示", L"NOTE", L"NOTE"},
    {31, L"升级固件版本: V%.02f  Beta%d", L"Update firmware version: V%.02f  Beta%d",
     L"Update firmware version: V%.02f  Beta%d"},
    {32, L"正在更新固件，请等待更新完成。",
     L"A firmware update is in progress. Please wait until it has finished.",
     L"ファームウェアの更新中です。終わるまでお待ちください。"},
    {33, L"上次固件更新没有完成（%s）。请保持接收器连接，然后重新更新。",
     L"The last firmware update did not finish (%s). Keep the receiver plugged in and run the "
     L"update again.",
     L"前回のファームウェア更新は完了していません（%s）。レシーバーを接続したまま、もう一度更新して"
     L"ください。"},
    {34, L"本工具上次意外退出。已为技术支持保存了一份报告：%s",
     L"The tool stopped unexpectedly last time. A report for support was saved as %s.",
     L"前回、ツールが予期せず終了しました。サポート用のレポートを %s に保存しました。"},
    {35, L"USB 升级(&U)", L"&Update", L"アップデート(&U)"},
    {36, L"最小化", L"Minimize", L"最小化"},
    {37, L"关闭", L"Close", L"閉じる"},
    {38, L"接收器已连接", L"Receiver connected", L"レシーバーが接続されています"},
    {39, L"接收器未连接，请插入接收器", L"Receiver not connected. Please insert the receiver.",
     L"レシーバーが接続されていません。レシーバーを接続してください。"},
    {40, L"固件版本", L"Firmware version", L"ファームウェアのバージョン"},
    {41, L"升级进度", L"Update progress", L"更新の進行状況"},
    {42, L"确定", L"OK", L"OK"},
    {43, L"取消", L"Cancel", L"キャンセル"},
};

// The expected text of an index in one set: the row's text, or empty for an index with
// no row (pictures, 20) or a set without that entry.
std::wstring Expected(int index, const wchar_t* TextRow::*column) {
    for (const TextRow& row : kTexts) {
        if (row.index == index)
            return row.*column ? row.*column : L"";
    }
    return L"";
}

constexpr int kIndexCount = 44; // resource indexes 0 to 43

TEST(LocalizedStrings, EnglishTextsLoadByIndexExactly) {
    for (int index = 0; index < kIndexCount; ++index) {
        EXPECT_EQ(LoadLocalizedString(index), Expected(index, &TextRow::english))
            << "index " << index;
    }
}

TEST(LocalizedStrings, ChineseTextsLoadByIdExactly) {
    for (int index = 0; index < kIndexCount; ++index) {
        EXPECT_EQ(LoadStringById(RES_BASE_CHINESE + index), Expected(index, &TextRow::chinese))
            << "id " << RES_BASE_CHINESE + index;
    }
}

TEST(LocalizedStrings, JapaneseTextsLoadThroughTheJapaneseIds) {
    for (int index = 0; index < kIndexCount; ++index) {
        const int id = LocalizedIdFor(UI_LANG_JAPANESE, index);
        EXPECT_EQ(LoadStringById(id), Expected(index, &TextRow::japanese)) << "id " << id;
    }
}

// The worked examples: the title, the missing 20, the English-only 21, the blank and
// both line feeds of the instructions, and a picture index that has no text.
TEST(LocalizedStrings, NamedExamples) {
    EXPECT_EQ(LoadLocalizedString(TXT_TITLE), L"Kestrix OV Tools");
    EXPECT_EQ(LoadLocalizedString(20), L"");
    EXPECT_EQ(LoadLocalizedString(TXT_PAIRED_OK), L"Paired OK!");
    EXPECT_NE(LoadLocalizedString(TXT_GUIDE).find(L". \n\n2."), std::wstring::npos);
    EXPECT_EQ(LoadLocalizedString(PIC_BACKGROUND), L"");
}

// Our block walk agrees with the platform's own string loader on the English set,
// entry counts and positions in the block included.
TEST(LocalizedStrings, AgreesWithThePlatformLoader) {
    HINSTANCE module = GetModuleHandleW(nullptr);
    for (int id = RES_BASE_ENGLISH; id < RES_BASE_ENGLISH + kIndexCount; ++id) {
        const wchar_t* text = nullptr;
        const int length =
            LoadStringW(module, static_cast<UINT>(id), reinterpret_cast<LPWSTR>(&text), 0);
        const std::wstring platform = length > 0 ? std::wstring(text, length) : L"";
        EXPECT_EQ(LoadStringById(id), platform) << "id " << id;
    }
}

// The Chinese and Japanese tables are tagged with their own languages and still load:
// the lookup goes by id alone.
TEST(LocalizedStrings, TablesKeepTheirLanguageTags) {
    HMODULE module = GetModuleHandleW(nullptr);
    auto blockIn = [&](int id, WORD lang) {
        return FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), lang) != nullptr;
    };
    EXPECT_TRUE(blockIn(3016, MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED)));
    EXPECT_TRUE(blockIn(5016, MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT)));
    EXPECT_FALSE(LoadStringById(3016).empty());
    EXPECT_FALSE(LoadStringById(5016).empty());
}

// Ids next to the sets, ids in blocks that do not exist, and ids that no string table
// can hold all load as the empty string.
TEST(LocalizedStrings, IdsOutsideTheSetsAreEmpty) {
    const int ids[] = {0,    1,    2999, 3044,  3047, 3999,  4044,       4047,       4999,
                       5044, 5047, 9999, 65535, -1,   65536, 0x7FFFFFFF, -0x7FFFFFFF};
    for (int id : ids)
        EXPECT_EQ(LoadStringById(id), L"") << "id " << id;
}

struct IdCase {
    WORD language;
    int index;
    int id;
};

TEST(LocalizedIds, OnlyJapaneseLeavesTheEnglishSet) {
    const IdCase cases[] = {
        {UI_LANG_ENGLISH, 0, 4000},
        {UI_LANG_ENGLISH, 5, 4005},
        {0x0804, 0, 4000},
        {0x0804, 5, 4005}, // Chinese still gets English
        {0x0000, 16, 4016},
        {0x0407, 31, 4031},
        {UI_LANG_JAPANESE, 0, 5000},
        {UI_LANG_JAPANESE, 5, 5005},
        {UI_LANG_JAPANESE, 31, 5031},
        {0x0011, 0, 4000},           // primary Japanese, no sublanguage
        {UI_LANG_ENGLISH, -1, 3999}, // plain arithmetic, no bounds
    };
    for (const IdCase& c : cases) {
        EXPECT_EQ(LocalizedIdFor(c.language, c.index), c.id)
            << "language " << std::hex << c.language << std::dec << " index " << c.index;
    }
}

TEST(LocalizedIds, TheProgramsLanguageIsEnglishInLatinType) {
    EXPECT_EQ(UiLanguage(), UI_LANG_ENGLISH);
    EXPECT_FALSE(UseChineseFont());
    const int indexes[] = {0, 5, 7, 10, 15, 16, 23, 31};
    for (int index : indexes)
        EXPECT_EQ(LocalizedId(index), RES_BASE_ENGLISH + index);
}

} // namespace
