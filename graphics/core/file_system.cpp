#include "graphics/core/file_system.h"

#include <cstring>

#include "graphics/core/engine.h"
#include "platform/crt.h"

namespace {

constexpr OvUInt32 kFSHint = 0x401BE;
constexpr std::size_t kMaxPath = ovFSMAXPATHLENGTH;
constexpr std::size_t kMaxFSName = 7;
constexpr OvUInt32 kPositionNotSet = 0xFFFFFFFFu;

OvFSManagerState gFS = {};

void Report(OvInt32 code) {
    if (gFS.errorCallback != nullptr) {
        gFS.errorCallback(code);
    }
}

void RecordLastError() { gFS.lastError = GetLastError(); }

// File system of that name (compared exactly); a failed lookup is reported as 6.
OvFileSystem* FindByName(const char* name) {
    for (OvFileSystem* fs = gFS.first; fs != nullptr; fs = fs->next) {
        if (std::strcmp(fs->name, name) == 0) {
            return fs;
        }
    }
    Report(ovFSERRNOTFOUND);
    return nullptr;
}

bool HasRoom() {
    if (gFS.maxFileSystems >= 1 && gFS.numFileSystems + 1 > gFS.maxFileSystems) {
        Report(ovFSERRTOOMANY);
        return false;
    }
    return true;
}

// The file system selected by the name's device prefix, else the default one.
OvFileSystem* ChooseFileSystem(const char* name) {
    if (gFS.first == nullptr) {
        Report(ovFSERRNOTFOUND);
        return nullptr;
    }
    for (const char* colon = std::strchr(name, ':'); colon != nullptr; colon = std::strchr(colon + 1, ':')) {
        const std::size_t prefixLength = static_cast<std::size_t>(colon - name) + 1;
        for (OvFileSystem* fs = gFS.first; fs != nullptr; fs = fs->next) {
            if (std::strlen(fs->deviceName) == prefixLength && _strnicmp(name, fs->deviceName, prefixLength) == 0) {
                return fs;
            }
        }
    }
    if (gFS.defaultFS == nullptr) {
        Report(ovFSERRNOTFOUND);
    }
    return gFS.defaultFS;
}

OvUInt32 AccessFromMode(const char* mode) {
    const bool plus = std::strchr(mode, '+') != nullptr;
    OvUInt32 access = 0;
    if (std::strchr(mode, 'r') != nullptr) {
        access = plus ? (ovFILEACCESSREAD | ovFILEACCESSWRITE | ovFILEACCESSKEEP) : ovFILEACCESSREAD;
    }
    if (std::strchr(mode, 'w') != nullptr) {
        access |= ovFILEACCESSWRITE | ovFILEACCESSCREATE;
        if (plus) {
            access |= ovFILEACCESSREAD;
        }
    }
    if (std::strchr(mode, 'a') != nullptr) {
        access |= ovFILEACCESSWRITE | ovFILEACCESSKEEP;
        if (plus) {
            access |= ovFILEACCESSREAD;
        }
        if (std::strchr(mode, 'b') != nullptr) {
            access |= ovFILEACCESSCREATE;
        }
    }
    return access;
}

OvFile* OpenOnFileSystem(OvFileSystem* fs, const char* name, OvUInt32 access, OvFileCompletionCallBack callback,
                         void* userData) {
    if (fs == nullptr) {
        Report(ovFSERRNOFILESYSTEM);
        return nullptr;
    }
    OvFile* file = nullptr;
    EnterCriticalSection(&gFS.lock);
    for (OvInt32 i = 0;; ++i) {
        OvFile* candidate = fs->fsGetFileByIndex(fs, i);
        if (candidate == nullptr) {
            break;
        }
        if (candidate->state == ovFILESTATEFREE) {
            candidate->state = ovFILESTATERESERVED;
            file = candidate;
            break;
        }
    }
    LeaveCriticalSection(&gFS.lock);
    if (file == nullptr) {
        gFS.lastError = ovFSERRNOFILERECORD;
        Report(ovFSERRNOFILERECORD);
        return nullptr;
    }
    if ((access & ovFILEACCESSASYNC) || file->async || fs->flags != 0) {
        if (fs->flags != 0) {
            access |= ovFILEACCESSASYNC;
        }
        file->pendingOp = ovFILEOPOPEN;
        file->callback = callback;
        file->userData = userData;
    }
    if (fs->fOpen(fs, file, name, access) == 1) {
        file->opened = 2;
        return file;
    }
    EnterCriticalSection(&gFS.lock);
    file->state = ovFILESTATEFREE;
    LeaveCriticalSection(&gFS.lock);
    return nullptr;
}

// ----- The Windows file system -----

// Device name followed by the name without its device prefix, separators made '\'; false
// when longer than 255 characters.
bool BuildPath(const OvFileSystem* fs, const char* name, char* path) {
    const char* colon = std::strchr(name, ':');
    const char* rest = colon != nullptr ? colon + 1 : name;
    const std::size_t deviceLength = std::strlen(fs->deviceName);
    const std::size_t restLength = std::strlen(rest);
    if (deviceLength + restLength > kMaxPath) {
        return false;
    }
    std::memcpy(path, fs->deviceName, deviceLength);
    std::memcpy(path + deviceLength, rest, restLength + 1);
    for (char* p = path; *p != 0; ++p) {
        if (*p == '/') {
            *p = '\\';
        }
    }
    return true;
}

std::uint64_t Position(const OvFile* file) {
    return (static_cast<std::uint64_t>(file->positionHigh) << 32) | file->positionLow;
}

void SetPosition(OvFile* file, std::uint64_t position) {
    file->positionLow = static_cast<OvUInt32>(position);
    file->positionHigh = static_cast<OvUInt32>(position >> 32);
}

void CompletionNotice(OvFile* file) {
    if (file->async && file->pendingOp != ovFILEOPNONE && file->callback != nullptr) {
        const OvInt32 operation = file->pendingOp;
        file->pendingOp = ovFILEOPNONE;
        const OvUInt32 result = operation == ovFILEOPSEEK ? file->positionLow : file->result;
        file->callback(file, result, file->state, operation, file->userData);
    } else {
        file->pendingOp = ovFILEOPNONE;
    }
}

void CloseEvent(OvFile* file) {
    if (file->event != nullptr) {
        CloseHandle(file->event);
        file->event = nullptr;
    }
}

std::uint64_t WinSeek(OvFile* file, OvInt32 offset, OvInt32 method) {
    const DWORD moveMethod = method == 1 ? FILE_BEGIN : method == 2 ? FILE_CURRENT : FILE_END;
    const DWORD low = SetFilePointer(file->handle, offset, nullptr, moveMethod);
    RecordLastError();
    file->positionLow = low;
    file->positionHigh = 0;
    return Position(file);
}

OvInt32 WinOpen(OvFileSystem* fs, OvFile* file, const char* name, OvUInt32 access) {
    char path[kMaxPath + 1];
    if (!BuildPath(fs, name, path)) {
        return 5;
    }
    DWORD attributes = 0;
    if (access & ovFILEACCESSASYNC) {
        attributes = FILE_FLAG_OVERLAPPED | FILE_FLAG_NO_BUFFERING;
        file->async = TRUE;
        file->state = ovFILESTATEBUSY;
    } else {
        file->async = FALSE;
    }
    DWORD share = 0;
    DWORD desired = 0;
    DWORD disposition = 0;
    if (access & ovFILEACCESSWRITE) {
        share = FILE_SHARE_WRITE;
        desired = GENERIC_WRITE;
        disposition = (access & ovFILEACCESSKEEP) ? OPEN_ALWAYS : CREATE_ALWAYS;
        if (!file->async) {
            attributes = FILE_ATTRIBUTE_NORMAL;
        }
    } else {
        disposition = OPEN_EXISTING;
        attributes |= FILE_ATTRIBUTE_READONLY;
    }
    if (access & ovFILEACCESSREAD) {
        desired = (access & ovFILEACCESSWRITE) ? (GENERIC_READ | GENERIC_WRITE) : GENERIC_READ;
        share = (access & ovFILEACCESSWRITE) ? (FILE_SHARE_READ | FILE_SHARE_WRITE) : FILE_SHARE_READ;
    }
    file->handle = CreateFileA(path, desired, share, nullptr, disposition, attributes, nullptr);
    if (file->handle == INVALID_HANDLE_VALUE) {
        RecordLastError();
        return 3;
    }
    if (!file->async) {
        file->state = ovFILESTATEIDLE;
    }
    SetPosition(file, 0);
    DWORD sizeHigh = 0;
    file->sizeLow = GetFileSize(file->handle, &sizeHigh);
    file->sizeHigh = sizeHigh;
    if (access & ovFILEACCESSKEEP) {
        file->positionLow = SetFilePointer(file->handle, 0, nullptr, FILE_END);
        file->positionHigh = 0;
    }
    file->openMarker = 1;
    RecordLastError();
    return 1;
}

void WinClose(OvFile* file) {
    file->state = ovFILESTATEFREE;
    if (file->handle != nullptr && file->handle != INVALID_HANDLE_VALUE) {
        CloseHandle(file->handle);
    }
    file->handle = INVALID_HANDLE_VALUE;
    CloseEvent(file);
}

// Starts an overlapped read or write at the file's position; completes at once when the
// platform does.
OvUInt32 WinAsyncTransfer(OvFile* file, void* readBuffer, const void* writeBuffer, OvUInt32 bytes) {
    CloseEvent(file);
    file->event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    file->overlapped = {};
    file->overlapped.Offset = file->positionLow;
    file->overlapped.OffsetHigh = file->positionHigh;
    file->overlapped.hEvent = file->event;
    DWORD done = 0;
    const BOOL ok = readBuffer != nullptr ? ReadFile(file->handle, readBuffer, bytes, &done, &file->overlapped)
                                          : WriteFile(file->handle, writeBuffer, bytes, &done, &file->overlapped);
    RecordLastError();
    if (ok) {
        WinSeek(file, static_cast<OvInt32>(done), 2);
        file->result = done;
        file->state = ovFILESTATEIDLE;
        CompletionNotice(file);
        return done;
    }
    const DWORD error = GetLastError();
    file->state = (error == ERROR_IO_PENDING || error == ERROR_SUCCESS) ? ovFILESTATEBUSY : ovFILESTATEERROR;
    return 0;
}

// A synchronous read (readBuffer) or write at the file's position.
OvUInt32 WinSyncTransfer(OvFile* file, void* readBuffer, const void* writeBuffer, OvUInt32 bytes) {
    file->state = ovFILESTATEBUSY;
    DWORD done = 0;
    const BOOL ok = readBuffer != nullptr ? ReadFile(file->handle, readBuffer, bytes, &done, nullptr)
                                          : WriteFile(file->handle, writeBuffer, bytes, &done, nullptr);
    if (ok) {
        SetPosition(file, Position(file) + done);
        file->state = ovFILESTATEIDLE;
    } else {
        file->state = ovFILESTATEERROR;
    }
    RecordLastError();
    return done;
}

OvUInt32 WinRead(OvFile* file, void* buffer, OvUInt32 bytes) {
    if (file->async) {
        file->pendingOp = ovFILEOPREAD;
    }
    // A read needs an idle file: after a failed read every later one returns nothing.
    if (file->state != ovFILESTATEIDLE) {
        return 0;
    }
    return file->async ? WinAsyncTransfer(file, buffer, nullptr, bytes) : WinSyncTransfer(file, buffer, nullptr, bytes);
}

OvUInt32 WinWrite(OvFile* file, const void* buffer, OvUInt32 bytes) {
    if (file->async) {
        file->pendingOp = ovFILEOPREAD; // writes complete through the same path as reads
        return WinAsyncTransfer(file, nullptr, buffer, bytes);
    }
    return WinSyncTransfer(file, nullptr, buffer, bytes);
}

OvInt32 WinWait(OvFile* file, OvBool block) {
    if (!file->async || file->state != ovFILESTATEBUSY) {
        return file->state;
    }
    if (file->pendingOp == ovFILEOPREAD) {
        DWORD done = 0;
        if (!GetOverlappedResult(file->handle, &file->overlapped, &done, block)) {
            const DWORD error = GetLastError();
            RecordLastError();
            if (error == ERROR_IO_PENDING || error == ERROR_IO_INCOMPLETE || error == ERROR_SUCCESS) {
                return ovFILESTATEBUSY;
            }
            file->result = 0;
            file->state = ovFILESTATEERROR;
            CompletionNotice(file);
            return file->state;
        }
        WinSeek(file, static_cast<OvInt32>(done), 2);
        file->result = done;
    }
    file->state = ovFILESTATEIDLE;
    CompletionNotice(file);
    return file->state;
}

OvInt32 WinPoll(OvFile* file) { return WinWait(file, file->state == ovFILESTATEFREE ? TRUE : FALSE); }

void WinMarkFree(OvFile* file) { file->state = ovFILESTATEFREE; }

OvBool WinEof(OvFile* file) {
    if (file->positionLow == kPositionNotSet && file->positionHigh == kPositionNotSet) {
        return TRUE;
    }
    const auto posHigh = static_cast<OvInt32>(file->positionHigh);
    const auto sizeHigh = static_cast<OvInt32>(file->sizeHigh);
    if (posHigh > sizeHigh) {
        return TRUE;
    }
    return posHigh == sizeHigh && file->positionLow >= file->sizeLow ? TRUE : FALSE;
}

OvBool WinExist(OvFileSystem* fs, const char* name) {
    char path[kMaxPath + 1];
    if (!BuildPath(fs, name, path)) {
        return FALSE;
    }
    const DWORD attributes = GetFileAttributesA(path);
    RecordLastError();
    return attributes != INVALID_FILE_ATTRIBUTES ? TRUE : FALSE;
}

OvFile* WinGetFileByIndex(OvFileSystem* fs, OvInt32 index) {
    return index >= 0 && index < fs->maxOpenFiles ? &fs->files[index] : nullptr;
}

void WinFSClose(OvFileSystem* fs) {
    // Files still open when the file system goes are closed with it.
    for (OvInt32 i = 0; i < fs->maxOpenFiles; ++i) {
        OvFile* file = &fs->files[i];
        if (file->state != ovFILESTATEFREE) {
            WinClose(file);
        }
    }
    OvFree(fs->files);
    fs->files = nullptr;
}

// Returns 1, or 2 (no room), 6 (name taken), 7 (device taken), 0 (no memory).
OvInt32 InitFileSystem(OvFileSystem* fs, OvInt32 maxOpenFiles, const char* name, const char* deviceName) {
    if (!HasRoom()) {
        return 2;
    }
    if (FindByName(name) != nullptr) {
        Report(ovFSERRNAMETAKEN);
        return 6;
    }
    std::strcpy(fs->name, name);
    fs->maxOpenFiles = maxOpenFiles;
    fs->flags = 0;
    for (OvInt32 i = 0; i < maxOpenFiles; ++i) {
        fs->files[i].state = ovFILESTATEFREE;
        fs->files[i].async = static_cast<OvInt32>(fs->flags);
    }
    for (OvFileSystem* other = gFS.first; other != nullptr; other = other->next) {
        if (OvStringCompareNoCase(other->deviceName, deviceName) == 0) {
            return 7;
        }
    }
    const std::size_t length = std::strlen(deviceName) + 1;
    fs->deviceName = static_cast<char*>(OvMalloc(length, kFSHint));
    if (fs->deviceName == nullptr) {
        return 0;
    }
    std::memcpy(fs->deviceName, deviceName, length);
    fs->state = 2;
    fs->fsRegister = nullptr;
    fs->fsUnregister = nullptr;
    return 1;
}

} // namespace

