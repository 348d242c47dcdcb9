// Scratch folders for tests: a new empty folder that goes away with what it holds, and
// a folder made the current directory for a while.
#pragma once

#include <filesystem>
#include <string>

// A new empty folder under the system's temporary folder, removed with what it holds.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::wstring Path(const std::wstring& name) const { return (m_Dir / name).wstring(); }

private:
    std::filesystem::path m_Dir;
};

// Makes a folder the current directory for its lifetime.
class ScopedCurrentDirectory {
public:
    explicit ScopedCurrentDirectory(const std::wstring& dir);
    ~ScopedCurrentDirectory();
    ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
    ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

private:
    std::filesystem::path m_Previous;
};
