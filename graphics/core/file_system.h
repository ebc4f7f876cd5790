#pragma once
// The file-system manager (named file systems chosen by a device prefix, and fopen-like
// entry points) and the Windows file system over the platform's file calls.

#include "graphics/core/types.h"
#include "platform/win32.h"

struct OvFile;
struct OvFileSystem;

// Access flags built from an fopen mode text.
enum OvFileAccess : OvUInt32 {
    ovFILEACCESSREAD = 0x1,   // reading
    ovFILEACCESSWRITE = 0x2,  // writing
    ovFILEACCESSCREATE = 0x4, // create (not examined by the Windows file system)
    ovFILEACCESSKEEP = 0x8,   // keep contents: open always, positioned at the end
    ovFILEACCESSASYNC = 0x10, // asynchronous operation
};

// States of an open-file record.
enum OvFileState : OvInt32 {
    ovFILESTATEFREE = 1,     // not in use
    ovFILESTATEIDLE = 2,     // open and idle
    ovFILESTATEBUSY = 3,     // an operation is pending
    ovFILESTATEERROR = 4,    // the last operation failed
    ovFILESTATERESERVED = 5, // taken, being opened
};

// Pending operations of an asynchronous file.
enum OvFileOperation : OvInt32 {
    ovFILEOPNONE = 1,
    ovFILEOPOPEN = 2,
    ovFILEOPSEEK = 4,
    ovFILEOPREAD = 5,
};

// Codes of the manager's error callback and of file-system initialisation.
enum OvFSManagerErrorCode : OvInt32 {
    ovFSERRNOFILESYSTEM = 4, // null file system
    ovFSERRTOOMANY = 5,      // too many file systems
    ovFSERRNOTFOUND = 6,     // name not found
    ovFSERRNAMETAKEN = 7,    // name already registered
    ovFSERRNOFILERECORD = 8, // no free open-file record
};

using OvFileCompletionCallBack = void (*)(OvFile* file, OvUInt32 result, OvInt32 state, OvInt32 operation,
                                          void* userData);

// Open-file record of the Windows file system.
struct OvFile {
    OvUInt32 sizeLow;                  // file size at open, low word
    OvUInt32 sizeHigh;                 // file size at open, high word
    OvUInt32 positionLow;              // position, low word (with positionHigh all ones: not set)
    OvUInt32 positionHigh;             // position, high word
    OvUInt32 spare[2];                 // unused
    OvInt32 async;                     // TRUE for an asynchronous file
    OvInt32 opened;                    // 2 once open
    OvInt32 state;                     // OvFileState
    OvInt32 openMarker;                // set to 1 on open
    OvInt32 pendingOp;                 // OvFileOperation
    OvUInt32 result;                   // result of the pending operation (bytes)
    OvFileCompletionCallBack callback; // completion callback, or null
    void* userData;                    // the callback's user data
    OvFileSystem* fileSystem;          // owning file system
    void* spare2;                      // unused
    HANDLE handle;                     // platform file handle
    OVERLAPPED overlapped;             // offset and event of the last asynchronous operation
    HANDLE event;                      // event of the last asynchronous operation, or null
};

// A file system; the manager keeps them in a list, newest first.
struct OvFileSystem {
    OvFileSystem* next;   // next file system of the manager
    OvInt32 maxOpenFiles; // open-file records
    OvInt32 state;        // 2 after initialisation
    char* deviceName;     // owned prefix that selects the file system ("d:") or a directory path
    OvUInt32 flags;       // nonzero: every file is asynchronous
    OvFile* (*fsGetFileByIndex)(OvFileSystem* fs, OvInt32 index);
    void (*fsClose)(OvFileSystem* fs);
    void (*fsRegister)(const char* name);   // registration notice, or null
    void (*fsUnregister)(const char* name); // unregistration notice, or null
    OvInt32 (*fOpen)(OvFileSystem* fs, OvFile* file, const char* name, OvUInt32 access);
    void (*fClose)(OvFile* file);
    OvUInt32 (*fRead)(OvFile* file, void* buffer, OvUInt32 bytes);
    OvUInt32 (*fWrite)(OvFile* file, const void* buffer, OvUInt32 bytes);
    std::uint64_t (*fSeek)(OvFile* file, OvInt32 offset, OvInt32 method); // method 1 begin, 2 current, 3 end
    OvInt32 (*fWait)(OvFile* file, OvBool block);
    void (*fMarkFree)(OvFile* file);
    OvBool (*fEof)(OvFile* file);
    OvInt32 (*fPoll)(OvFile* file);
    OvBool (*fExist)(OvFileSystem* fs, const char* name);
    char name[8];  // up to 7 characters and the terminator
    OvFile* files; // owned array of maxOpenFiles records
};

// The manager's state.
struct OvFSManagerState {
    OvFileSystem* first;                 // newest registered file system
    OvInt32 maxFileSystems;              // 0 or negative: no limit
    OvInt32 numFileSystems;              // registered file systems
    OvBool isOpen;                       // between open and close
    OvUInt32 lastError;                  // platform error of the last call
    void (*errorCallback)(OvInt32 code); // may be null; null after open
    OvFileSystem* defaultFS;             // file system for names without a known prefix
    CRITICAL_SECTION lock;               // held while an open-file record is taken or released
};

OvBool OvFSManagerOpen(OvInt32 maxFileSystems);
// Close every stream and file first: their file records go with the file systems.
void OvFSManagerClose();
OvFSManagerState* OvFSManagerGetState();
OvBool OvFSManagerRegister(OvFileSystem* fs);
OvFileSystem* OvFSManagerFindFileSystem(const char* name);
void OvFSManagerSetDefaultFileSystem(OvFileSystem* fs);
OvFileSystem* OvFSManagerGetDefaultFileSystem();

OvFile* OvFSManagerFopen(const char* name, const char* mode);
OvInt32 OvFSManagerFclose(OvFile* file);
// Whole items read or written (0 for a zero size or count).
OvUInt32 OvFSManagerFread(void* buffer, OvUInt32 size, OvUInt32 count, OvFile* file);
OvUInt32 OvFSManagerFwrite(const void* buffer, OvUInt32 size, OvUInt32 count, OvFile* file);
// Origin 0 begin, 1 current, 2 end: 0; another origin: -1 and no move.
OvInt32 OvFSManagerFseek(OvFile* file, OvInt32 offset, OvInt32 origin);
// Reads a line of at most n - 1 bytes with CR LF folded to LF; null at the end (or n < 2).
char* OvFSManagerFgets(char* buffer, OvInt32 n, OvFile* file);
OvBool OvFSManagerFeof(OvFile* file);
OvBool OvFSManagerFexist(const char* name);

// The longest path, device name included, a Windows file system opens.
inline constexpr OvUInt32 ovFSMAXPATHLENGTH = 255;

// A Windows file system with maxOpenFiles records, ready to register; null when the name is
// taken, longer than 7 characters, or memory runs out.
OvFileSystem* OvWinFSCreate(OvInt32 maxOpenFiles, const char* deviceName, const char* name);