OvBool OvFSManagerOpen(OvInt32 maxFileSystems) {
    if (gFS.isOpen) {
        return TRUE;
    }
    gFS.first = nullptr;
    gFS.maxFileSystems = maxFileSystems;
    gFS.numFileSystems = 0;
    gFS.lastError = 0;
    gFS.errorCallback = nullptr;
    gFS.defaultFS = nullptr;
    InitializeCriticalSection(&gFS.lock);
    gFS.isOpen = TRUE;
    return TRUE;
}

void OvFSManagerClose() {
    if (!gFS.isOpen) {
        return;
    }
    OvFileSystem* fs = gFS.first;
    while (fs != nullptr) {
        OvFileSystem* next = fs->next;
        fs->fsClose(fs);
        OvFree(fs->deviceName);
        if (fs->fsUnregister != nullptr) {
            fs->fsUnregister(fs->name);
        }
        OvFree(fs);
        fs = next;
    }
    DeleteCriticalSection(&gFS.lock);
    gFS.first = nullptr;
    gFS.defaultFS = nullptr;
    gFS.isOpen = FALSE;
    gFS.numFileSystems = 0;
}

OvFSManagerState* OvFSManagerGetState() { return &gFS; }

OvBool OvFSManagerRegister(OvFileSystem* fs) {
    if (fs == nullptr || !gFS.isOpen || !HasRoom()) {
        return FALSE;
    }
    if (FindByName(fs->name) != nullptr) {
        return FALSE;
    }
    if (fs->fsRegister != nullptr) {
        fs->fsRegister(fs->name);
    }
    fs->next = gFS.first;
    gFS.first = fs;
    gFS.numFileSystems++;
    return TRUE;
}

