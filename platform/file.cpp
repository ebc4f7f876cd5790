// Files, events and critical sections over POSIX.
//
// A file handle keeps its own 64-bit position and reads and writes with pread/pwrite at it,
// so overlapped requests (which carry their own offset) and plain ones share one descriptor.
// Handles opened for reading only keep a read-ahead block, as the system's file cache would:
// the file system above reads chunk headers and values a few bytes at a time. Any write in the
// process drops every read-ahead block, so a reader never sees bytes older than a write.

#include "platform/file.h"
#include "platform/win32.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/crt.h"

namespace {

thread_local DWORD tLastError = ERROR_SUCCESS;
std::atomic<std::uint64_t> gWriteGeneration{0}; // counts writes; read-ahead blocks older than it are stale

enum class Kind { File, Event };

constexpr std::size_t kReadAheadBytes = 64 * 1024;
// The first refill after a read that bypassed the block reads this much; each refill after it
// reads twice as much, up to the block. Formats put small heads before large arrays: a head read
// right before an array then pulls few of the array's bytes into the block, where they would be
// copied a second time.
constexpr std::size_t kReadAheadFirst = 4096;

struct Object {
    Kind kind;
};

struct FileObject : Object {
    int fd = -1;                           // descriptor
    std::uint64_t position = 0;            // file pointer
    bool readOnly = false;                 // opened without write access
    std::unique_ptr<std::uint8_t[]> ahead; // read-ahead block (read-only handles)
    std::uint64_t aheadStart = 0;          // file offset of ahead[0]
    std::size_t aheadLength = 0;           // valid bytes in ahead
    std::uint64_t aheadGeneration = 0;     // gWriteGeneration when ahead was filled
    std::size_t aheadWindow = kReadAheadFirst; // bytes the next refill reads
};

struct EventObject : Object {
    bool manualReset = false; // stays signalled until reset
    bool signalled = false;   // current state
};

DWORD ErrorFromErrno(int e) {
    switch (e) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    default:
        return ERROR_GEN_FAILURE;
    }
}

FileObject* AsFile(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE || static_cast<Object*>(h)->kind != Kind::File) {
        return nullptr;
    }
    return static_cast<FileObject*>(h);
}

bool Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// The entry of directory dir whose name equals name without regard to ASCII case; the exact
// name wins when both exist.
bool FindNoCase(const std::string& dir, const std::string& name, std::string* found) {
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (d == nullptr) {
        return false;
    }
    bool ok = false;
    while (dirent* entry = ::readdir(d)) {
        if (_stricmp(entry->d_name, name.c_str()) == 0) {
            *found = entry->d_name;
            ok = true;
            break;
        }
    }
    ::closedir(d);
    return ok;
}

} // namespace

std::string PlatformHostPath(const char* name) {
    std::string path(name);
    for (char& c : path) {
        if (c == '\\') {
            c = '/';
        }
    }
    if (path.empty() || Exists(path)) {
        return path;
    }
    std::string resolved;
    std::size_t start = 0;
    if (path[0] == '/') {
        resolved = "/";
        start = 1;
    }
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        const bool last = end == std::string::npos;
        if (last) {
            end = path.size();
        }
        const std::string component = path.substr(start, end - start);
        const std::string dir = resolved;
        std::string candidate = dir + component;
        if (!component.empty() && component != "." && component != ".." && !Exists(candidate)) {
            std::string match;
            if (FindNoCase(dir, component, &match)) {
                candidate = dir + match;
            }
        }
        resolved = candidate;
        if (last) {
            break;
        }
        resolved += '/';
        start = end + 1;
    }
    return resolved;
}

