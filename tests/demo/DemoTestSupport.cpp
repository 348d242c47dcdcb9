#include "DemoTestSupport.h"

#include "support/ReceiverFrames.h"

#include "support/WinTest.h"

#include <algorithm>
#include <cstring>

namespace {

std::filesystem::path ExeDir() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::filesystem::path(path).parent_path();
}

// Everything a pipe holds now, without waiting.
void Drain(HANDLE pipe, std::string* text) {
    DWORD available = 0;
    char buffer[4096];
    DWORD read = 0;
    while (::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
           ::ReadFile(pipe, buffer, std::min<DWORD>(available, sizeof(buffer)), &read, nullptr))
        text->append(buffer, read);
}

} // namespace

StdoutCapture::StdoutCapture() : m_hPrevious(::GetStdHandle(STD_OUTPUT_HANDLE)) {
    ::CreatePipe(m_Read.Put(), m_Write.Put(), nullptr, 1 << 16);
    ::SetStdHandle(STD_OUTPUT_HANDLE, m_Write.Get());
}

StdoutCapture::~StdoutCapture() {
    ::SetStdHandle(STD_OUTPUT_HANDLE, m_hPrevious);
}

std::string StdoutCapture::WaitForLines(int lines, DWORD timeoutMs) {
    kxtest::WaitFor(
        [&] {
            Drain(m_Read.Get(), &m_Text);
            return std::count(m_Text.begin(), m_Text.end(), '\n') >= lines;
        },
        timeoutMs);
    return m_Text;
}

RunResult RunTool(const wchar_t* exe, const std::vector<std::wstring>& args) {
    RunResult result;
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    UniqueKernelHandle outRead, outWrite, errRead, errWrite;
    ::CreatePipe(outRead.Put(), outWrite.Put(), &inherit, 1 << 16);
    ::CreatePipe(errRead.Put(), errWrite.Put(), &inherit, 1 << 16);
    const std::wstring program = (ExeDir().parent_path() / L"bin" / exe).wstring();
    std::wstring line = L"\"" + program + L"\"";
    for (const std::wstring& arg : args)
        line += L" \"" + arg + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = outWrite.Get();
    startup.hStdError = errWrite.Get();
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                          nullptr, nullptr, &startup, &info))
        return result;
    UniqueKernelHandle process(info.hProcess), thread(info.hThread);
    // What it prints fits the pipes, so they can be read once it has ended.
    ::WaitForSingleObject(process.Get(), 10000);
    ::GetExitCodeProcess(process.Get(), &result.ExitCode);
    Drain(outRead.Get(), &result.Out);
    Drain(errRead.Get(), &result.Err);
    return result;
}

std::filesystem::path SourceDir() {
    return ExeDir().parent_path().parent_path();
}

Bytes SmallImage() {
    Bytes file = {0x87, 0x00, 0x03, 0x00, 0x01, 0x02, 0x03, 0x04,
                  100,  0,    0,    0,    0x0A, 0x0B, 0x0C, 0x0D};
    for (int i = 0; i < 12 + 128; ++i)
        file.push_back(static_cast<std::uint8_t>(i * 7 + 1));
    return file;
}

Bytes DemoLinkTest::Request(std::uint32_t offset) {
    return kxtest::DataRequestFrame(offset);
}

Bytes DemoLinkTest::SendImage(const Bytes& file) {
    SendShortCommand(hid, CMD_START_UPDATE, 0);
    EXPECT_EQ(Bytes({0x00, 0x19, 0x01, 0x00, 0x00}), ReadFrame());
    FirmwareHeader header;
    std::memcpy(&header, file.data(), sizeof(header));
    SendHeaderFrame(hid, header);
    Bytes reply = ReadFrame();
    for (std::uint32_t sent = 0; reply == Request(sent) && 28 + sent < file.size(); sent += 32) {
        SendDataFrame(hid, file.data() + 28 + sent, 32);
        reply = ReadFrame();
    }
    return reply;
}
