// The update history: the record of each update, field by field, through the real window
// against the simulated receiver; a history that cannot be written; two processes
// adding records at once; the size bound; the hashing.
#include "support/MainWindowHarness.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "KestrixVersion.h"
#include "res/resource.h"
#include "ui/UpdateDlg.h"
#include "update/UpdateHistory.h"

namespace {

using kxtest::MainWindowHarness;
using Record = std::map<std::string, std::string>;

const char kStart[] = "Kestrix OV Tools update at ";

std::string ReadFileText(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The records of a history file, each as its fields ("when" for the time in its head).
std::vector<Record> Records(const std::string& text) {
    std::vector<Record> records;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.rfind(kStart, 0) == 0) {
            records.push_back({{"when", line.substr(sizeof(kStart) - 1)}});
        } else if (line.size() > 2 && !records.empty()) {
            const std::size_t colon = line.find(':');
            std::size_t value = line.find_first_not_of(' ', colon + 1);
            records.back()[line.substr(2, colon - 2)] =
                value == std::string::npos ? "" : line.substr(value);
        }
    }
    return records;
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text)
        out += static_cast<char>(c);
    return out;
}

class HistoryTest : public testing::Test {
protected:
    void SetUp() override { path = folder.Path(L"history.log"); }

    // The records of updates that have ended (each confirmed update also has the record
    // written at its confirmation, before them).
    std::vector<Record> Written(std::size_t atLeast) {
        std::vector<Record> records;
        kxtest::WaitFor(
            [&] {
                records.clear();
                for (Record& r : Records(ReadFileText(path)))
                    if (r["Outcome"].rfind("started:", 0) != 0)
                        records.push_back(r);
                return records.size() >= atLeast;
            },
            10000);
        return records;
    }

    // Presses Update, chooses the image (or closes the chooser) and confirms it.
    static void Update(MainWindowHarness& h, const std::wstring& image) {
        h.ClickUpdate();
        HWND chooser = h.WaitForChooser();
        ASSERT_NE(chooser, nullptr);
        if (image.empty()) {
            MainWindowHarness::CancelChooser(chooser);
            return;
        }
        MainWindowHarness::ChooseFile(chooser, image);
        EXPECT_EQ(h.AnswerPrompt(IDC_BTN_OK), L"Update firmware version: V1.36");
    }

    TempDir folder;
    std::wstring path;
};

TEST_F(HistoryTest, EachUpdateAddsARecordOfWhatHappened) {
    const std::wstring image = folder.Path(L"release.dat");
    const auto bytes = kxtest::WriteImage(image, 0x88, 4000, 4000);
    MainWindowHarness h;
    h.historyPath = path;
    h.sim.Plug(1);
    ASSERT_NE(h.Start(), nullptr);
    ASSERT_TRUE(kxtest::WaitFor([&] { return h.VersionText() == L"V1.34"; }));

    // A success: written once the receiver has come back with its new version.
    Update(h, image);
    EXPECT_EQ(h.AnswerPrompt(IDC_BTN_OK, 10000), L"Firmware upgraded successful!");
    auto records = Written(1);
    ASSERT_EQ(records.size(), 1u);
    Record r = records[0];
    EXPECT_TRUE(
        std::regex_match(r["when"], std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)")))
        << r["when"];
    EXPECT_EQ(r["Tool version"], KX_VERSION_TEXT);
    EXPECT_EQ(r["Receiver"], "VID 0x1209, PID 0x0001, device mode 1");
    EXPECT_EQ(r["Firmware before"], "V1.34");
    EXPECT_EQ(r["Image"], Narrow(image));
    EXPECT_EQ(r["Confirmed as"], "Update firmware version: V1.36");
    EXPECT_EQ(r["DataLength"], "4000");
    EXPECT_EQ(r["Bytes sent"], "4000");
    // Header and data exactly as the file holds them: the file's own hash.
    EXPECT_EQ(r["Image SHA-256"],
              Narrow(Sha256Hex({{bytes.data(), bytes.size()}})) + " (header and data sent)");
    EXPECT_EQ(r["Outcome"], "success");
    EXPECT_TRUE(std::regex_match(r["Duration"], std::regex(R"(\d+\.\d s)"))) << r["Duration"];
    EXPECT_EQ(r["Firmware after"], "V1.36");
    // Before it, the record written at the confirmation: the same update, what was about
    // to be sent, and no outcome yet.
    const std::vector<Record> all = Records(ReadFileText(path));
    ASSERT_EQ(all.size(), 2u);
    Record confirmed = all[0];
    EXPECT_FALSE(confirmed["Update ID"].empty());
    EXPECT_EQ(confirmed["Update ID"], r["Update ID"]);
    EXPECT_EQ(confirmed["Image"], Narrow(image));
    EXPECT_EQ(confirmed["Image version"], "V1.36");
    EXPECT_EQ(confirmed["Image SHA-256"],
              Narrow(Sha256Hex({{bytes.data(), bytes.size()}})) + " (header and data to send)");
    EXPECT_EQ(confirmed["Outcome"],
              "started: the image is being sent (a record of how it ended follows)");
    ASSERT_TRUE(kxtest::WaitFor([&] { return !h.Dialog()->IsWorkerRunning(); }));

    // A failure code.
    h.sim.FailAtDataRequest(3, 0x18);
    Update(h, image);
    EXPECT_EQ(h.AnswerPrompt(IDC_BTN_OK), L"Firmware update failure");
    records = Written(2);
    ASSERT_EQ(records.size(), 2u);
    r = records[1];
    EXPECT_EQ(r["Firmware before"], "V1.36");
    EXPECT_EQ(r["Outcome"], "failure code 0x18 from the receiver after block 2 of 125");
    EXPECT_EQ(r["Bytes sent"], "64");
    EXPECT_EQ(r["Image SHA-256"],
              Narrow(Sha256Hex({{bytes.data(), 28 + 64}})) + " (header and data sent)");
    EXPECT_EQ(r.count("Firmware after"), 0u);
    h.sim.FailAtDataRequest(0, 0x15);
    ASSERT_TRUE(kxtest::WaitFor([&] { return !h.Dialog()->IsWorkerRunning(); }));

    // The user closes the chooser.
    Update(h, L"");
    records = Written(3);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2]["Outcome"], "declined: the file chooser was closed without a file");
    EXPECT_EQ(records[2].count("Image"), 0u);
    ASSERT_TRUE(kxtest::WaitFor([&] { return !h.Dialog()->IsWorkerRunning(); }));

    // The receiver leaves in the middle.
    h.sim.UnplugAfterBlocks(5);
    Update(h, image);
    EXPECT_EQ(h.AnswerPrompt(IDC_BTN_OK), L"Firmware update failure");
    records = Written(4);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[3]["Outcome"], "the receiver was removed after block 5 of 125");
    EXPECT_EQ(records[3]["Bytes sent"], "160");
}

