// Files and folders by path, in their A and W forms, on the host folder the
// machine maps as drive Z: (host_paths.h): delete, move, copy, attributes,
// folders made and removed, the current folder, full and temporary paths,
// and the search of a folder by a pattern (FindFirstFile). Names compare
// without case in patterns, as NT's file systems compare them; errors are
// NT's (2 no file, 3 no path, 5 denied, 80 and 183 existing, 145 a folder
// not empty, 18 no more files).
#include "sim/kernel/code_pages.h"
#include "sim/kernel/handles.h"
#include "sim/kernel/host_paths.h"
#include "sim/kernel/win32_families.h"

#include <windows.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {
namespace {

const DWORD InvalidAttributes = 0xFFFFFFFF;
const DWORD AttributeReadOnly = 0x1;
const DWORD AttributeDirectory = 0x10;
const DWORD AttributeArchive = 0x20;
const DWORD ErrorNoMoreFiles = 18;
const DWORD ErrorFileExists = 80;
const DWORD ErrorAlreadyExists = 183;
const DWORD ErrorDirNotEmpty = 145;
const DWORD MoveReplaceExisting = 0x1;
const uint64_t UnixEpochTicks = 116444736000000000ULL;

// Returns FALSE after setting the last error from the host's errno for an
// operation on `hostPath`: a missing file is 3 when its folder is missing
// too.
BOOL FailFromHost(const std::string& hostPath) {
    DWORD error = ERROR_ACCESS_DENIED;
    if (errno == ENOENT || errno == ENOTDIR) {
        const std::string folder = hostPath.substr(0, hostPath.rfind('/') + 1);
        struct stat info;
        error = folder.empty() || (stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
                    ? ERROR_FILE_NOT_FOUND
                    : ERROR_PATH_NOT_FOUND;
    } else if (errno == EEXIST) {
        error = ErrorAlreadyExists;
    } else if (errno == ENOTEMPTY) {
        error = ErrorDirNotEmpty;
    } else if (errno == ENAMETOOLONG) {
        error = 206;  // ERROR_FILENAME_EXCED_RANGE
    }
    SetLastErrorCode(error);
    return FALSE;
}

std::string Narrow(LPCWSTR text) { return Utf8FromWide(text); }

// Returns the UTF-16 form of `text` (code page 1252's first 256
// characters).
std::vector<WCHAR> Wide(const std::string& text) {
    std::vector<WCHAR> wide;
    for (unsigned char c : text) wide.push_back(c);
    wide.push_back(0);
    return wide;
}

// Returns the attributes NT reports for the host file `info`.
DWORD AttributesOf(const struct stat& info) {
    DWORD attributes = S_ISDIR(info.st_mode) ? AttributeDirectory : AttributeArchive;
    if ((info.st_mode & S_IWUSR) == 0) attributes |= AttributeReadOnly;
    return attributes;
}

// Returns the length copied to `buffer` (without its NUL) when `text` and
// its NUL fit `size` characters, else the size needed (with the NUL).
DWORD CopyOut(const std::string& text, LPSTR buffer, DWORD size) {
    if (text.size() + 1 > size) return static_cast<DWORD>(text.size() + 1);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

DWORD CopyOutWide(const std::string& text, LPWSTR buffer, DWORD size) {
    const std::vector<WCHAR> wide = Wide(text);
    if (wide.size() > size) return static_cast<DWORD>(wide.size());
    std::memcpy(buffer, wide.data(), wide.size() * sizeof(WCHAR));
    return static_cast<DWORD>(wide.size() - 1);
}

// Returns the program's form of the full path of `path`: made absolute
// from the current folder, "." and ".." resolved, backslashes.
std::string FullPath(const std::string& path) {
    std::string host = HostPath(path.c_str());
    if (host.empty() || host[0] != '/') {
        char current[4096];
        if (getcwd(current, sizeof current) == nullptr) return std::string();
        host = std::string(current) + "/" + host;
    }
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= host.size()) {
        size_t next = host.find('/', at);
        if (next == std::string::npos) next = host.size();
        const std::string part = host.substr(at, next - at);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = next + 1;
    }
    std::string full = "Z:";
    for (const std::string& part : parts) full += "\\" + part;
    if (parts.empty() || (!path.empty() && (path.back() == '\\' || path.back() == '/'))) full += "\\";
    return full;
}

// Returns true when `name` matches the pattern (* and ?, without case).
bool Matches(const char* pattern, const char* name) {
    if (*pattern == '\0') return *name == '\0';
    if (*pattern == '*') {
        for (const char* rest = name;; ++rest) {
            if (Matches(pattern + 1, rest)) return true;
            if (*rest == '\0') return false;
        }
    }
    if (*name == '\0') return false;
    if (*pattern != '?' && tolower(static_cast<unsigned char>(*pattern)) !=
                               tolower(static_cast<unsigned char>(*name))) {
        return false;
    }
    return Matches(pattern + 1, name + 1);
}

// WIN32_FIND_DATAA and WIN32_FIND_DATAW.
struct FindDataA {
    DWORD Attributes;
    FILETIME Creation, LastAccess, LastWrite;
    DWORD SizeHigh, SizeLow, Reserved0, Reserved1;
    char FileName[260];
    char AlternateFileName[14];
};
static_assert(sizeof(FindDataA) == 320, "WIN32_FIND_DATAA");
struct FindDataW {
    DWORD Attributes;
    FILETIME Creation, LastAccess, LastWrite;
    DWORD SizeHigh, SizeLow, Reserved0, Reserved1;
    WCHAR FileName[260];
    WCHAR AlternateFileName[14];
};
static_assert(sizeof(FindDataW) == 592, "WIN32_FIND_DATAW");

struct FoundFile {
    std::string Name;
    struct stat Info;
};

// A search: the entries that matched, handed out in turn.
struct Search {
    std::vector<FoundFile> Found;
    size_t Next = 0;
};

std::mutex searchLock;
std::map<Search*, std::unique_ptr<Search>>& Searches() {
    static auto* searches = new std::map<Search*, std::unique_ptr<Search>>;
    return *searches;
}

FILETIME FileTimeOf(const struct timespec& when) {
    const uint64_t ticks =
        UnixEpochTicks + uint64_t(when.tv_sec) * 10000000ULL + uint64_t(when.tv_nsec) / 100;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

void Fill(const FoundFile& found, FindDataA* data) {
    std::memset(data, 0, sizeof *data);
    data->Attributes = AttributesOf(found.Info);
    data->Creation = FileTimeOf(found.Info.st_ctim);
    data->LastAccess = FileTimeOf(found.Info.st_atim);
    data->LastWrite = FileTimeOf(found.Info.st_mtim);
    if (!S_ISDIR(found.Info.st_mode)) {
        data->SizeHigh = static_cast<DWORD>(uint64_t(found.Info.st_size) >> 32);
        data->SizeLow = static_cast<DWORD>(found.Info.st_size);
    }
    std::snprintf(data->FileName, sizeof data->FileName, "%s", found.Name.c_str());
}

// Returns the new search of `pattern` with its first match, or null with 2
// (no match), 3 (no such folder) set.
Search* StartSearch(const std::string& pattern) {
    const std::string host = HostPath(pattern.c_str());
    const size_t slash = host.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : host.substr(0, slash + 1);
    const std::string wanted = slash == std::string::npos ? host : host.substr(slash + 1);
    DIR* directory = opendir(folder.c_str());
    if (directory == nullptr) {
        SetLastErrorCode(ERROR_PATH_NOT_FOUND);
        return nullptr;
    }
    auto search = std::make_unique<Search>();
    while (const dirent* entry = readdir(directory)) {
        if (!Matches(wanted.c_str(), entry->d_name)) continue;
        FoundFile found{entry->d_name, {}};
        if (stat((folder + "/" + entry->d_name).c_str(), &found.Info) != 0) continue;
        search->Found.push_back(found);
    }
    closedir(directory);
    if (search->Found.empty()) {
        SetLastErrorCode(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    Search* handle = search.get();
    std::lock_guard<std::mutex> hold(searchLock);
    Searches()[handle] = std::move(search);
    return handle;
}

// Returns the search's next match, or null with 18 (or 6 for no search).
const FoundFile* NextFound(HANDLE handle) {
    std::lock_guard<std::mutex> hold(searchLock);
    auto found = Searches().find(static_cast<Search*>(handle));
    if (found == Searches().end()) {
        SetLastErrorCode(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    Search& search = *found->second;
    if (search.Next >= search.Found.size()) {
        SetLastErrorCode(ErrorNoMoreFiles);
        return nullptr;
    }
    return &search.Found[search.Next++];
}

void ToWide(const FindDataA& narrow, FindDataW* wide) {
    std::memset(wide, 0, sizeof *wide);
    std::memcpy(wide, &narrow, offsetof(FindDataA, FileName));
    for (size_t i = 0; i < sizeof narrow.FileName && narrow.FileName[i] != '\0'; ++i) {
        wide->FileName[i] = static_cast<unsigned char>(narrow.FileName[i]);
    }
}

}  // namespace
}  // namespace sim

extern "C" {

// Returns TRUE once the file is gone; 5 for a folder or a read-only file.
BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
    const std::string host = sim::HostPath(lpFileName);
    struct stat info;
    if (stat(host.c_str(), &info) != 0) return sim::FailFromHost(host);
    if (S_ISDIR(info.st_mode) || (info.st_mode & S_IWUSR) == 0) {
        sim::SetLastErrorCode(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return unlink(host.c_str()) == 0 ? TRUE : sim::FailFromHost(host);
}
BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) { return DeleteFileA(sim::Narrow(lpFileName).c_str()); }

// Returns the file's attributes, INVALID_FILE_ATTRIBUTES with 2 or 3.
DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
    const std::string host = sim::HostPath(lpFileName);
    struct stat info;
    if (stat(host.c_str(), &info) != 0) {
        sim::FailFromHost(host);
        return sim::InvalidAttributes;
    }
    return sim::AttributesOf(info);
}
DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
    return GetFileAttributesA(sim::Narrow(lpFileName).c_str());
}

// Returns TRUE once the file is read-only or not, as asked (the other
// attributes have no host counterpart and are kept by nobody).
BOOL WINAPI SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
    const std::string host = sim::HostPath(lpFileName);
    struct stat info;
    if (stat(host.c_str(), &info) != 0) return sim::FailFromHost(host);
    const mode_t mode = (dwFileAttributes & sim::AttributeReadOnly) != 0
                            ? info.st_mode & ~mode_t(S_IWUSR | S_IWGRP | S_IWOTH)
                            : info.st_mode | S_IWUSR;
    return chmod(host.c_str(), mode & 07777) == 0 ? TRUE : sim::FailFromHost(host);
}
BOOL WINAPI SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes) {
    return SetFileAttributesA(sim::Narrow(lpFileName).c_str(), dwFileAttributes);
}

// Returns TRUE once the folder exists; 183 when something has the name.
BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
    (void)lpSecurityAttributes;
    const std::string host = sim::HostPath(lpPathName);
    return mkdir(host.c_str(), 0777) == 0 ? TRUE : sim::FailFromHost(host);
}
BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
    return CreateDirectoryA(sim::Narrow(lpPathName).c_str(), lpSecurityAttributes);
}

