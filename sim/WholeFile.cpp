#include "sim/WholeFile.h"

#include "link/UniqueKernelHandle.h"

#include <algorithm>

namespace {

DWORD WriteAll(HANDLE file, const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const std::size_t chunk = std::min<std::size_t>(bytes.size() - done, 1u << 20);
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data() + done, static_cast<DWORD>(chunk), &written, nullptr))
            return ::GetLastError();
        if (written == 0)
            return ERROR_WRITE_FAULT;
        done += written;
    }
    return 0;
}

} // namespace

DWORD WriteWholeFile(const std::wstring& path, const std::vector<std::uint8_t>& bytes) {
    const std::wstring part = path + L".part";
    DWORD error = 0;
    {
        UniqueKernelHandle file(::CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr,
                                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.Valid())
            return ::GetLastError();
        error = WriteAll(file.Get(), bytes);
    }
    if (error == 0 && !::MoveFileExW(part.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
        error = ::GetLastError();
    if (error != 0)
        ::DeleteFileW(part.c_str());
    return error;
}

DWORD ReadWholeFile(const std::wstring& path, std::vector<std::uint8_t>* bytes) {
    UniqueKernelHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
        return ::GetLastError();
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.Get(), &size))
        return ::GetLastError();
    if (size.QuadPart > 0x7FFFFFFF)
        return ERROR_FILE_TOO_LARGE;
    std::vector<std::uint8_t> content(static_cast<std::size_t>(size.QuadPart));
    std::size_t done = 0;
    while (done < content.size()) {
        DWORD read = 0;
        if (!::ReadFile(file.Get(), content.data() + done,
                        static_cast<DWORD>(content.size() - done), &read, nullptr))
            return ::GetLastError();
        if (read == 0)
            break; // the file got shorter while we read it
        done += read;
    }
    content.resize(done);
    *bytes = std::move(content);
    return 0;
}