OvFileSystem* OvFSManagerFindFileSystem(const char* name) { return name != nullptr ? FindByName(name) : nullptr; }

void OvFSManagerSetDefaultFileSystem(OvFileSystem* fs) { gFS.defaultFS = fs; }
OvFileSystem* OvFSManagerGetDefaultFileSystem() { return gFS.defaultFS; }

OvFile* OvFSManagerFopen(const char* name, const char* mode) {
    if (name == nullptr || mode == nullptr || !gFS.isOpen) {
        return nullptr;
    }
    OvFileSystem* fs = ChooseFileSystem(name);
    if (fs == nullptr) {
        return nullptr;
    }
    return OpenOnFileSystem(fs, name, AccessFromMode(mode), nullptr, nullptr);
}

OvInt32 OvFSManagerFclose(OvFile* file) {
    if (file == nullptr) {
        return -1;
    }
    EnterCriticalSection(&gFS.lock);
    file->state = ovFILESTATEFREE;
    file->fileSystem->fClose(file);
    LeaveCriticalSection(&gFS.lock);
    return 0;
}

OvUInt32 OvFSManagerFread(void* buffer, OvUInt32 size, OvUInt32 count, OvFile* file) {
    const std::uint64_t bytes = static_cast<std::uint64_t>(size) * count;
    if (file == nullptr || bytes == 0 || bytes > 0xFFFFFFFFu) {
        return 0;
    }
    return file->fileSystem->fRead(file, buffer, static_cast<OvUInt32>(bytes)) / size;
}

