// The process entry of a GUI program built on the framework: runs the one
// application object. Linked from the framework library only into programs that need
// wWinMain (the tests have their own entry).
#include "framework/WinApp.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    return AfxWinMain(instance);
}
