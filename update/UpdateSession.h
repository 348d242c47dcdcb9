// The update session's shared state: its state word and whether an update is marked
// running. The session itself is the main window's (DispatchReply and what follows).
#pragma once

#include <atomic>

enum UpdateState {
    STATE_HEADER_SENT = 1, // header sent; the first data request opens the image
    STATE_SENDING = 2,     // each data request is answered with the next block
    STATE_DATA_DONE = 4,   // the whole image has been sent (also the idle state)
};

extern std::atomic<int> g_nUpdateState;

// 1 from the confirmed start of an update until it has finished successfully (a failed
// update leaves it at 1, so the close button still asks before closing).
extern std::atomic<int> g_bUpdating;
