// The receive loop of the link workers: the threads that read the receiver's replies.
// Each pass reads one report with the read time-out; a report's frame goes to the reply
// sink the loop was given, on the worker's own thread, and a pass that brings nothing
// sends CMD_POLL. The loop knows nothing of sessions or windows: the listen worker's
// sink waits for the version reply, the update worker's sink is the update session.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

class CHid;

// What the receive loop hands its reports to.
class IReplySink {
public:
    // One received frame: count bytes at frame, never more than a report holds. The
    // frame may still be shorter than its type needs; the sink checks.
    virtual void DispatchReply(const BYTE* frame, USHORT count) = 0;
    // Asked after every pass: false ends the loop.
    virtual bool KeepListening() = 0;
    // A pass that brought no report, after the poll was sent.
    virtual void OnQuietPass() {}

protected:
    ~IReplySink() = default;
};

// Why a receive loop ended.
enum class LoopEnd {
    Finished,   // the sink stopped listening
    Stopped,    // stop was set
    DeviceGone, // the receiver has been removed (a read said so, or removed was set)
};

// Runs the receive loop on hid until the sink stops listening, stop is set, or the
// receiver is gone. `removed` is set by whoever learns of a removal first (the window's
// device-change handling): with no receiver found, reads no longer reach the device.
LoopEnd ReceiveLoop(CHid& hid, IReplySink& sink, const std::atomic<bool>& stop,
                    const std::atomic<bool>& removed);

// The listen worker: opens the device, asks for the firmware version and runs the
// receive loop until the sink has heard it (it stops listening), stop is set, or the
// receiver is gone. Returns 0.
unsigned ListenThread(CHid& hid, IReplySink& sink, const std::atomic<bool>& stop,
                      const std::atomic<bool>& removed);
