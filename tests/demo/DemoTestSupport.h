// Shared pieces of the demo tests: standard output caught in a pipe, running a program
// and reading what it printed, a small image file and a host that sends it to the
// simulated receiver. Their scratch folders are support/TempDir's.
#pragma once

#include "link/LinkFixture.h"
#include "link/UniqueKernelHandle.h"
#include "support/TempDir.h"

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// Points the process's standard output handle at a pipe for its lifetime, so what the
// code under test writes there can be read back.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;
    // Waits until at least `lines` lines have arrived (or the time-out) and returns all
    // the text read so far.
    std::string WaitForLines(int lines, DWORD timeoutMs = 5000);

private:
    UniqueKernelHandle m_Read;
    UniqueKernelHandle m_Write;
    HANDLE m_hPrevious;
    std::string m_Text;
};

// What a program printed and its exit status.
struct RunResult {
    DWORD ExitCode = 0xFFFFFFFF;
    std::string Out;
    std::string Err;
};

// Runs a program of the build's bin folder (next to the tests' folder) with these
// arguments, waits for it (10 s at most) and returns what it printed, a few KiB at most.
RunResult RunTool(const wchar_t* exe, const std::vector<std::wstring>& args);

// The repository's folder: the build folder's parent.
std::filesystem::path SourceDir();

// A small image: version 1.35 beta 3, DataLength 100 and 128 data bytes (four blocks),
// Word1 and Word3 of four different bytes each and no two data bytes of a block alike,
// so a byte-order slip or a block out of place shows in a copy.
Bytes SmallImage();

// The link fixture with the host's side of an update, as the update session plays it.
class DemoLinkTest : public LinkTest {
public:
    // The receiver's request for the block at this offset of the data.
    static Bytes Request(std::uint32_t offset);

protected:
    // Starts an update and answers every request for the next block; returns the reply
    // that did not ask for one (empty when none came).
    Bytes SendImage(const Bytes& file);
};
