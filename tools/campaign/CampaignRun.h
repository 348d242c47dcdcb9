// One run of the fault campaign: a whole update through the real window, workers and
// session against the simulated receiver, with the run's faults, driven as a user
// would, and the invariants checked at its end.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "FaultPlan.h"
#include "ui/WorkerThread.h"

struct RunSettings {
    DWORD ReplyDeadlineMs = 3000; // the session's, shorter than the tool's to keep runs short
    bool Verbose = false;
    // The thread every run's link workers run on, as one window's do for its life: the
    // platform's chooser, opened on a new thread each run, would stop opening after some
    // sixty runs.
    CWorkerThread* WorkerThread = nullptr;
};

enum class RunOutcome { Success, Failure, Abort, Hang };
const char* OutcomeName(RunOutcome outcome);

struct RunResult {
    RunOutcome Outcome = RunOutcome::Hang;
    std::vector<std::string> Broken; // the invariants this run broke, each said in a line
    double Seconds = 0;
    int Prompts = 0;  // prompts shown
    int Choosers = 0; // the platform's file chooser opened
};

RunResult RunOnce(const FaultPlan& plan, const RunSettings& settings);
