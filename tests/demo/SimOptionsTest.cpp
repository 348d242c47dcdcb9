// The simulated-receiver build's command line.
#include "sim/SimOptions.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using Args = std::vector<std::wstring>;

bool Parse(Args args, SimOptions* options, std::wstring* error) {
    args.insert(args.begin(), L"KestrixUpdaterSim.exe");
    std::vector<wchar_t*> argv;
    for (std::wstring& arg : args)
        argv.push_back(arg.data());
    return ParseSimOptions(static_cast<int>(argv.size()), argv.data(), options, error);
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

// The fields that differ from the defaults, as words.
std::string Changes(const SimOptions& o) {
    const SimOptions d;
    std::ostringstream s;
    s << std::hex << std::showbase;
    if (o.Absent != d.Absent)
        s << " absent";
    if (o.Mode != d.Mode)
        s << " mode=" << o.Mode;
    if (o.Version != d.Version)
        s << " version=" << o.Version;
    if (o.FailAt != d.FailAt || o.FailCode != d.FailCode)
        s << " fail-at=" << o.FailAt << ":" << int{o.FailCode};
    if (o.UnplugAt != d.UnplugAt)
        s << " unplug-at=" << o.UnplugAt;
    if (o.AckFinish != d.AckFinish)
        s << " ack-finish";
    if (o.Silent != d.Silent)
        s << " silent";
    if (o.LatencyMs != d.LatencyMs)
        s << " latency=" << o.LatencyMs;
    if (o.ReceivedPath != d.ReceivedPath)
        s << " received=" << Narrow(o.ReceivedPath);
    return s.str();
}

TEST(SimOptions, EveryOptionInDecimalAndHex) {
    const struct {
        Args args;
        const char* changes; // numbers in hex
    } cases[] = {
        {{}, ""},
        {{L"--absent"}, " absent"},
        {{L"--mode", L"2"}, " mode=0x2"},
        {{L"--version", L"0x00020089"}, " version=0x20089"},
        {{L"--version", L"4294967295"}, " version=0xffffffff"},
        {{L"--fail-at", L"3"}, " fail-at=0x3:0x15"},
        {{L"--fail-at", L"0x10:0x18"}, " fail-at=0x10:0x18"},
        {{L"--fail-at", L"1:24"}, " fail-at=0x1:0x18"},
        {{L"--unplug-at", L"0X40"}, " unplug-at=0x40"},
        {{L"--ack-finish"}, " ack-finish"},
        {{L"--silent"}, " silent"},
        {{L"--latency-ms", L"60000"}, " latency=0xea60"},
        {{L"--received", L"C:\\out\\got.dat"}, " received=C:\\out\\got.dat"},
        {{L"--received", L"got.dat", L"--absent", L"--mode", L"2", L"--latency-ms", L"0x10",
          L"--fail-at", L"7:0x18", L"--silent", L"--unplug-at", L"5", L"--ack-finish", L"--version",
          L"137"},
         " absent mode=0x2 version=0x89 fail-at=0x7:0x18 unplug-at=0x5 ack-finish silent "
         "latency=0x10 received=got.dat"},
    };
    for (const auto& c : cases) {
        SimOptions got;
        got.Mode = 99; // every field is written
        std::wstring error;
        EXPECT_TRUE(Parse(c.args, &got, &error)) << Narrow(error);
        EXPECT_EQ(c.changes, Changes(got));
    }
}

TEST(SimOptions, RejectsWithAReason) {
    const struct {
        Args args;
        const wchar_t* reason;
    } cases[] = {
        {{L"--bogus"}, L"unknown option \"--bogus\""},
        {{L"--mode=2"}, L"unknown option"},
        {{L"extra"}, L"unknown option \"extra\""},
        {{L"--mode"}, L"--mode needs a value"},
        {{L"--mode", L"3"}, L"not 1 or 2"},
        {{L"--version", L"0x"}, L"not a number"},
        {{L"--version", L"12abc"}, L"not a number"},
        {{L"--version", L"-1"}, L"not a number"},
        {{L"--version", L"0x100000000"}, L"out of range"},
        {{L"--fail-at", L"0"}, L"out of range"},
        {{L"--fail-at", L"3:0x16"}, L"neither 0x15 nor 0x18"},
        {{L"--fail-at", L"3:"}, L"not a number"},
        {{L"--unplug-at", L"0x80000000"}, L"0x80000000 is out of range (1 to 0x7FFFFFFF)"},
        {{L"--latency-ms", L"60001"}, L"60001 is out of range (0 to 60000)"},
        {{L"--received", L"--silent"}, L"--received needs a value"},
        {{L"--received", L""}, L"path is empty"},
        {{L"--mode", L"1", L"--mode", L"2"}, L"--mode is given twice"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.args[0]) + " " + (c.args.size() > 1 ? Narrow(c.args[1]) : ""));
        SimOptions options;
        options.Version = 0x1234;
        std::wstring error;
        EXPECT_FALSE(Parse(c.args, &options, &error));
        EXPECT_NE(std::wstring::npos, error.find(c.reason)) << Narrow(error);
        EXPECT_EQ(0x1234u, options.Version); // left as it was
    }
}

} // namespace
