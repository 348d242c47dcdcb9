// The tool's one application object; the framework's process entry runs it. The
// receiver is reached through the real system's HID services.
#include "app/UpdateApp.h"

CUpdateApp theApp;
