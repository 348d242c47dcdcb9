// The fault campaign: many whole updates through the real window, workers and session
// against the simulated receiver, each with faults drawn at random, checking after every
// run that the tool never claimed a success the receiver did not get, never hung, never
// sent a block after a failure, and gave back everything it took.
//
//   KestrixFaultCampaign [--runs N] [--seed S] [--run K] [--budget-seconds T]
//                        [--deadline-ms D] [--check-every N] [--verbose]
//
// --run K replays run K of seed S alone (--runs times, 1 unless given). --budget-seconds stops
// starting new runs once that much time has gone. --check-every sets how often (in runs) the
// process's resources are compared with those after the first run (default 25). Exits 0 when no
// invariant broke, 1 when one did, 3 on a crash (an exception nobody handled, or
// std::terminate) and 4 on a hang, printing the seed and run that replay it.
//
// The campaign starts a copy of itself as a decoy (KestrixFaultCampaign --decoy PID): another
// program's windows, which must never receive a close request from the tool.
#include <windows.h>

#include <commdlg.h>

#include <array>
#include <atomic>
#include <cmath>
#include <map>
#include <vector>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <exception>
#include <string>

#include "CampaignRun.h"
#include "Decoy.h"
#include "res/resource.h"
#include "support/MainWindowHarness.h"
#include "support/WinTest.h"