TEST_F(HistoryTest, AHistoryThatCannotBeWrittenChangesNothing) {
    // Another copy of the tool holds the history for longer than this one waits for it,
    // so this update's record is left out, though its file could be made and written.
    struct HeldLock {
        HANDLE Mutex = CreateMutexW(nullptr, TRUE, kHistoryLockName);
        void Release() {
            if (Mutex)
                ReleaseMutex(Mutex), CloseHandle(Mutex);
            Mutex = nullptr;
        }
        ~HeldLock() { Release(); }
    } other;
    ASSERT_NE(other.Mutex, nullptr);
    const std::wstring image = folder.Path(L"release.dat");
    const auto bytes = kxtest::WriteImage(image, 0x88, 2048, 2048);

    MainWindowHarness h;
    h.historyPath = path;
    h.sim.Plug(1);
    ASSERT_NE(h.Start(), nullptr);
    Update(h, image);
    EXPECT_EQ(h.AnswerPrompt(IDC_BTN_OK, 10000), L"Firmware upgraded successful!");
    EXPECT_EQ(h.sim.ReceivedImage(), bytes);
    EXPECT_TRUE(kxtest::WaitFor([&] { return h.VersionText() == L"V1.36"; }));

    // The record is due now. For as long as the tool waits for the history and a while
    // after, nothing is shown and nothing written; then the window answers as before.
    HWND prompt = nullptr;
    const auto historyExists = [&] {
        return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    };
    EXPECT_FALSE(kxtest::WaitFor(
        [&] { return (prompt = h.CurrentPrompt()) != nullptr || historyExists(); }, 4000))
        << (prompt ? "a prompt was shown" : "the history was written");
    if (prompt) // let the window go on
        h.AnswerPrompt(IDC_BTN_OK);
    DWORD_PTR answer = 0;
    EXPECT_NE(SendMessageTimeoutW(h.Window(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &answer), 0);
    EXPECT_TRUE(h.UpdateButtonEnabled());

    // The record is not kept for later: once the lock is free, closing writes nothing.
    other.Release();
    h.Close();
    EXPECT_FALSE(historyExists());
}

// A record as another copy of the tool would add it, numbered within its writer.
std::string NumberedRecord(const std::string& writer, int number, std::size_t padding = 0) {
    UpdateRecord record;
    GetSystemTimeAsFileTime(&record.Started);
    record.ToolVersion = KX_VERSION_TEXT_W;
    record.Outcome = std::wstring(writer.begin(), writer.end()) + L" " + std::to_wstring(number);
    record.ImagePath = L"C:\\" + std::wstring(padding, L'p') + L".dat";
    return FormatUpdateRecord(record);
}

// Run by the test below in two processes at once (KX_HISTORY_WRITER is "path|name|count").
TEST(HistoryWriter, AddsItsRecords) {
    const char* job = std::getenv("KX_HISTORY_WRITER");
    if (!job)
        GTEST_SKIP() << "run by HistoryFile.TwoProcessesAddingAtOnceNeverInterleave";
    std::string text = job, file = text.substr(0, text.find('|'));
    text = text.substr(file.size() + 1);
    const std::string name = text.substr(0, text.find('|'));
    const int count = std::atoi(text.substr(name.size() + 1).c_str());
    // Both writers start together, when the test opens the gate.
    HANDLE gate = OpenEventW(SYNCHRONIZE, FALSE, L"Local\\KestrixHistoryTestGate");
    ASSERT_NE(gate, nullptr);
    ASSERT_EQ(WaitForSingleObject(gate, 30000), WAIT_OBJECT_0);
    CloseHandle(gate);
    for (int i = 0; i < count; ++i)
        ASSERT_TRUE(
            AppendUpdateRecord(NumberedRecord(name, i), std::wstring(file.begin(), file.end())));
}

TEST(HistoryFile, TwoProcessesAddingAtOnceNeverInterleave) {
    TempDir folder;
    const std::wstring path = folder.Path(L"history.log");
    constexpr int kEach = 1000;
    HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, L"Local\\KestrixHistoryTestGate");
    ASSERT_NE(gate, nullptr);
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::vector<PROCESS_INFORMATION> writers;
    for (const char* name : {"first", "second"}) {
        const std::string job = Narrow(path) + "|" + name + "|" + std::to_string(kEach);
        SetEnvironmentVariableA("KX_HISTORY_WRITER", job.c_str());
        std::wstring line = L"\"" + std::wstring(self) + L"\" --gtest_filter=HistoryWriter.*";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        ASSERT_TRUE(CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   &startup, &info));
        writers.push_back(info);
    }
    SetEnvironmentVariableA("KX_HISTORY_WRITER", nullptr);
    Sleep(500); // both waiting at the gate
    SetEvent(gate);
    for (const PROCESS_INFORMATION& writer : writers) {
        EXPECT_EQ(WaitForSingleObject(writer.hProcess, 60000), WAIT_OBJECT_0);
        DWORD code = 1;
        GetExitCodeProcess(writer.hProcess, &code);
        EXPECT_EQ(code, 0u);
        CloseHandle(writer.hProcess);
        CloseHandle(writer.hThread);
    }
    CloseHandle(gate);
    // Every record whole and in its writer's order: nothing lost, nothing mixed.
    std::map<std::string, int> next;
    const auto records = Records(ReadFileText(path));
    EXPECT_EQ(records.size(), 2u * kEach);
    for (auto record : records) {
        const std::string outcome = record["Outcome"];
        const std::string writer = outcome.substr(0, outcome.find(' '));
        EXPECT_EQ(outcome, writer + " " + std::to_string(next[writer]++));
        EXPECT_EQ(record["Tool version"], KX_VERSION_TEXT);
        EXPECT_EQ(record.size(), 7u) << outcome; // when, version, receiver, firmware before,
                                                 // image, outcome, duration
    }
}

