#include "link/LinkWorkers.h"

#include "link/Frames.h"
#include "link/Hid.h"

LoopEnd ReceiveLoop(CHid& hid, IReplySink& sink, const std::atomic<bool>& stop,
                    const std::atomic<bool>& removed) {
    // This worker's receive buffer: byte 0 the frame's count, bytes 1.. the frame.
    std::uint8_t report[256];
    for (;;) {
        std::uint16_t payload = 0;
        const DWORD result = hid.ReadHid(report, sizeof(report) - 1, &payload);
        if (result == HID_READ_OK) {
            // A count beyond what the report holds is a malformed report: nothing may be
            // read past the bytes that arrived.
            const USHORT count = report[0];
            if (payload > 0 && count <= payload - 1) {
                sink.DispatchReply(&report[1], count);
            }
        } else if (result == HID_READ_DEVICE_GONE || hid.DeviceGone() || removed) {
            return LoopEnd::DeviceGone;
        } else {
            SendShortCommand(hid, CMD_POLL, 0);
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
    if (!hid.OpenDevice()) {
        return 0;
    }
    SendLinkFrame(hid, SUB_QUERY_VERSION, nullptr, 0);
    // A receiver that has gone will never answer: a later arrival starts a new listen
    // worker.
    ReceiveLoop(hid, sink, stop, removed);
    return 0;
}
