// The process entry of a GUI program built on the framework: restricts where libraries
// are searched for, then runs the one application object. Linked from the framework
// library only into programs that need wWinMain (the tests have their own entry).
#include "framework/SystemLibrary.h"
#include "framework/WinApp.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    AfxRestrictDllSearch();
    return AfxWinMain(instance);
}