// Returns TRUE once the empty folder is gone; 145 when it is not empty.
BOOL WINAPI RemoveDirectoryA(LPCSTR lpPathName) {
    const std::string host = sim::HostPath(lpPathName);
    if (rmdir(host.c_str()) == 0) return TRUE;
    if (errno == ENOTDIR) errno = EINVAL;  // a file: NT answers 267, the directory name is invalid
    if (errno == EINVAL) {
        sim::SetLastErrorCode(267);
        return FALSE;
    }
    return sim::FailFromHost(host);
}
BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName) {
    return RemoveDirectoryA(sim::Narrow(lpPathName).c_str());
}

// Returns TRUE once the file or folder has its new name; with
// MOVEFILE_REPLACE_EXISTING a file of the new name is replaced, else 183.
BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
    const std::string from = sim::HostPath(lpExistingFileName);
    const std::string to = sim::HostPath(lpNewFileName);
    struct stat info;
    if (stat(from.c_str(), &info) != 0) return sim::FailFromHost(from);
    if (stat(to.c_str(), &info) == 0 &&
        ((dwFlags & sim::MoveReplaceExisting) == 0 || S_ISDIR(info.st_mode))) {
        sim::SetLastErrorCode((dwFlags & sim::MoveReplaceExisting) == 0 ? sim::ErrorAlreadyExists
                                                                         : ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return rename(from.c_str(), to.c_str()) == 0 ? TRUE : sim::FailFromHost(to);
}
BOOL WINAPI MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName) {
    return MoveFileExA(lpExistingFileName, lpNewFileName, 0);
}
BOOL WINAPI MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) {
    return MoveFileExA(sim::Narrow(lpExistingFileName).c_str(), sim::Narrow(lpNewFileName).c_str(),
                       dwFlags);
}
BOOL WINAPI MoveFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName) {
    return MoveFileExW(lpExistingFileName, lpNewFileName, 0);
}