namespace {

bool ReadAt(FileObject* f, std::uint64_t offset, void* buffer, DWORD count, DWORD* got) {
    auto* out = static_cast<std::uint8_t*>(buffer);
    DWORD total = 0;
    if (f->ahead && f->aheadGeneration != gWriteGeneration.load()) {
        f->aheadLength = 0;
    }
    while (total < count) {
        // Served from the read-ahead block when it holds the bytes.
        if (f->ahead && offset >= f->aheadStart && offset < f->aheadStart + f->aheadLength) {
            const std::size_t from = static_cast<std::size_t>(offset - f->aheadStart);
            std::size_t n = f->aheadLength - from;
            if (n > count - total) {
                n = count - total;
            }
            std::memcpy(out + total, f->ahead.get() + from, n);
            total += static_cast<DWORD>(n);
            offset += n;
            continue;
        }
        // A read smaller than the block refills it; the rest of a larger one comes from the file
        // straight into the caller's buffer, so that its bytes are copied once.
        const DWORD want = count - total;
        if (f->ahead && count < kReadAheadBytes) {
            const std::size_t fill = std::max<std::size_t>(f->aheadWindow, want);
            f->aheadWindow = std::min(2 * f->aheadWindow, kReadAheadBytes);
            const ssize_t n = ::pread(f->fd, f->ahead.get(), fill, static_cast<off_t>(offset));
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                *got = total;
                return false;
            }
            f->aheadStart = offset;
            f->aheadLength = static_cast<std::size_t>(n);
            f->aheadGeneration = gWriteGeneration.load();
            if (n == 0) {
                break;
            }
            continue;
        }
        f->aheadWindow = kReadAheadFirst;
        const ssize_t n = ::pread(f->fd, out + total, want, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            *got = total;
            return false;
        }
        if (n == 0) {
            break;
        }
        total += static_cast<DWORD>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    *got = total;
    return true;
}

bool WriteAt(FileObject* f, std::uint64_t offset, const void* buffer, DWORD count, DWORD* put) {
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    DWORD total = 0;
    gWriteGeneration++;
    while (total < count) {
        const ssize_t n = ::pwrite(f->fd, in + total, count - total, static_cast<off_t>(offset + total));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            // An error, or a device that takes nothing (a full disk): report what was written
            // instead of trying again for ever.
            *put = total;
            return false;
        }
        total += static_cast<DWORD>(n);
    }
    gWriteGeneration++;
    *put = total;
    return true;
}

void Complete(OVERLAPPED* overlapped, DWORD bytes) {
    overlapped->Internal = 0;
    overlapped->InternalHigh = bytes;
    if (overlapped->hEvent != nullptr && static_cast<Object*>(overlapped->hEvent)->kind == Kind::Event) {
        static_cast<EventObject*>(overlapped->hEvent)->signalled = true;
    }
}

std::uint64_t OverlappedOffset(const OVERLAPPED* overlapped) {
    return (static_cast<std::uint64_t>(overlapped->OffsetHigh) << 32) | overlapped->Offset;
}

} // namespace

