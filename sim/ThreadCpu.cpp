#include "sim/ThreadCpu.h"

#include <pthread.h>

namespace {
double CpuSecondsOf(HANDLE thread) {
    FILETIME created, exited, kernel, user;
    if (!thread || !::GetThreadTimes(thread, &created, &exited, &kernel, &user))
        return 0;
    auto seconds = [](const FILETIME& t) {
        return static_cast<double>(static_cast<unsigned long long>(t.dwHighDateTime) << 32 |
                                   t.dwLowDateTime) /
               1e7;
    };
    return seconds(kernel) + seconds(user);
}
} // namespace

double ThreadCpuSeconds(std::thread& thread) {
    // The posix thread model's threads are system threads; winpthreads keeps the handle.
    return thread.joinable() ? CpuSecondsOf(pthread_gethandle(thread.native_handle())) : 0;
}

double CurrentThreadCpuSeconds() {
    return CpuSecondsOf(::GetCurrentThread());
}