// Returns TRUE once the file's bytes are copied; with bFailIfExists, 80
// when the new name exists.
BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists) {
    const std::string from = sim::HostPath(lpExistingFileName);
    const std::string to = sim::HostPath(lpNewFileName);
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return sim::FailFromHost(from);
    struct stat info;
    fstat(in, &info);
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (bFailIfExists ? O_EXCL : O_TRUNC),
                         info.st_mode & 0777);
    if (out < 0) {
        close(in);
        if (errno == EEXIST) {
            sim::SetLastErrorCode(sim::ErrorFileExists);
            return FALSE;
        }
        return sim::FailFromHost(to);
    }
    char buffer[65536];
    ssize_t got;
    bool ok = true;
    while ((got = read(in, buffer, sizeof buffer)) > 0) {
        if (write(out, buffer, static_cast<size_t>(got)) != got) ok = false;
    }
    close(in);
    if (close(out) != 0 || got < 0) ok = false;
    if (!ok) return sim::FailFromHost(to);
    return TRUE;
}
BOOL WINAPI CopyFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, BOOL bFailIfExists) {
    return CopyFileA(sim::Narrow(lpExistingFileName).c_str(), sim::Narrow(lpNewFileName).c_str(),
                     bFailIfExists);
}

// Returns the current folder's length as CopyOut does.
DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer) {
    char current[4096];
    if (getcwd(current, sizeof current) == nullptr) {
        sim::SetLastErrorCode(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    return sim::CopyOut(sim::WindowsPath(current), lpBuffer, nBufferLength);
}
DWORD WINAPI GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer) {
    char current[4096];
    if (getcwd(current, sizeof current) == nullptr) {
        sim::SetLastErrorCode(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    return sim::CopyOutWide(sim::WindowsPath(current), lpBuffer, nBufferLength);
}

// Returns TRUE once the folder is the current one.
BOOL WINAPI SetCurrentDirectoryA(LPCSTR lpPathName) {
    const std::string host = sim::HostPath(lpPathName);
    return chdir(host.c_str()) == 0 ? TRUE : sim::FailFromHost(host);
}
BOOL WINAPI SetCurrentDirectoryW(LPCWSTR lpPathName) {
    return SetCurrentDirectoryA(sim::Narrow(lpPathName).c_str());
}

// Returns the full path's length as CopyOut does, with *lpFilePart at its
// last component (null for a path ending in a backslash).
DWORD WINAPI GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer,
                              LPSTR* lpFilePart) {
    if (lpFileName == nullptr || *lpFileName == '\0') {
        sim::SetLastErrorCode(123 /* ERROR_INVALID_NAME */);
        return 0;
    }
    const std::string full = sim::FullPath(lpFileName);
    const DWORD result = sim::CopyOut(full, lpBuffer, nBufferLength);
    if (lpFilePart != nullptr && result < nBufferLength) {
        *lpFilePart = full.back() == '\\' ? nullptr : lpBuffer + full.rfind('\\') + 1;
    }
    return result;
}
DWORD WINAPI GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer,
                              LPWSTR* lpFilePart) {
    if (lpFileName == nullptr || *lpFileName == 0) {
        sim::SetLastErrorCode(123 /* ERROR_INVALID_NAME */);
        return 0;
    }
    const std::string full = sim::FullPath(sim::Narrow(lpFileName));
    const DWORD result = sim::CopyOutWide(full, lpBuffer, nBufferLength);
    if (lpFilePart != nullptr && result < nBufferLength) {
        *lpFilePart = full.back() == '\\' ? nullptr : lpBuffer + full.rfind('\\') + 1;
    }
    return result;
}

// Returns the temporary folder (TMP, else TEMP, else USERPROFILE, else the
// Windows folder's form of /tmp), ending in a backslash.
DWORD WINAPI GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer) {
    const char* names[] = {"TMP", "TEMP", "USERPROFILE"};
    std::string folder;
    for (const char* name : names) {
        const char* value = getenv(name);
        if (value != nullptr && *value != '\0') {
            folder = value;
            break;
        }
    }
    if (folder.empty()) folder = "/tmp";
    folder = sim::FullPath(folder);
    if (folder.back() != '\\') folder += "\\";
    return sim::CopyOut(folder, lpBuffer, nBufferLength);
}
DWORD WINAPI GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer) {
    char narrow[4096];
    const DWORD length = GetTempPathA(sizeof narrow, narrow);
    if (length == 0 || length >= sizeof narrow) return length;
    return sim::CopyOutWide(narrow, lpBuffer, nBufferLength);
}

