#include "sim/StdStream.h"

#include <mutex>
#include <string>

namespace {

std::mutex& StreamLock() {
    static std::mutex lock;
    return lock;
}

HANDLE StreamHandle(DWORD stream) {
    HANDLE handle = ::GetStdHandle(stream);
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

std::string Utf8(const std::wstring& text) {
    if (text.empty())
        return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(),
                              size, nullptr, nullptr);
    return utf8;
}

} // namespace

bool HasStdStream(DWORD stream) {
    return StreamHandle(stream) != nullptr;
}

bool WriteStdStream(DWORD stream, const std::wstring& text) {
    std::lock_guard<std::mutex> lock(StreamLock());
    HANDLE handle = StreamHandle(stream);
    if (!handle)
        return false;
    DWORD mode = 0;
    if (::GetConsoleMode(handle, &mode)) {
        DWORD written = 0;
        return ::WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written,
                               nullptr) &&
               written == text.size();
    }
    const std::string bytes = Utf8(text);
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        if (!::WriteFile(handle, bytes.data() + done, static_cast<DWORD>(bytes.size() - done),
                         &written, nullptr) ||
            written == 0)
            return false;
        done += written;
    }
    return true;
}
