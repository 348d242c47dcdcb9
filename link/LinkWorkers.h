// The link workers: the threads that read the receiver's replies. The listen worker
// asks a mode-1 receiver for its version and listens until the version reply has
// come; the update worker announces an update and listens until the session is done.
// Both run the same receive loop: read one report with the read time-out; on nothing,
// send CMD_POLL; on a report, hand its frame to the main window's DispatchReply, on
// the worker's own thread. One worker talks to the receiver at a time; the main window
// starts them (StartListenThread, StartUpdateThread) and stops them before it goes.
#pragma once

#include <atomic>
#include <cstdint>

// Holds kListenMarker while the listen worker is to keep listening; the version reply
// stores the receiver's version word in it, which ends that worker's loop.
constexpr std::uint32_t kListenMarker = 0x5A5A5A5A;
extern std::atomic<std::uint32_t> g_nListenMarker;

// The update worker loops while this is 0; the session sets it when the update has
// finished, failed or been stopped.
extern std::atomic<int> g_bUpdateDone;

// The workers' receive buffer: byte 0 the frame's count, bytes 1.. the frame.
extern std::uint8_t g_RxReport[65];

// The thread procedures. They reach the window and its device through g_pMainWindow.
// ListenThread returns 0; UpdateThread 0 when its first command could not be written,
// else 1.
unsigned ListenThread();
unsigned UpdateThread();
