// The bench's start-up measurement: the program started as a person starts it.
#pragma once

#include <string>

// Starts the program at `exe` once to warm Wine up, then `runs` times, each time
// measuring from the process's creation to its main window's first paint (the skin on
// screen) and, when `version` is set, to the receiver's version shown. Prints the
// medians as one line of key=value figures. False when a start failed.
bool RunStartup(const std::wstring& exe, int runs, bool version);

// The floor Wine sets: the start-up of this program as a probe that shows one plain
// window with a painted background and nothing else, measured the same way.
bool RunProbeStartup(int runs);
// The probe itself: shows that window until it is closed. Returns the exit code.
int RunProbe();
