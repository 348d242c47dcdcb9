// Checks of the virtual receiver's parts that need no uhid: the log that never holds up
// its caller, the audit of output reports, and the control file's commands and replies.
// realstack.sh runs it on the host before it boots the guest; it exits 0 when all pass.
#include "sim/uhid/ReceiverControl.h"
#include "sim/uhid/ReceiverLog.h"
#include "sim/uhid/ReportAudit.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

int g_nFailed = 0;

void Check(bool ok, const std::string& what) {
    if (!ok) {
        std::fprintf(stderr, "receiver parts: FAILED: %s\n", what.c_str());
        ++g_nFailed;
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The log goes to a pipe that nobody reads for a second: the lines logged meanwhile are
// far more than the pipe holds, yet logging them takes no time. Then every line comes
// out, in order.
void LogNeverWaitsForItsFile() {
    int ends[2];
    Check(pipe(ends) == 0, "no pipe");
    std::FILE* out = fdopen(ends[1], "w");
    std::string read;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        char buffer[4096];
        for (ssize_t got; (got = ::read(ends[0], buffer, sizeof(buffer))) > 0;) {
            read.append(buffer, static_cast<std::size_t>(got));
        }
    });
    constexpr int kLines = 5000; // some 400 KB, the pipe holds 64 KiB
    {
        ReceiverLog log(out);
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kLines; ++i) {
            log.Line("line " + std::to_string(i) + std::string(60, '.'));
        }
        const auto took = std::chrono::steady_clock::now() - start;
        Check(took < std::chrono::milliseconds(500), "logging waited for the log's file");
    }
    std::fclose(out);
    reader.join();
    close(ends[0]);
    std::istringstream lines(read);
    std::string line;
    std::getline(lines, line);
    Check(line.find("log times are seconds since Unix time ") != std::string::npos,
          "the log does not start with its clock: " + line);
    int next = 0;
    for (; std::getline(lines, line); ++next) {
        Check(line.find("] receiver: line " + std::to_string(next) + ".") != std::string::npos,
              "line " + std::to_string(next) + " is not where it belongs: " + line);
    }
    Check(next == kLines, "lines lost: " + std::to_string(kLines - next));
}

void AuditHoldsReportsToTheirMode() {
    SimFirmware firmware;
    ReportAudit audit;
    std::vector<std::uint8_t> mode1(64, 0), long1(65, 0), mode2(65, 0);
    mode1[0] = long1[0] = 0x81;
    firmware.Boot(1);
    Check(audit.Note(firmware, mode1.data(), mode1.size()), "mode 1 refused its own report");
    Check(audit.FirstOfItsKind(), "the first report was not the first of its kind");
    Check(audit.Note(firmware, mode1.data(), mode1.size()) && !audit.FirstOfItsKind(),
          "a second report counted as the first of its kind");
    Check(!audit.Note(firmware, long1.data(), long1.size()), "mode 1 took 65 bytes");
    Check(!audit.Note(firmware, mode2.data(), 64), "mode 1 took report number 0x00");
    Check(audit.PluggedSummary() == "1 of 64 bytes with report number 0x00, "
                                    "2 of 64 bytes with report number 0x81, "
                                    "1 of 65 bytes with report number 0x81",
          "summary: " + audit.PluggedSummary());
    firmware.Boot(2);
    Check(audit.Note(firmware, mode2.data(), mode2.size()), "mode 2 refused its own report");
    Check(!audit.Note(firmware, mode1.data(), mode1.size()), "mode 2 took a mode-1 report");
    const std::string mismatches = audit.TakeMismatches();
    Check(mismatches == "1 of 64 bytes with report number 0x00 in mode 1, "
                        "1 of 64 bytes with report number 0x81 in mode 2, "
                        "1 of 65 bytes with report number 0x81 in mode 1",
          "mismatches: " + mismatches);
    Check(audit.TakeMismatches().empty(), "mismatches told twice");
    audit.Plugged();
    Check(audit.PluggedSummary() == "none", "counts kept across a plug");
}

void ControlAnswersEachCommand() {
    char folder[] = "/tmp/kx-control-XXXXXX";
    Check(mkdtemp(folder) != nullptr, "no folder");
    const std::string path = std::string(folder) + "/control";
    ReceiverControl control(path);
    std::string command;
    Check(!control.Take(&command), "a command without a file");
    std::ofstream(path) << "restart --mode 2\n";
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    Check(control.Take(&command) && command == "restart --mode 2", "command: " + command);
    Check(std::ifstream(path).fail(), "the command file stays");
    Check(control.Answer(false, "not an option here: --x"), "no reply written");
    Check(ReadFile(path + ".reply") == "failed not an option here: --x\n", "reply of a failure");
    std::ofstream(path) << "audit\n";
    Check(!control.Take(&command), "looked again within 100 ms");
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    Check(control.Take(&command) && control.Answer(true, ""), "second command");
    Check(ReadFile(path + ".reply") == "ok\n", "reply of a command done");
    std::remove((path + ".reply").c_str());
    rmdir(folder);
}

} // namespace

int main() {
    LogNeverWaitsForItsFile();
    AuditHoldsReportsToTheirMode();
    ControlAnswersEachCommand();
    std::printf("receiver parts: %s\n", g_nFailed ? "FAILED" : "all passed");
    return g_nFailed ? 1 : 0;
}
