// The receiver as a virtual USB HID device on Linux, so the real tool can be run against
// a real HID stack: the kernel's uhid and hidraw, and the host software that reads hidraw
// (Wine's HID bus, for the tool under Wine). The receiver itself is UhidReceiver.
//
//   kx-uhid-receiver [--vendor N] [--product N] [--received PATH] [--control PATH]
//                    [--absent] [--mode 1|2] [--version WORD] [--fail-at N[:CODE]]
//                    [--unplug-at N] [--ack-finish] [--reboot-ms MS] [--stream WORD]
//                    [--other-interface LEN]
//
// It plugs itself in at start unless --absent (--product is the mode-1 product number;
// in mode 2 it presents as the next one), logs what happens on standard output, and
// writes what it received to --received as an image file whenever an update ends. With
// --stream it sends, while in mode 2, a version report with WORD every 100 ms. With
// --other-interface, each time it plugs in in mode 1 another HID device with the same
// vendor and product number and reports of LEN bytes comes just before it, and goes with
// it; whatever the host writes to that one is logged and counted by "audit". With
// --control it looks for that file every 100 ms: the file holds one command, is removed
// once the command has been carried out, and is answered in PATH.reply ("ok [TEXT]" or
// "failed WHY"; ReceiverControl.h):
//   unplug | plug [2] | quit
//   restart [OPTIONS]   unplugged, then back as if started afresh with these of the
//                       options above from --absent on
//   audit               answers with the output reports not of the mode's length and
//                       report number, and those written to the other interface, since
//                       the last audit (none: "ok" alone)
// A command that fails ends it once answered. It ends on "quit", SIGTERM or SIGINT,
// unplugging itself first.
#include "sim/uhid/ReceiverOptions.h"
#include "sim/uhid/UhidReceiver.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

namespace {

volatile std::sig_atomic_t g_bStop = 0;

void OnStopSignal(int) {
    g_bStop = 1;
}

} // namespace

int main(int argc, char** argv) {
    ReceiverOptions options;
    std::string error;
    if (!ParseReceiverOptions({argv + 1, argv + argc}, false, &options, &error)) {
        std::fprintf(stderr, "kx-uhid-receiver: %s\n", error.c_str());
        return 2;
    }
    struct sigaction stop {};
    stop.sa_handler = OnStopSignal; // no SA_RESTART: the wait returns at once
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);

    UhidReceiver receiver(options);
    if (!receiver.Start()) {
        return 1;
    }
    return receiver.Run(g_bStop) ? 0 : 1;
}
