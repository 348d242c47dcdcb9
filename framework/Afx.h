// The framework in one include: application, windows, dialogs, controls and GDI.
#pragma once

#include "framework/Controls.h"
#include "framework/Dialog.h"
#include "framework/Dpi.h"
#include "framework/Gdi.h"
#include "framework/WinApp.h"
#include "framework/Wnd.h"
