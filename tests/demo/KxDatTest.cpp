// kxdat, run as a person runs it: images made to order and what it shows about them,
// and the committed samples.
#include "DemoTestSupport.h"
#include "sim/WholeFile.h"

#include <gtest/gtest.h>

namespace {

using Args = std::vector<std::wstring>;

Bytes Create(const std::wstring& path, Args args) {
    args.insert(args.begin(), {L"create", path});
    const RunResult run = RunTool(L"kxdat.exe", args);
    EXPECT_EQ(0u, run.ExitCode) << run.Err;
    Bytes file;
    EXPECT_EQ(0u, ReadWholeFile(path, &file));
    return file;
}

TEST(KxDat, ShowsWhatTheUpdaterMakesOfWhatItCreated) {
    const struct {
        Args create;
        DWORD exitCode;
        std::vector<std::string> lines;
    } cases[] = {
        {{L"--version", L"0x00000088", L"--length", L"64", L"--word1", L"0x11223344"},
         0,
         {"Size:               92 bytes\n", "VersionWord:        0x00000088 (V1.36)\n",
          "Word1:              0x11223344\n", "DataLength:         64 (0x00000040)\n",
          "The updater:        accepts it\n",
          "Confirmation:       Update firmware version: V1.36\n"}},
        {{L"--version", L"0x00030086", L"--length", L"64", L"--word3", L"7"},
         0,
         {"Word3:              0x00000007\n",
          "Confirmation:       Update firmware version: V1.34  Beta3\n"}},
        {{L"--version", L"0x00000088", L"--length", L"64", L"--truncate", L"40"},
         1,
         {"Size:               68 bytes\n", "DataLength:         64 (0x00000040)\n",
          "The updater:        refuses it: it holds 40 of the 64 data bytes its header "
          "announces\n"}},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines[0]);
        Create(dir.Path(L"x.dat"), c.create);
        const RunResult run = RunTool(L"kxdat.exe", {L"show", dir.Path(L"x.dat")});
        EXPECT_EQ(c.exitCode, run.ExitCode);
        for (const std::string& line : c.lines)
            EXPECT_NE(std::string::npos, run.Out.find(line)) << run.Out;
        EXPECT_EQ(c.exitCode == 0, run.Out.find("Confirmation:") != std::string::npos);
    }
    EXPECT_EQ(2u, RunTool(L"kxdat.exe", {L"create", dir.Path(L"y.dat"), L"--length", L"64"})
                      .ExitCode); // no version
}

// Made again with the settings samples/README.md gives, byte for byte as committed.
TEST(KxDat, SamplesAreWhatTheirCommandsMake) {
    const struct {
        const wchar_t* file;
        Args args;
    } samples[] = {
        {L"kestrix-release-v1.36.dat",
         {L"--version", L"0x00000088", L"--length", L"65536", L"--seed", L"1"}},
        {L"kestrix-beta-v1.37-b2.dat",
         {L"--version", L"0x00020089", L"--length", L"65536", L"--seed", L"2"}},
        {L"kestrix-broken-v1.36-short.dat",
         {L"--version", L"0x00000088", L"--length", L"65536", L"--seed", L"3", L"--truncate",
          L"1000"}},
    };
    TempDir dir;
    for (const auto& sample : samples) {
        Bytes committed;
        ASSERT_EQ(0u,
                  ReadWholeFile((SourceDir() / L"samples" / sample.file).wstring(), &committed));
        EXPECT_TRUE(Create(dir.Path(sample.file), sample.args) == committed);
    }
}

} // namespace
