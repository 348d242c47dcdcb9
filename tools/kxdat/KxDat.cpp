// kxdat: creates and inspects firmware image files (.dat) for trying the updater.
//
//   kxdat create OUT --version WORD --length N [--word1 WORD] [--word3 WORD]
//                    [--seed S] [--truncate K]
//   kxdat show FILE
//
// create writes an image whose data and uninterpreted header bytes come from a seeded
// stream (ImageBuilder.h); --truncate K keeps only K of the N data bytes, for an image
// the updater must refuse. show prints the header and what the updater would do with
// the file. Exit status: 0 done (show: the updater accepts the image), 1 the image is
// refused or cannot be written, 2 a bad command line.
#include "ImageBuilder.h"
#include "ImageReport.h"

#include "sim/NumberText.h"
#include "sim/StdStream.h"
#include "sim/WholeFile.h"

#include <windows.h>

#include <set>
#include <string>

namespace {

constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kBadCommandLine = 2;

// Large enough for any receiver's image, small enough to stay a sample.
constexpr std::uint32_t kMaxLength = 64u << 20;

const wchar_t kUsage[] =
    L"Usage:\n"
    L"  kxdat create OUT --version WORD --length N [--word1 WORD] [--word3 WORD]\n"
    L"                   [--seed S] [--truncate K]\n"
    L"      writes an image: the header (VersionWord, Word1, DataLength N, Word3, tail),\n"
    L"      then N data bytes; Word1, Word3, the tail and the data come from a stream\n"
    L"      seeded with S (default 1) unless given; --truncate K keeps only K < N data\n"
    L"      bytes. N is at most 67108864.\n"
    L"  kxdat show FILE\n"
    L"      prints the header, the data present and what the updater does with the file;\n"
    L"      exits 0 when it accepts the image, 1 when it refuses it.\n"
    L"Numbers are decimal or 0x hexadecimal.\n";

int BadCommandLine(const std::wstring& message) {
    WriteStdStream(STD_ERROR_HANDLE, L"kxdat: " + message + L"\n\n" + kUsage);
    return kBadCommandLine;
}

bool Number(const std::wstring& option, const std::wstring& text, std::uint32_t high,
            std::uint32_t* value, std::wstring* error) {
    std::uint32_t number = 0;
    const NumberRead read = ReadNumber(text, &number);
    if (read == NumberRead::Malformed) {
        *error = option + L": \"" + text + L"\" is not a number";
        return false;
    }
    if (read == NumberRead::TooLarge || number > high) {
        *error = option + L": " + text + L" is too large";
        return false;
    }
    *value = number;
    return true;
}

int Create(int argc, wchar_t** argv) {
    if (argc < 3 || std::wstring(argv[2]).compare(0, 2, L"--") == 0)
        return BadCommandLine(L"create needs the name of the file to write");
    const std::wstring out = argv[2];
    ImageRecipe recipe;
    std::set<std::wstring> seen;
    std::wstring error;
    for (int i = 3; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (!seen.insert(option).second)
            return BadCommandLine(option + L" is given twice");
        if (i + 1 >= argc)
            return BadCommandLine(option + L" needs a value");
        const std::wstring value = argv[++i];
        bool ok = false;
        if (option == L"--version") {
            ok = Number(option, value, 0xFFFFFFFFu, &recipe.VersionWord, &error);
        } else if (option == L"--length") {
            ok = Number(option, value, kMaxLength, &recipe.DataLength, &error);
        } else if (option == L"--word1") {
            ok = recipe.HasWord1 = Number(option, value, 0xFFFFFFFFu, &recipe.Word1, &error);
        } else if (option == L"--word3") {
            ok = recipe.HasWord3 = Number(option, value, 0xFFFFFFFFu, &recipe.Word3, &error);
        } else if (option == L"--seed") {
            ok = Number(option, value, 0xFFFFFFFFu, &recipe.Seed, &error);
        } else if (option == L"--truncate") {
            ok = recipe.Truncated = Number(option, value, kMaxLength, &recipe.DataBytes, &error);
        } else {
            error = L"unknown option \"" + option + L"\"";
        }
        if (!ok)
            return BadCommandLine(error);
    }
    if (!seen.count(L"--version") || !seen.count(L"--length"))
        return BadCommandLine(L"create needs --version and --length");
    if (recipe.Truncated && recipe.DataBytes >= recipe.DataLength)
        return BadCommandLine(L"--truncate must keep fewer data bytes than --length");

    const DWORD failure = WriteWholeFile(out, BuildImage(recipe));
    if (failure != 0) {
        WriteStdStream(STD_ERROR_HANDLE, L"kxdat: cannot write " + out + L" (system error " +
                                             std::to_wstring(failure) + L")\n");
        return kRefused;
    }
    return kDone;
}

int Show(int argc, wchar_t** argv) {
    if (argc != 3)
        return BadCommandLine(L"show takes the name of one file");
    bool accepted = false;
    WriteStdStream(STD_OUTPUT_HANDLE, DescribeImage(argv[2], &accepted));
    return accepted ? kDone : kRefused;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"create")
        return Create(argc, argv);
    if (command == L"show")
        return Show(argc, argv);
    return BadCommandLine(command.empty() ? L"no command"
                                          : L"unknown command \"" + command + L"\"");
}
