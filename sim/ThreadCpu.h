// The CPU time a thread has used, user and kernel, for the bench's accounts.
#pragma once

#include <windows.h>

#include <thread>

// The CPU time, in seconds, that this std::thread has used so far (0 when it has none).
double ThreadCpuSeconds(std::thread& thread);
// The same for the calling thread.
double CurrentThreadCpuSeconds();