TEST(HistoryFile, KeepsTheNewestMebibyteAndDropsWholeRecords) {
    TempDir folder;
    const std::wstring path = folder.Path(L"history.log");
    const std::size_t recordSize = NumberedRecord("writer", 0, 20000).size();
    const int count = static_cast<int>(2 * kHistoryLimit / recordSize);
    for (int i = 0; i < count; ++i)
        ASSERT_TRUE(AppendUpdateRecord(NumberedRecord("writer", i, 20000), path));
    const std::string text = ReadFileText(path);
    EXPECT_LE(text.size(), kHistoryLimit);
    EXPECT_GT(text.size(), kHistoryLimit - 2 * recordSize);
    EXPECT_EQ(text.rfind(kStart, 0), 0u); // begins with a whole record
    const auto records = Records(text);
    ASSERT_FALSE(records.empty());
    // The newest, one after the other, up to the last.
    const int first = count - static_cast<int>(records.size());
    for (std::size_t i = 0; i < records.size(); ++i)
        EXPECT_EQ(records[i].at("Outcome"),
                  "writer " + std::to_string(first + static_cast<int>(i)));
}

TEST(Sha256, KnownDigests) {
    EXPECT_EQ(Sha256Hex({}), L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    const char abc[] = "abc";
    EXPECT_EQ(Sha256Hex({{abc, 3}}),
              L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256Hex({{abc, 1}, {abc + 1, 2}}), Sha256Hex({{abc, 3}}));
}

} // namespace