OvUInt32 OvFSManagerFwrite(const void* buffer, OvUInt32 size, OvUInt32 count, OvFile* file) {
    const std::uint64_t bytes = static_cast<std::uint64_t>(size) * count;
    if (file == nullptr || bytes == 0 || bytes > 0xFFFFFFFFu) {
        return 0;
    }
    return file->fileSystem->fWrite(file, buffer, static_cast<OvUInt32>(bytes)) / size;
}

OvInt32 OvFSManagerFseek(OvFile* file, OvInt32 offset, OvInt32 origin) {
    if (file == nullptr || origin < 0 || origin > 2) {
        return -1;
    }
    if (file->async) {
        file->pendingOp = ovFILEOPSEEK;
        file->state = ovFILESTATEBUSY;
    }
    file->fileSystem->fSeek(file, offset, origin + 1);
    return 0;
}

char* OvFSManagerFgets(char* buffer, OvInt32 n, OvFile* file) {
    if (buffer == nullptr || file == nullptr || n < 2) {
        return nullptr;
    }
    OvUInt32 count = file->fileSystem->fRead(file, buffer, static_cast<OvUInt32>(n - 1));
    if (count == 0) {
        return nullptr;
    }
    for (OvUInt32 i = 0; i < count; ++i) {
        if (buffer[i] == '\r' && i + 1 < count && buffer[i + 1] == '\n') {
            std::memmove(buffer + i, buffer + i + 1, count - i - 1);
            count--;
        }
        if (buffer[i] == '\n') {
            buffer[i + 1] = 0;
            const OvUInt32 after = count - i - 1;
            if (after > 0) {
                if (file->async) {
                    file->pendingOp = ovFILEOPSEEK;
                    file->state = ovFILESTATEBUSY;
                }
                file->fileSystem->fSeek(file, -static_cast<OvInt32>(after), 2);
            }
            return buffer;
        }
    }
    buffer[count] = 0;
    return buffer;
}