DWORD GetLastError() { return tLastError; }
void SetLastError(DWORD error) { tLastError = error; }

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD /*shareMode*/, SECURITY_ATTRIBUTES* /*security*/,
                   DWORD creationDisposition, DWORD /*flagsAndAttributes*/, HANDLE /*templateFile*/) {
    if (fileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const bool read = (desiredAccess & GENERIC_READ) != 0;
    const bool write = (desiredAccess & GENERIC_WRITE) != 0;
    int flags = O_CLOEXEC;
    flags |= read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
    switch (creationDisposition) {
    case CREATE_NEW:
        flags |= O_CREAT | O_EXCL;
        break;
    case CREATE_ALWAYS:
        flags |= O_CREAT | O_TRUNC;
        break;
    case OPEN_EXISTING:
        break;
    case OPEN_ALWAYS:
        flags |= O_CREAT;
        break;
    case TRUNCATE_EXISTING:
        flags |= O_TRUNC;
        break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // A name that opens as written needs no case-insensitive search; a creating open always
    // looks first, so that it never makes a second file beside one that differs only in case.
    int fd = -1;
    if ((flags & O_CREAT) == 0) {
        std::string direct(fileName);
        for (char& c : direct) {
            if (c == '\\') {
                c = '/';
            }
        }
        fd = direct.empty() ? -1 : ::open(direct.c_str(), flags, 0644);
    }
    if (fd < 0) {
        fd = ::open(PlatformHostPath(fileName).c_str(), flags, 0644);
    }
    if (fd < 0) {
        SetLastError(ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (write) {
        gWriteGeneration++; // the open may have truncated the file
    }
    auto* f = new FileObject;
    f->kind = Kind::File;
    f->fd = fd;
    f->readOnly = !write;
    if (f->readOnly) {
        // Not cleared: only bytes a read put there are ever handed out.
        f->ahead.reset(new std::uint8_t[kReadAheadBytes]);
    }
    SetLastError(ERROR_SUCCESS);
    return f;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, OVERLAPPED* overlapped) {
    FileObject* f = AsFile(file);
    DWORD got = 0;
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    if (f == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const std::uint64_t offset = overlapped != nullptr ? OverlappedOffset(overlapped) : f->position;
    if (!ReadAt(f, offset, buffer, bytesToRead, &got)) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    if (overlapped != nullptr) {
        Complete(overlapped, got);
    } else {
        f->position += got;
    }
    if (bytesRead != nullptr) {
        *bytesRead = got;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten, OVERLAPPED* overlapped) {
    FileObject* f = AsFile(file);
    DWORD put = 0;
    if (bytesWritten != nullptr) {
        *bytesWritten = 0;
    }
    if (f == nullptr || f->readOnly) {
        SetLastError(f == nullptr ? ERROR_INVALID_HANDLE : ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const std::uint64_t offset = overlapped != nullptr ? OverlappedOffset(overlapped) : f->position;
    const bool ok = WriteAt(f, offset, buffer, bytesToWrite, &put);
    if (overlapped != nullptr) {
        Complete(overlapped, put);
    } else {
        f->position += put;
    }
    if (bytesWritten != nullptr) {
        *bytesWritten = put;
    }
    if (!ok) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD moveMethod) {
    FileObject* f = AsFile(file);
    if (f == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_SET_FILE_POINTER;
    }
    std::int64_t move = distance;
    if (distanceHigh != nullptr) {
        move = static_cast<std::int64_t>((static_cast<std::uint64_t>(static_cast<std::uint32_t>(*distanceHigh)) << 32) |
                                         static_cast<std::uint32_t>(distance));
    }
    std::int64_t base = 0;
    switch (moveMethod) {
    case FILE_BEGIN:
        base = 0;
        break;
    case FILE_CURRENT:
        base = static_cast<std::int64_t>(f->position);
        break;
    case FILE_END: {
        struct stat st;
        if (::fstat(f->fd, &st) != 0) {
            SetLastError(ErrorFromErrno(errno));
            return INVALID_SET_FILE_POINTER;
        }
        base = st.st_size;
        break;
    }
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    const std::int64_t target = base + move;
    if (target < 0) {
        SetLastError(ERROR_NEGATIVE_SEEK);
        return INVALID_SET_FILE_POINTER;
    }
    f->position = static_cast<std::uint64_t>(target);
    if (distanceHigh != nullptr) {
        *distanceHigh = static_cast<LONG>(f->position >> 32);
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(f->position);
}

DWORD GetFileSize(HANDLE file, DWORD* fileSizeHigh) {
    FileObject* f = AsFile(file);
    struct stat st;
    if (f == nullptr || ::fstat(f->fd, &st) != 0) {
        SetLastError(f == nullptr ? ERROR_INVALID_HANDLE : ErrorFromErrno(errno));
        return INVALID_FILE_SIZE;
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (fileSizeHigh != nullptr) {
        *fileSizeHigh = static_cast<DWORD>(size >> 32);
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size);
}

DWORD GetFileAttributesA(LPCSTR fileName) {
    if (fileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    struct stat st;
    if (::stat(PlatformHostPath(fileName).c_str(), &st) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return INVALID_FILE_ATTRIBUTES;
    }
    SetLastError(ERROR_SUCCESS);
    DWORD attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    if ((st.st_mode & S_IWUSR) == 0) {
        attributes |= FILE_ATTRIBUTE_READONLY;
    }
    return attributes;
}

BOOL CloseHandle(HANDLE object) {
    if (object == nullptr || object == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto* o = static_cast<Object*>(object);
    if (o->kind == Kind::File) {
        auto* f = static_cast<FileObject*>(o);
        ::close(f->fd);
        delete f;
    } else {
        delete static_cast<EventObject*>(o);
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* bytesTransferred, BOOL /*wait*/) {
    if (AsFile(file) == nullptr || overlapped == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Every request completed within its call.
    if (bytesTransferred != nullptr) {
        *bytesTransferred = static_cast<DWORD>(overlapped->InternalHigh);
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

HANDLE CreateEventA(SECURITY_ATTRIBUTES* /*security*/, BOOL manualReset, BOOL initialState, LPCSTR /*name*/) {
    auto* e = new EventObject;
    e->kind = Kind::Event;
    e->manualReset = manualReset != FALSE;
    e->signalled = initialState != FALSE;
    SetLastError(ERROR_SUCCESS);
    return e;
}

void InitializeCriticalSection(CRITICAL_SECTION* section) { section->impl = new std::recursive_mutex; }
void EnterCriticalSection(CRITICAL_SECTION* section) { static_cast<std::recursive_mutex*>(section->impl)->lock(); }
void LeaveCriticalSection(CRITICAL_SECTION* section) { static_cast<std::recursive_mutex*>(section->impl)->unlock(); }
void DeleteCriticalSection(CRITICAL_SECTION* section) {
    delete static_cast<std::recursive_mutex*>(section->impl);
    section->impl = nullptr;
}

DWORD GetCurrentDirectoryA(DWORD bufferChars, char* buffer) {
    std::string dir(4096, '\0');
    while (::getcwd(dir.data(), dir.size()) == nullptr) {
        if (errno != ERANGE || dir.size() > (1u << 20)) {
            SetLastError(ErrorFromErrno(errno));
            return 0;
        }
        dir.resize(dir.size() * 2);
    }
    const std::size_t length = std::strlen(dir.c_str());
    if (buffer == nullptr || length + 1 > bufferChars)
        return static_cast<DWORD>(length + 1);
    std::memcpy(buffer, dir.c_str(), length + 1);
    return static_cast<DWORD>(length);
}

DWORD GetLogicalDrives() { return 0; }

UINT GetDriveTypeA(LPCSTR /*rootPath*/) { return DRIVE_NO_ROOT_DIR; }
