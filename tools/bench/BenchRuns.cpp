#include "BenchRuns.h"

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <mutex>
#include <vector>

#include "update/locale/Localization.h"
#include "res/resource.h"
#include "support/MainWindowHarness.h"
#include "ui/UpdateDlg.h"

namespace {

constexpr std::uint32_t kVersionWord = 0x00000088;
constexpr int kPromptOk = 124;
constexpr int kWarmUpdates = 3; // before resources are compared

// The process's CPU time so far, user and kernel, in seconds.
double ProcessCpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](const FILETIME& t) {
        return static_cast<double>(static_cast<std::uint64_t>(t.dwHighDateTime) << 32 |
                                   t.dwLowDateTime) /
               1e7;
    };
    return seconds(kernel) + seconds(user);
}

// When a prompt was shown and answered, with the CPU time of the process and of the
// receiver's own threads at each.
struct PromptTimes {
    std::int64_t Shown = 0, Answered = 0;
    double CpuShown = 0, CpuAnswered = 0;
    double ReceiverCpuShown = 0, ReceiverCpuAnswered = 0;
};

// The real window, with the chooser answered at once and each prompt's showing timed:
// the bench measures the tool, not a person choosing a file.
class CBenchDlg final : public CUpdateDlg {
public:
    CBenchDlg(std::wstring image, HANDLE promptShown, SimReceiver& receiver)
        : m_Image(std::move(image)), m_hPromptShown(promptShown), m_Receiver(receiver) {}

    bool ChooseImage(std::wstring* path) override {
        *path = m_Image;
        return true;
    }
    int ShowPrompt(std::wstring text, int style) override {
        PromptTimes times;
        times.Shown = SimCounterNow();
        times.CpuShown = ProcessCpuSeconds();
        times.ReceiverCpuShown = m_Receiver.OwnThreadsCpuSeconds();
        SetEvent(m_hPromptShown);
        const int answer = CUpdateDlg::ShowPrompt(std::move(text), style);
        times.Answered = SimCounterNow();
        times.CpuAnswered = ProcessCpuSeconds();
        times.ReceiverCpuAnswered = m_Receiver.OwnThreadsCpuSeconds();
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Prompts.push_back(times);
        return answer;
    }
    std::vector<PromptTimes> Prompts() {
        std::lock_guard<std::mutex> lock(m_Lock);
        return m_Prompts;
    }

private:
    std::wstring m_Image;
    HANDLE m_hPromptShown;
    SimReceiver& m_Receiver;
    std::mutex m_Lock;
    std::vector<PromptTimes> m_Prompts;
};

// One bench window against a receiver that keeps no records, so the process holds
// little more than the tool itself.
struct BenchWindow {
    explicit BenchWindow(const std::wstring& image)
        : PromptShown(CreateEventW(nullptr, FALSE, FALSE, nullptr)), Harness([this, image] {
              auto dialog = std::make_unique<CBenchDlg>(image, PromptShown, Harness.sim);
              Dialog = dialog.get();
              return dialog;
          }) {
        Harness.sim.KeepRecords(false);
        Harness.sim.Plug(1);
    }
    ~BenchWindow() {
        if (Harness.Window())
            Harness.Close();
        CloseHandle(PromptShown);
    }
    bool Start() { return Harness.Start() && AtRest(10000); }
    // The receiver present and settled, its version shown, and no worker running.
    bool AtRest(DWORD timeoutMs) {
        return kxtest::WaitFor(
            [this] {
                return Harness.sim.Idle() && Harness.sim.Present() &&
                       !Harness.Dialog()->IsWorkerRunning() && !Harness.VersionText().empty() &&
                       Harness.UpdateButtonEnabled();
            },
            timeoutMs);
    }
    // Waits for the next prompt without polling, then answers it with OK.
    std::wstring AnswerNextPrompt(DWORD timeoutMs) {
        if (WaitForSingleObject(PromptShown, timeoutMs) != WAIT_OBJECT_0)
            return {};
        return Harness.AnswerPrompt(kPromptOk);
    }
    // Clicks the update button, confirms, and answers the end's prompt. True on the
    // success prompt.
    bool Update(DWORD timeoutMs) {
        Harness.ClickUpdate();
        if (AnswerNextPrompt(5000).empty())
            return false;
        return AnswerNextPrompt(timeoutMs) == LoadLocalizedString(TXT_UPDATE_SUCCEEDED);
    }

