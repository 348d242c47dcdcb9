// The simulated-receiver build as a person starts it: a bad option is refused with the
// usage and status 2 before any window opens.
#include <gtest/gtest.h>

#include "DemoTestSupport.h"

namespace {

TEST(SimBuild, BadOptionPrintsTheUsageAndEndsWithStatusTwo) {
    for (const std::vector<std::wstring>& args :
         {std::vector<std::wstring>{L"--bogus"}, {L"--mode", L"3"}, {L"--fail-at", L"2:0x16"}}) {
        const RunResult run = RunTool(L"KestrixUpdaterSim.exe", args);
        EXPECT_EQ(run.ExitCode, 2u) << run.Err;
        EXPECT_NE(run.Err.find("--received PATH"), std::string::npos) << run.Err;
    }
}

} // namespace
