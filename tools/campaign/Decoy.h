// The decoy: another program beside the tool, with visible top-level windows on threads
// that come and go (so thread numbers the tool once saw soon belong to it), counting every
// close request those windows receive. The tool has no business closing another
// program's windows: the campaign checks after every run that the decoy got none.
#pragma once

#include <windows.h>

// The body of the decoy process (the campaign started with --decoy PID): runs until the
// campaign process PID ends or asks it to.
int RunDecoy(DWORD campaignPid);

// The campaign's side: starts the decoy as a copy of this program and reads its count.
struct DecoyBoard;

class CDecoy {
public:
    CDecoy() = default;
    CDecoy(const CDecoy&) = delete;
    CDecoy& operator=(const CDecoy&) = delete;
    ~CDecoy();

    // Starts it and waits until its windows show. False when it did not come up.
    bool Start();
    // WM_CLOSE and SC_CLOSE its windows have received so far; -1 when it is not running.
    long Closes() const;
    // Top-level windows it has shown so far, on as many threads.
    long WindowsShown() const;

private:
    DecoyBoard* m_pBoard = nullptr;
    HANDLE m_hMapping = nullptr;
    HANDLE m_hProcess = nullptr;
};
