// A program that imports the HID class, device set-up and common-controls libraries by
// name, as the tool once did, and has no manifest. The libraries tests start it beside
// planted libraries of those names to show that such a program takes them, so a test
// that finds the tool does not take them could have found otherwise.
#include <windows.h>
#include <commctrl.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

int wmain() {
    GUID hidGuid{};
    ::HidD_GetHidGuid(&hidGuid);
    ::SetupDiDestroyDeviceInfoList(INVALID_HANDLE_VALUE);
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&icc);
    return 0;
}