    HANDLE PromptShown;
    CBenchDlg* Dialog = nullptr;
    kxtest::MainWindowHarness Harness;
};

// Writes an image of dataBytes bytes of data a piece at a time, so that making it adds
// nothing to the process's peak working set; returns the data's SimDigest (0 on failure).
std::uint64_t WriteImageInPieces(const std::wstring& path, std::uint32_t dataBytes) {
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (!file)
        return 0;
    std::uint8_t header[28] = {};
    for (int i = 0; i < 4; ++i) {
        header[i] = static_cast<std::uint8_t>(kVersionWord >> (8 * i));
        header[8 + i] = static_cast<std::uint8_t>(dataBytes >> (8 * i));
    }
    bool written = fwrite(header, 1, sizeof(header), file) == sizeof(header);
    std::uint64_t digest = SimDigestStart;
    std::uint8_t piece[4096];
    std::uint32_t x = 2654435761u;
    for (std::uint32_t done = 0; written && done < dataBytes;) {
        const std::uint32_t n = std::min<std::uint32_t>(sizeof(piece), dataBytes - done);
        for (std::uint32_t i = 0; i < n; ++i) {
            x = x * 1664525u + 1013904223u;
            piece[i] = static_cast<std::uint8_t>(x >> 24);
        }
        digest = SimDigest(piece, n, digest);
        written = fwrite(piece, 1, n, file) == n;
        done += n;
    }
    return fclose(file) == 0 && written ? digest : 0;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t i =
        static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(i, values.size() - 1)];
}

} // namespace

bool RunTransfer(const TransferSettings& settings) {
    const std::wstring path = kxtest::TempPath(L"bench.dat");
    const std::uint64_t digest = WriteImageInPieces(path, settings.DataBytes);
    if (!digest) {
        fprintf(stderr, "bench: cannot write the image\n");
        return false;
    }

    BenchWindow bench(path);
    bench.Harness.sim.SetUsbFrames(settings.UsbFrames);
    if (!bench.Start()) {
        fprintf(stderr, "bench: the window did not come to rest\n");
        return false;
    }
    bench.Harness.sim.RecordTransferTimes(true);
    const DWORD timeoutMs = 60000 + settings.DataBytes / 8; // 32 bytes in 4 ms, and a minute
    const bool success = bench.Update(timeoutMs);
    // The peak before the bench copies its records.
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
    const std::vector<PromptTimes> prompts = bench.Dialog->Prompts();
    const SimTransferTimes times = bench.Harness.sim.TransferTimes();
    const SimUpdateResult result = bench.Harness.sim.LastUpdate();
    if (!success || prompts.size() != 2 || !result.Finished || result.DataDigest != digest ||
        result.DataBytes != settings.DataBytes) {
        fprintf(stderr, "bench: the update did not end in a byte-exact success\n");
        return false;
    }
    const std::size_t blocks = times.BlocksWritten.size();
    if (blocks < 2 || times.RequestsRead.size() < blocks) {
        fprintf(stderr, "bench: %zu blocks timed, %zu requests\n", blocks,
                times.RequestsRead.size());
        return false;
    }
    std::vector<double> turnaround;
    turnaround.reserve(blocks);
    for (std::size_t i = 0; i < blocks; ++i)
        turnaround.push_back(SimCounterSeconds(times.BlocksWritten[i] - times.RequestsRead[i]) *
                             1e6);
    // The transfer: from the confirmation's answer to the success prompt.
    const double seconds = SimCounterSeconds(prompts[1].Shown - prompts[0].Answered);
    const double cpu = prompts[1].CpuShown - prompts[0].CpuAnswered;
    // CPU time, thread by thread: the receiver's own threads against everything else (the
    // tool's window and worker; the bench's thread only waits meanwhile). The receiver's
    // work inside the tool's calls stands in for the system's, and counts as the tool's.
    const double receiverCpu = prompts[1].ReceiverCpuShown - prompts[0].ReceiverCpuAnswered;
    const double receiver = SimCounterSeconds(times.ReceiverCounts);
    const double perBlock = 1e6 / static_cast<double>(blocks);
    // From the first request's read to the last block's write: 2 frames a block at best.
    const double span = SimCounterSeconds(times.BlocksWritten.back() - times.RequestsRead.front());

    printf("transfer size=%u frames=%d blocks=%zu seconds=%.3f blocks_per_s=%.0f "
           "turn_p50=%.0f turn_p99=%.0f turn_max=%.0f receiver_us=%.1f cpu_us=%.1f "
           "receiver_cpu_us=%.1f tool_cpu_us=%.1f ratio=%.3f peak_ws_kib=%zu\n",
           settings.DataBytes, settings.UsbFrames ? 1 : 0, blocks, seconds,
           static_cast<double>(blocks) / seconds, Percentile(turnaround, 0.5),
           Percentile(turnaround, 0.99), Percentile(turnaround, 1.0), receiver * perBlock,
           cpu * perBlock, receiverCpu * perBlock, (cpu - receiverCpu) * perBlock,
           span / (0.002 * static_cast<double>(blocks - 1)), memory.PeakWorkingSetSize / 1024);
    return true;
}