namespace {

constexpr int kKinds = static_cast<int>(FaultKind::Count);

struct Row {
    int Runs = 0;
    std::array<int, 4> Outcomes{}; // by RunOutcome
    int Broken = 0;
};

struct Campaign {
    std::uint64_t Seed = 0;
    std::array<Row, kKinds + 1> Rows{}; // one per kind, then runs with no fault
    Row Total;
    long long Current = -1;
    int Crashes = 0;
};
Campaign g_Campaign;

void Count(const FaultPlan& plan, RunOutcome outcome, bool broken) {
    auto add = [&](Row& row) {
        ++row.Runs;
        ++row.Outcomes[static_cast<int>(outcome)];
        row.Broken += broken;
    };
    for (FaultKind kind : plan.Faults)
        add(g_Campaign.Rows[static_cast<int>(kind)]);
    if (plan.Faults.empty())
        add(g_Campaign.Rows[kKinds]);
    add(g_Campaign.Total);
}

void PrintTable() {
    printf("\n%-28s %6s %8s %8s %6s %5s %6s %7s\n", "fault kind", "runs", "success", "failure",
           "abort", "hang", "crash", "broken");
    auto line = [](const char* name, const Row& row, int crashes) {
        printf("%-28s %6d %8d %8d %6d %5d %6d %7d\n", name, row.Runs,
               row.Outcomes[static_cast<int>(RunOutcome::Success)],
               row.Outcomes[static_cast<int>(RunOutcome::Failure)],
               row.Outcomes[static_cast<int>(RunOutcome::Abort)],
               row.Outcomes[static_cast<int>(RunOutcome::Hang)], crashes, row.Broken);
    };
    for (int kind = 0; kind < kKinds; ++kind)
        line(FaultName(static_cast<FaultKind>(kind)), g_Campaign.Rows[kind], 0);
    line("(no fault)", g_Campaign.Rows[kKinds], 0);
    line("all runs", g_Campaign.Total, g_Campaign.Crashes);
    printf("(a run with two faults counts in both rows; success means byte-exact)\n");
    fflush(stdout);
}

void Replay(long long run) {
    printf("replay: tools/fault-campaign --seed %llu --run %lld\n",
           static_cast<unsigned long long>(g_Campaign.Seed), run);
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS* info) {
    g_Campaign.Crashes = 1;
    printf("\nCRASH in run %lld: exception 0x%08lX at %p\n", g_Campaign.Current,
           info->ExceptionRecord->ExceptionCode, info->ExceptionRecord->ExceptionAddress);
    PrintTable();
    Replay(g_Campaign.Current);
    ExitProcess(3);
}

// std::terminate on any thread (a thread object destroyed still joinable, an exception
// leaving a noexcept function or a thread's body) is a crash as well.
[[noreturn]] void OnTerminate() {
    g_Campaign.Crashes = 1;
    printf("\nCRASH in run %lld: std::terminate on thread %lu\n", g_Campaign.Current,
           GetCurrentThreadId());
    PrintTable();
    Replay(g_Campaign.Current);
    ExitProcess(3);
}

bool ReadNumber(const wchar_t* text, unsigned long long* value) {
    wchar_t* end = nullptr;
    *value = wcstoull(text, &end, 0);
    return end && *end == L'\0' && end != text;
}

std::string Describe(const kxtest::ProcessCounts& c) {
    char text[96];
    snprintf(text, sizeof(text), "handles %lu, GDI %lu, USER %lu, threads %lu", c.Handles, c.Gdi,
             c.User, c.Threads);
    return text;
}

// What the platform itself keeps, and never gives back, for every prompt and every use of
// its file chooser: measured on bare ones, and allowed for in the counts, so what is left
// over is the tool's own.
struct PlatformKeeps {
    DWORD GdiPerPrompt = 0;
    double HandlesPerChooser = 0;
};

// Whether the process holds more than it did, allowing for what the platform keeps for
// this many prompts and choosers.
bool Grew(const kxtest::ProcessCounts& now, const kxtest::ProcessCounts& before,
          const PlatformKeeps& keeps, long long prompts, long long choosers) {
    const auto chooserHandles = static_cast<long long>(std::ceil(keeps.HandlesPerChooser * choosers));
    return now.Handles > before.Handles + chooserHandles ||
           now.Gdi > before.Gdi + keeps.GdiPerPrompt * prompts || now.User > before.User ||
           now.Threads > before.Threads;
}


// The handles held now that were not held at the start, with their kinds.
std::string NewHandles(const std::map<std::uintptr_t, std::wstring>& before) {
    std::string text;
    for (const auto& [value, kind] : kxtest::HandleKinds())
        if (!before.count(value)) {
            char one[64];
            snprintf(one, sizeof(one), "%s0x%llx %ls", text.empty() ? "; new handles: " : ", ",
                     static_cast<unsigned long long>(value), kind.c_str());
            text += one;
        }
    return text;
}

// Counts once everything a run started has had time to go.
kxtest::ProcessCounts SettledCounts() {
    kxtest::ProcessCounts counts = kxtest::CountProcessResources();
    for (int i = 0; i < 20; ++i) {
        Sleep(50);
        const kxtest::ProcessCounts again = kxtest::CountProcessResources();
        if (again == counts)
            break;
        counts = again;
    }
    return counts;
}

// Kernel handles the platform's file chooser keeps for each use, measured over `count`
// bare ones after a first, each on the workers' thread, as the tool's update worker opens
// it, and a file chosen in each, as the campaign's user does.
double PlatformHandlesPerChooser(CWorkerThread& workers, int count) {
    const std::wstring chosen = kxtest::TempPath(L"chooser.dat");
    kxtest::WriteImage(chosen, 0x00000088, 32, 32);
    DWORD before = 0;
    for (int i = -1; i < count; ++i) {
        if (i == 0)
            before = SettledCounts().Handles;
        std::atomic<DWORD> threadId{0};
        const bool ran = workers.Run([&threadId] {
            threadId = GetCurrentThreadId();
            std::vector<wchar_t> file(MAX_PATH, L'\0');
            wcscpy(file.data(), L"*.dat");
            const wchar_t filter[] = L"Firmware(*.dat)\0*.dat\0\0";
            OPENFILENAMEW ofn{};
            ofn.lStructSize = sizeof(ofn);
            ofn.lpstrFilter = filter;
            ofn.lpstrFile = file.data();
            ofn.nMaxFile = MAX_PATH;
            ofn.Flags = OFN_HIDEREADONLY | OFN_EXPLORER | OFN_ENABLESIZING;
            GetOpenFileNameW(&ofn);
        });
        if (!ran || !kxtest::WaitFor([&] { return threadId != 0; }, 5000))
            return 0;
        // Shown once it has set itself up: a name typed in before would be overwritten.
        HWND chooser = nullptr;
        if (kxtest::WaitFor(
                [&] {
                    chooser = kxtest::FindTopWindow(nullptr, L"#32770", threadId);
                    return chooser && IsWindowVisible(chooser);
                },
                10000))
            kxtest::MainWindowHarness::ChooseFile(chooser, chosen);
        WaitForSingleObject(workers.Idle(), 10000);
    }
    const DWORD after = SettledCounts().Handles;
    DeleteFileW(chosen.c_str());
    return after > before ? static_cast<double>(after - before) / count : 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wstring(argv[1]) == L"--decoy")
        return RunDecoy(static_cast<DWORD>(wcstoul(argv[2], nullptr, 10)));
    unsigned long long runs = 100, seed = GetTickCount64(), only = 0, budget = 0, deadline = 3000;
    unsigned long long checkEvery = 25;
    bool replayOne = false, runsGiven = false;
    RunSettings settings;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        unsigned long long* target = arg == L"--runs"             ? &runs
                                     : arg == L"--seed"           ? &seed
                                     : arg == L"--run"            ? &only
                                     : arg == L"--budget-seconds" ? &budget
                                     : arg == L"--deadline-ms"    ? &deadline
                                     : arg == L"--check-every"    ? &checkEvery
                                                                  : nullptr;
        if (arg == L"--verbose") {
            settings.Verbose = true;
        } else if (!target || i + 1 >= argc || !ReadNumber(argv[++i], target)) {
            fwprintf(stderr, L"usage: KestrixFaultCampaign [--runs N] [--seed S] [--run K] "
                             L"[--budget-seconds T] [--deadline-ms D] [--check-every N] "
                             L"[--verbose]\n");
            return 2;
        }
        replayOne |= arg == L"--run";
        runsGiven |= arg == L"--runs";
    }
    settings.ReplyDeadlineMs = static_cast<DWORD>(deadline);
    // Kept for the process's life and never ended: a run that hangs leaves its worker on it,
    // and the campaign still reports and ends.
    settings.WorkerThread = new CWorkerThread;
    if (replayOne && !runsGiven)
        runs = 1;
    g_Campaign.Seed = seed;
    SetUnhandledExceptionFilter(OnCrash);
    std::set_terminate(OnTerminate);

    printf(
        "fault campaign: seed %llu, %s, reply deadline %llu ms (the tool's own is 15000)\n", seed,
        (std::to_string(runs) + (replayOne ? " replays of run " + std::to_string(only) : " runs"))
            .c_str(),
        deadline);
    const ULONGLONG started = GetTickCount64();
    // The decoy's windows receive nothing from the tool: checked after every run.
    CDecoy decoy;
    if (!decoy.Start()) {
        printf("the decoy process did not start\n");
        return 1;
    }
    long decoyCloses = 0;
    const auto decoyReceived = [&](std::vector<std::string>& broken) {
        const long closes = decoy.Closes();
        if (closes < 0) {
            broken.push_back("the decoy process has gone");
        } else if (closes != decoyCloses) {
            broken.push_back("another program's window (the decoy's) received " +
                             std::to_string(closes - decoyCloses) + " close request(s)");
            decoyCloses = closes;
        }
    };
    {
        for (const FaultPlan& plan : WarmUpPlans()) {
            RunResult warm = RunOnce(plan, settings);
            decoyReceived(warm.Broken);
            if (!warm.Broken.empty() || warm.Outcome == RunOutcome::Hang) {
                printf("the warm-up run broke (%s): %s\n", OutcomeName(warm.Outcome),
                       plan.Describe().c_str());
                for (const std::string& what : warm.Broken)
                    printf("    %s\n", what.c_str());
                return 1;
            }
        }
    }
    bool anyBroken = false;
    kxtest::ProcessCounts baseline, checkpoint;
    std::map<std::uintptr_t, std::wstring> baselineHandles;
    std::vector<FaultPlan> sinceCheck; // the runs since the last check
    PlatformKeeps keeps;
    keeps.GdiPerPrompt = kxtest::PlatformGdiObjectsPerDialog(IDD_PROMPT, nullptr, 4);
    keeps.HandlesPerChooser = PlatformHandlesPerChooser(*settings.WorkerThread, 6);
    long long promptsSinceCheck = 0, choosersSinceCheck = 0;
    printf("resources checked every %d runs, after warm-up runs that take every path once; "
           "Wine keeps %lu GDI object(s) per prompt and %.1f handle(s) per file chooser, "
           "allowed for\n",
           static_cast<int>(checkEvery), keeps.GdiPerPrompt, keeps.HandlesPerChooser);

    for (unsigned long long i = 0; i < runs; ++i) {
        const unsigned long long run = replayOne ? only : i;
        if (budget && GetTickCount64() - started > budget * 1000) {
            printf("time budget of %llu s spent after %llu runs\n", budget, i);
            break;
        }
        g_Campaign.Current = static_cast<long long>(run);
        const FaultPlan plan = DrawFaultPlan(seed, run);
        if (settings.Verbose)
            printf("run %llu: %s\n", run, plan.Describe().c_str());
        fflush(stdout);
        RunResult result = RunOnce(plan, settings);

        // What the process holds comes back to where it was: checked every `checkEvery`
        // runs. Counts that grew are either a cache the platform filled once, on a path
        // first taken since the last check, or a leak; the same runs made again tell them
        // apart: a cache does not grow a second time.
        const long long done = static_cast<long long>(i) + 1;
        sinceCheck.push_back(plan);
        promptsSinceCheck += result.Prompts;
        choosersSinceCheck += result.Choosers;
        if (done == 1) {
            baseline = checkpoint = SettledCounts();
            baselineHandles = kxtest::HandleKinds();
            sinceCheck.clear();
            promptsSinceCheck = choosersSinceCheck = 0;
        } else if (done % static_cast<long long>(checkEvery) == 0) {
            kxtest::ProcessCounts now = SettledCounts();
            if (Grew(now, checkpoint, keeps, promptsSinceCheck, choosersSinceCheck)) {
                const std::string grew = Describe(checkpoint) + " -> " + Describe(now) +
                                         NewHandles(baselineHandles);
                long long prompts = 0, choosers = 0;
                for (const FaultPlan& again : sinceCheck) {
                    const RunResult replay = RunOnce(again, settings);
                    prompts += replay.Prompts;
                    choosers += replay.Choosers;
                    if (replay.Outcome == RunOutcome::Hang)
                        result.Broken.push_back("a run made again to check the resources hung");
                }
                const kxtest::ProcessCounts after = SettledCounts();
                if (Grew(after, now, keeps, prompts, choosers))
                    result.Broken.push_back("resources grow: " + grew + ", and again to " +
                                            Describe(after) + " when the last " +
                                            std::to_string(sinceCheck.size()) +
                                            " runs were made again");
                else
                    printf("    (runs %lld to %lld: %s once, not again when made again: a cache "
                           "of the platform's)\n",
                           done - static_cast<long long>(sinceCheck.size()) + 1, done,
                           grew.c_str());
                now = after;
            }
            checkpoint = now;
            sinceCheck.clear();
            promptsSinceCheck = choosersSinceCheck = 0;
        }

        decoyReceived(result.Broken);
        Count(plan, result.Outcome, !result.Broken.empty());
        if (!result.Broken.empty() || result.Outcome == RunOutcome::Hang) {
            anyBroken = true;
            printf("run %llu BROKE (%s): %s\n", run, OutcomeName(result.Outcome),
                   plan.Describe().c_str());
            for (const std::string& what : result.Broken)
                printf("    %s\n", what.c_str());
            Replay(static_cast<long long>(run));
            fflush(stdout);
        }
        if (result.Outcome == RunOutcome::Hang) {
            PrintTable();
            ExitProcess(4); // the hung run's threads cannot be trusted to end
        }
    }
    {
        std::vector<std::string> broken;
        Sleep(500); // a request posted as the last run ended has arrived by now
        decoyReceived(broken);
        for (const std::string& what : broken) {
            anyBroken = true;
            printf("after the last run: %s\n", what.c_str());
        }
    }
    PrintTable();
    printf("resources after the first run: %s; at the end: %s\n", Describe(baseline).c_str(),
           Describe(SettledCounts()).c_str());
    printf("the decoy showed %ld windows on as many threads of its own\n", decoy.WindowsShown());
    printf("%s in %.0f s\n", anyBroken ? "BROKEN INVARIANTS" : "no invariant broke",
           static_cast<double>(GetTickCount64() - started) / 1000.0);
    return anyBroken ? 1 : 0;
}
