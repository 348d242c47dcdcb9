// The bench: measures updates, start-up and what the tool holds, against the simulated
// receiver, and prints each measurement as one line of key=value figures (./bench makes
// the table of them).
//
//   KestrixBench transfer SIZE [--usb-frames]   one update with SIZE bytes of image data
//   KestrixBench growth N                       N consecutive updates, resources counted
//   KestrixBench startup EXE RUNS [--version]   start-up of a program, RUNS times
//   KestrixBench startup-probe RUNS             start-up of a plain window: Wine's floor
//   KestrixBench probe                          that plain window
//
// Exits 0 when the measurement was made, 1 when it could not be, 2 on a bad command line.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "BenchRuns.h"
#include "BenchStartup.h"

namespace {

int Usage() {
    fprintf(stderr, "usage: KestrixBench transfer SIZE [--usb-frames] | growth N | "
                    "startup EXE RUNS [--version] | startup-probe RUNS | probe\n");
    return 2;
}

bool Number(const wchar_t* text, unsigned long* out) {
    wchar_t* end = nullptr;
    *out = wcstoul(text, &end, 10);
    return end != text && *end == L'\0' && *out > 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc == 2 && std::wstring(argv[1]) == L"probe")
        return RunProbe();
    if (argc < 3)
        return Usage();
    const std::wstring mode = argv[1];
    unsigned long n = 0;
    if (mode == L"transfer" && Number(argv[2], &n) && n <= (64ul << 20)) {
        TransferSettings settings;
        settings.DataBytes = static_cast<std::uint32_t>(n);
        if (argc == 4 && std::wstring(argv[3]) == L"--usb-frames")
            settings.UsbFrames = true;
        else if (argc != 3)
            return Usage();
        return RunTransfer(settings) ? 0 : 1;
    }
    if (mode == L"growth" && argc == 3 && Number(argv[2], &n))
        return RunGrowth(static_cast<int>(n)) ? 0 : 1;
    if (mode == L"startup" && (argc == 4 || argc == 5) && Number(argv[3], &n)) {
        const bool version = argc == 5 && std::wstring(argv[4]) == L"--version";
        if (argc == 5 && !version)
            return Usage();
        return RunStartup(argv[2], static_cast<int>(n), version) ? 0 : 1;
    }
    if (mode == L"startup-probe" && argc == 3 && Number(argv[2], &n))
        return RunProbeStartup(static_cast<int>(n)) ? 0 : 1;
    return Usage();
}
