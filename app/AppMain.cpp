// Process entry of the tool. The main window is not built yet; until then the entry
// point says so, so that ./run has something to show.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    MessageBoxW(nullptr, L"Kestrix OV Tools V1.0\n\nThe main window is being built.",
                L"Kestrix OV Tools V1.0", MB_OK | MB_ICONINFORMATION);
    return 0;
}