bool RunGrowth(int updates) {
    const std::wstring path = kxtest::TempPath(L"bench-growth.dat");
    kxtest::WriteImage(path, kVersionWord, 4096, 4096);
    BenchWindow bench(path);
    if (!bench.Start()) {
        fprintf(stderr, "bench: the window did not come to rest\n");
        return false;
    }
    std::vector<double> seconds;
    auto update = [&] {
        const std::int64_t started = SimCounterNow();
        // Each update ends with the receiver back, showing its new version, and the tool
        // at rest again.
        if (!bench.Update(30000) || !bench.AtRest(10000))
            return false;
        seconds.push_back(SimCounterSeconds(SimCounterNow() - started));
        return true;
    };
    // The platform fills caches of its own during the first updates (device contexts,
    // fonts, the event a lock makes when it is first contended): counted apart, as
    // "start" and "warm".
    const kxtest::ProcessCounts start = kxtest::CountProcessResources();
    for (int i = 0; i < kWarmUpdates; ++i) {
        if (!update()) {
            fprintf(stderr, "bench: a first update did not succeed\n");
            return false;
        }
    }
    const kxtest::ProcessCounts warm = kxtest::CountProcessResources();
    const std::map<std::uintptr_t, std::wstring> warmHandles = kxtest::HandleKinds();
    for (int i = 0; i < updates; ++i) {
        if (!update()) {
            fprintf(stderr, "bench: update %d of %d did not succeed\n", i + 1, updates);
            return false;
        }
    }
    const kxtest::ProcessCounts after = kxtest::CountProcessResources();
    printf("growth updates=%d warm_updates=%d seconds_p50=%.3f", updates, kWarmUpdates,
           Percentile(seconds, 0.5));
    const struct {
        const char* name;
        DWORD kxtest::ProcessCounts::*count;
    } kinds[] = {{"handles", &kxtest::ProcessCounts::Handles},
                 {"gdi", &kxtest::ProcessCounts::Gdi},
                 {"user", &kxtest::ProcessCounts::User},
                 {"threads", &kxtest::ProcessCounts::Threads}};
    for (const auto& kind : kinds)
        printf(" %s_start=%lu %s_warm=%lu %s_after=%lu", kind.name, start.*kind.count, kind.name,
               warm.*kind.count, kind.name, after.*kind.count);
    // What any new kernel handle is, to tell a cache from a leak.
    std::string added;
    for (const auto& handle : kxtest::HandleKinds())
        if (!warmHandles.count(handle.first))
            added += (added.empty() ? "" : ",") +
                     std::string(handle.second.begin(), handle.second.end());
    printf(" new_handles=%s\n", added.empty() ? "none" : added.c_str());
    return true;
}