OvBool OvFSManagerFeof(OvFile* file) { return file == nullptr ? TRUE : file->fileSystem->fEof(file); }

OvBool OvFSManagerFexist(const char* name) {
    if (name == nullptr || !gFS.isOpen) {
        return FALSE;
    }
    OvFileSystem* fs = ChooseFileSystem(name);
    return fs != nullptr ? fs->fExist(fs, name) : FALSE;
}

OvFileSystem* OvWinFSCreate(OvInt32 maxOpenFiles, const char* deviceName, const char* name) {
    // The name lives in an 8-byte field.
    if (name == nullptr || deviceName == nullptr || maxOpenFiles < 0 || std::strlen(name) > kMaxFSName) {
        return nullptr;
    }
    for (OvFileSystem* fs = gFS.first; fs != nullptr; fs = fs->next) {
        if (std::strcmp(fs->name, name) == 0) {
            return nullptr;
        }
    }
    auto* fs = static_cast<OvFileSystem*>(OvCalloc(1, sizeof(OvFileSystem), kFSHint));
    if (fs == nullptr) {
        return nullptr;
    }
    fs->fsGetFileByIndex = WinGetFileByIndex;
    fs->fsClose = WinFSClose;
    fs->fOpen = WinOpen;
    fs->fClose = WinClose;
    fs->fRead = WinRead;
    fs->fWrite = WinWrite;
    fs->fSeek = WinSeek;
    fs->fWait = WinWait;
    fs->fMarkFree = WinMarkFree;
    fs->fEof = WinEof;
    fs->fPoll = WinPoll;
    fs->fExist = WinExist;
    fs->files = static_cast<OvFile*>(
        OvCalloc(maxOpenFiles > 0 ? static_cast<std::size_t>(maxOpenFiles) : 1, sizeof(OvFile), kFSHint));
    if (fs->files == nullptr) {
        OvFree(fs);
        return nullptr;
    }
    for (OvInt32 i = 0; i < maxOpenFiles; ++i) {
        fs->files[i].fileSystem = fs;
        fs->files[i].handle = INVALID_HANDLE_VALUE;
    }
    if (InitFileSystem(fs, maxOpenFiles, name, deviceName) != 1) {
        OvFree(fs->files);
        OvFree(fs->deviceName);
        OvFree(fs);
        return nullptr;
    }
    return fs;
}
