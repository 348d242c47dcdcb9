// The bench's measurements made inside one process: whole updates through the real
// window, workers and session against the simulated receiver.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

struct TransferSettings {
    std::uint32_t DataBytes = 65536; // the image's data, after its header
    bool UsbFrames = false;
};

// Runs one update of an image of that size and prints one line of key=value figures:
// blocks, seconds (the update's confirmation to its success prompt), blocks_per_s, the
// tool's turnaround per block (turn_p50 / turn_p99 / turn_max, µs), the receiver's own
// time inside the tool's calls (receiver_us), and CPU time per block of the process, of
// the receiver's own threads and of the others, the tool's (cpu_us, receiver_cpu_us,
// tool_cpu_us), the
// frame-model ratio to the link bound of 2 frames a block (ratio, with USB frames), and
// the process's peak working set (peak_ws_kib). Returns false when the update did not
// end in a byte-exact success.
bool RunTransfer(const TransferSettings& settings);

// Counts the process's handles, GDI objects, USER objects and threads at rest after
// the start, after three whole updates, and after `updates` more consecutive updates,
// each answered as a user would; prints them and an update's median time. False when an
// update failed.
bool RunGrowth(int updates);
