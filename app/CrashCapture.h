// The tool's crash capture. Once installed, an exception nobody handles, on any thread,
// leaves a minidump for support in the "crashes" folder beside the update history
// (%LOCALAPPDATA%\Kestrix\OV Tools\crashes, the newest five kept), a record of the crash
// in the history, and a note that the next start reads to tell the user, once, where the
// dump is. The process then ends as it would have.
#pragma once

#include <string>

// Installs the capture for the history at historyPath (its folder holds the dumps).
void InstallCrashCapture(const std::wstring& historyPath);

// The dump an earlier run's crash left for the user to be told of, or empty; once taken,
// the next call returns empty.
std::wstring TakeCrashNotice(const std::wstring& historyPath);