// Returns the number in the name "PATH\PREFIXXXXX.TMP" written to the
// buffer; with uUnique 0, the first number whose file did not exist, and
// the file made, empty.
UINT WINAPI GetTempFileNameA(LPCSTR lpPathName, LPCSTR lpPrefixString, UINT uUnique,
                             LPSTR lpTempFileName) {
    std::string folder = lpPathName;
    if (!folder.empty() && folder.back() != '\\' && folder.back() != '/') folder += "\\";
    const std::string prefix = std::string(lpPrefixString).substr(0, 3);
    UINT number = uUnique != 0 ? uUnique & 0xFFFF : static_cast<UINT>(GetTickCount() & 0xFFFF);
    for (int tries = 0; tries < 0x10000; ++tries) {
        if (number == 0) number = 1;
        char name[32];
        std::snprintf(name, sizeof name, "%s%X.TMP", prefix.c_str(), number);
        const std::string path = folder + name;
        if (uUnique != 0) {
            std::memcpy(lpTempFileName, path.c_str(), path.size() + 1);
            return number;
        }
        const std::string host = sim::HostPath(path.c_str());
        const int made = open(host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (made >= 0) {
            close(made);
            std::memcpy(lpTempFileName, path.c_str(), path.size() + 1);
            return number;
        }
        if (errno != EEXIST) {
            sim::FailFromHost(host);
            return 0;
        }
        number = (number + 1) & 0xFFFF;
    }
    sim::SetLastErrorCode(sim::ErrorFileExists);
    return 0;
}

// Returns the search's handle with its first match in *lpFindFileData, or
// INVALID_HANDLE_VALUE with 2 (nothing matches) or 3 (no such folder).
HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, void* lpFindFileData) {
    sim::Search* search = sim::StartSearch(lpFileName);
    if (search == nullptr) return INVALID_HANDLE_VALUE;
    sim::Fill(*sim::NextFound(search), static_cast<sim::FindDataA*>(lpFindFileData));
    return search;
}
HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, void* lpFindFileData) {
    sim::FindDataA narrow;
    HANDLE search = FindFirstFileA(sim::Narrow(lpFileName).c_str(), &narrow);
    if (search != INVALID_HANDLE_VALUE) {
        sim::ToWide(narrow, static_cast<sim::FindDataW*>(lpFindFileData));
    }
    return search;
}

