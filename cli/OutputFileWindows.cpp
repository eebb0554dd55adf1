// Writing outputs on Windows: UTF-16 names, devices and pipes in place, files
// replaced through a temporary file in their folder (see OutputFile.h).
#ifdef _WIN32

// rand_s: the system's random numbers, for names nobody can guess.
#define _CRT_RAND_S

#include "OutputFile.h"

#include "Command.h"
#include "graphics/Stream.h" // Utf16, Utf8

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <windows.h>

namespace korvalis::cli {

namespace {

// The system's text for an error, in UTF-8, without the trailing line break
// and full stop, as strerror gives it on Linux.
std::string SystemMessage(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = n > 0 && text ? Utf8(text, n) : std::string();
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(error) : message;
}

bool Fail(const std::string& name, const std::string& reason) {
    PrintError((name == "-" ? std::string("standard output") : name) + ": " + reason);
    return false;
}

bool Fail(const std::string& name, DWORD error) {
    return Fail(name, SystemMessage(error));
}

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// The name as the file system has it, every link followed; the name itself
// when the system cannot tell.
std::wstring FinalPath(HANDLE file, const std::wstring& name) {
    std::wstring path(MAX_PATH, L'\0');
    for (int tries = 0; tries < 2; ++tries) {
        const DWORD n = GetFinalPathNameByHandleW(file, path.data(), DWORD(path.size()),
                                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0)
            return name;
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(n + 1);
    }
    return name;
}

bool WriteInPlace(const std::string& name, HANDLE handle,
                  const std::function<void(TOutputSink&)>& writer) {
    TOutputSink sink(handle);
    writer(sink);
    sink.Flush();
    return sink.Error() == 0 || Fail(name, DWORD(sink.Error()));
}

// Closes the device it was given on every path, a throwing writer's too.
bool WriteToDevice(const std::string& name, HANDLE device,
                   const std::function<void(TOutputSink&)>& writer) {
    const std::unique_ptr<void, decltype(&CloseHandle)> owner(device, CloseHandle);
    return WriteInPlace(name, device, writer);
}

// A temporary name beside path that nobody can guess: the folder part of path
// (up to the last separator or drive colon), a dot, the file's own name.
std::wstring TemporaryName(const std::wstring& path) {
    size_t cut = 0;
    for (size_t i = 0; i < path.size(); ++i)
        if (IsSeparator(path[i]) || (path[i] == L':' && i == 1))
            cut = i + 1;
    unsigned parts[2] = {};
    for (unsigned& part : parts)
        if (rand_s(&part) != 0)
            part = unsigned(GetTickCount64()) ^ GetCurrentProcessId();
    wchar_t suffix[24];
    std::swprintf(suffix, 24, L".korvalis-%08x%04x", parts[0], parts[1] & 0xFFFF);
    return path.substr(0, cut) + L"." + path.substr(cut, 200) + suffix;
}

std::string FolderOf(const std::string& name) {
    const size_t cut = name.find_last_of("\\/");
    if (cut != std::string::npos)
        return cut == 0 ? name.substr(0, 1) : name.substr(0, cut);
    return name.size() >= 2 && name[1] == ':' ? name.substr(0, 2) : ".";
}

bool Replace(const std::string& name, const std::wstring& path, bool exists,
             const std::function<void(TOutputSink&)>& writer) {
    std::wstring temporary;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int tries = 0; tries < 16 && file == INVALID_HANDLE_VALUE; ++tries) {
        temporary = TemporaryName(path);
        file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    if (file == INVALID_HANDLE_VALUE) {
        PrintError(name + ": cannot create a file in the folder " + FolderOf(name) + ": " +
                   SystemMessage(GetLastError()));
        return false;
    }
    DWORD error = 0;
    try {
        TOutputSink sink(file);
        sink.DiscardOnFailure();
        writer(sink);
        sink.Flush();
        error = DWORD(sink.Error());
        if (error == 0 && !FlushFileBuffers(file))
            error = GetLastError();
    } catch (...) {
        CloseHandle(file);
        DeleteFileW(temporary.c_str());
        throw;
    }
    CloseHandle(file);
    if (error == 0 && exists &&
        !ReplaceFileW(path.c_str(), temporary.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                      nullptr, nullptr)) {
        error = GetLastError();
        // Some file systems cannot replace in one step; the old file is still
        // there, so renaming over it is the next best.
        if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION &&
            MoveFileExW(temporary.c_str(), path.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            error = 0;
    } else if (error == 0 && !exists &&
               !MoveFileExW(temporary.c_str(), path.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = GetLastError();
    }
    if (error != 0) {
        DeleteFileW(temporary.c_str());
        return Fail(name, error);
    }
    return true;
}

} // namespace

void TOutputSink::WriteThrough(const uint8_t* data, size_t size) {
    while (size > 0 && FError == 0) {
        DWORD n = 0;
        if (!WriteFile(FHandle, data, DWORD(std::min<size_t>(size, 1u << 30)), &n, nullptr)) {
            FError = int(GetLastError());
            continue;
        }
        if (n == 0) {
            FError = ERROR_WRITE_FAULT;
            continue;
        }
        data += n;
        size -= n;
    }
}

bool WriteOutputFile(const std::string& fileName, const std::function<void(TOutputSink&)>& writer) {
    if (fileName == "-") {
        std::fflush(stdout);
        return WriteInPlace(fileName, GetStdHandle(STD_OUTPUT_HANDLE), writer);
    }
    const std::wstring name = Utf16(fileName);
    if (name.empty())
        return Fail(fileName, ERROR_NO_UNICODE_TRANSLATION);
    // Opened for nothing but a look: what it is and where its links lead.
    HANDLE look = CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (look == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // A missing folder shows when the temporary file cannot be made.
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return Replace(fileName, name, false, writer);
        // Devices such as NUL or COM1 may refuse a look without write access.
        HANDLE device = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
        if (device == INVALID_HANDLE_VALUE)
            return Fail(fileName, error);
        if (GetFileType(device) == FILE_TYPE_DISK) {
            CloseHandle(device);
            return Fail(fileName, error);
        }
        return WriteToDevice(fileName, device, writer);
    }
    const DWORD type = GetFileType(look);
    BY_HANDLE_FILE_INFORMATION info{};
    const bool disk = type == FILE_TYPE_DISK && GetFileInformationByHandle(look, &info);
    const std::wstring path = disk ? FinalPath(look, name) : name;
    CloseHandle(look);
    if (disk) {
        if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            return Fail(fileName, std::string("Is a directory"));
        // A read-only file is not replaced behind its owner's back.
        if (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
            return Fail(fileName, ERROR_ACCESS_DENIED);
        return Replace(fileName, path, true, writer);
    }
    HANDLE device = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE)
        return Fail(fileName, GetLastError());
    return WriteToDevice(fileName, device, writer);
}

} // namespace korvalis::cli

#endif
