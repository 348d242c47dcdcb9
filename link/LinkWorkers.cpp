#include "link/LinkWorkers.h"

#include "link/Frames.h"
#include "link/Hid.h"

std::atomic<std::uint32_t> g_nListenMarker{kListenMarker};
std::uint8_t g_RxReport[65];

namespace {
// The frame bytes one input report can carry: the report less its number and count.
USHORT FrameCapacity() {
    const unsigned mode = g_nDeviceMode.load();
    const int report = mode == 2 ? REPORT_LENGTH_MODE2 : REPORT_LENGTH_MODE1;
    return static_cast<USHORT>(report - 2);
}
} // namespace

LoopEnd ReceiveLoop(CHid& hid, IReplySink& sink, const std::atomic<bool>& stop,
                    const std::atomic<bool>& removed) {
    for (;;) {
        const DWORD result = hid.ReadHid(g_RxReport, sizeof(g_RxReport));
        if (result == HID_READ_OK) {
            // A count beyond what the report holds is a malformed report: nothing may be
            // read past the bytes that arrived.
            const USHORT count = g_RxReport[0];
            if (count <= FrameCapacity()) {
                sink.DispatchReply(&g_RxReport[1], count);
            }
        } else if (result == HID_READ_DEVICE_GONE || hid.DeviceGone() || removed) {
            return LoopEnd::DeviceGone;
        } else {
            SendShortCommand(CMD_POLL, 0);
            sink.OnQuietPass();
        }
        if (stop) {
            return LoopEnd::Stopped;
        }
        if (!sink.KeepListening()) {
            return LoopEnd::Finished;
        }
    }
}

unsigned ListenThread(CHid& hid, IReplySink& sink, const std::atomic<bool>& stop,
                      const std::atomic<bool>& removed) {
    g_nListenMarker = kListenMarker;
    if (!hid.OpenDevice()) {
        return 0;
    }
    SendLinkFrame(SUB_QUERY_VERSION, nullptr, 0);
    // A receiver that has gone will never answer: a later arrival starts a new listen
    // worker.
    ReceiveLoop(hid, sink, stop, removed);
    return 0;
}