// Returns TRUE with the next match; FALSE with 18 past the last.
BOOL WINAPI FindNextFileA(HANDLE hFindFile, void* lpFindFileData) {
    const sim::FoundFile* found = sim::NextFound(hFindFile);
    if (found == nullptr) return FALSE;
    sim::Fill(*found, static_cast<sim::FindDataA*>(lpFindFileData));
    return TRUE;
}
BOOL WINAPI FindNextFileW(HANDLE hFindFile, void* lpFindFileData) {
    sim::FindDataA narrow;
    if (!FindNextFileA(hFindFile, &narrow)) return FALSE;
    sim::ToWide(narrow, static_cast<sim::FindDataW*>(lpFindFileData));
    return TRUE;
}

// Returns TRUE once the search is over; 6 for a handle that is no search.
BOOL WINAPI FindClose(HANDLE hFindFile) {
    std::lock_guard<std::mutex> hold(sim::searchLock);
    if (sim::Searches().erase(static_cast<sim::Search*>(hFindFile)) == 0) {
        sim::SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// Returns what CreateFileA returns, with a UTF-16 name.
HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                          DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                          HANDLE hTemplateFile) {
    if (lpFileName == nullptr) {
        sim::SetLastErrorCode(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileA(sim::Narrow(lpFileName).c_str(), dwDesiredAccess, dwShareMode,
                       lpSecurityAttributes, dwCreationDisposition, dwFlagsAndAttributes,
                       hTemplateFile);
}

}  // extern "C"
