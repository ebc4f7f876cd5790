// Files over POSIX: Windows names, the case-insensitive fallback, overlapped requests and the
// read-ahead block of read-only handles.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "platform/win32.h"

namespace {

namespace fs = std::filesystem;

class PlatformFileTest : public ::testing::Test {
protected:
    fs::path dir;

    void SetUp() override {
        dir = fs::temp_directory_path() / ("platform_file_" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }

    void TearDown() override { fs::remove_all(dir); }

    void Put(const std::string& name, const std::string& bytes) {
        fs::create_directories((dir / name).parent_path());
        std::ofstream(dir / name, std::ios::binary) << bytes;
    }

    std::string Get(const std::string& name) {
        std::ifstream in(dir / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // The directory written the Windows way, with backslashes.
    std::string WinName(const std::string& rest) {
        std::string name = dir.string() + "\\" + rest;
        for (char& c : name) {
            if (c == '/') {
                c = '\\';
            }
        }
        return name;
    }

    static HANDLE OpenRead(const std::string& name) {
        return CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_READONLY,
                           nullptr);
    }

    static HANDLE OpenWrite(const std::string& name, DWORD disposition) {
        return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    static std::string Read(HANDLE h, DWORD n) {
        std::string out(n, '\0');
        DWORD got = 0;
        EXPECT_TRUE(ReadFile(h, out.data(), n, &got, nullptr));
        out.resize(got);
        return out;
    }

    static std::string ReadAt(HANDLE h, DWORD offset, DWORD n) {
        OVERLAPPED overlapped = {};
        overlapped.Offset = offset;
        std::string out(n, '\0');
        DWORD got = 0;
        EXPECT_TRUE(ReadFile(h, out.data(), n, &got, &overlapped));
        out.resize(got);
        return out;
    }

    static void WriteAt(HANDLE h, DWORD offset, const std::string& bytes) {
        OVERLAPPED overlapped = {};
        overlapped.Offset = offset;
        DWORD put = 0;
        EXPECT_TRUE(WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &put, &overlapped));
        EXPECT_EQ(put, bytes.size());
    }
};

TEST_F(PlatformFileTest, BackslashesAndCaseFoldPerComponent) {
    Put("Models/Textures/Brick.BMP", "BM");
    Put("Models/readme.txt", "r");
    // Each component is matched on its own: folders and file in any case, either separator.
    for (const char* name :
         {"Models\\Textures\\Brick.BMP", "MODELS\\TEXTURES\\BRICK.BMP", "models/textures\\brick.bmp"}) {
        HANDLE h = OpenRead(WinName(name));
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(Read(h, 8), "BM");
        EXPECT_TRUE(CloseHandle(h));
    }
    EXPECT_EQ(GetFileAttributesA(WinName("MODELS\\textures").c_str()), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributesA(WinName("models\\README.TXT").c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    // A component that exists in no case fails the whole name, whatever follows it.
    EXPECT_EQ(GetFileAttributesA(WinName("models\\texture\\brick.bmp").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenRead(WinName("nomodels\\Textures\\Brick.BMP")), INVALID_HANDLE_VALUE);
    // A folder is not a file to open.
    EXPECT_EQ(OpenRead(WinName("models\\textures")), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    // A new file goes into the folders found without regard to case, under the name as written.
    HANDLE h = OpenWrite(WinName("MODELS\\TEXTURES\\New.Dat"), CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_TRUE(fs::exists(dir / "Models" / "Textures" / "New.Dat"));
    // Creating over a file that exists in another case opens (and truncates) that file.
    h = OpenWrite(WinName("models\\readme.TXT"), CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(Get("Models/readme.txt"), "");
    EXPECT_FALSE(fs::exists(dir / "Models" / "readme.TXT"));

    // The exact name wins over another case of it.
    Put("pair/a.txt", "lower");
    Put("pair/A.TXT", "upper");
    h = OpenRead(WinName("pair\\A.TXT"));
    EXPECT_EQ(Read(h, 8), "upper");
    CloseHandle(h);
    h = OpenRead(WinName("PAIR\\a.txt"));
    EXPECT_EQ(Read(h, 8), "lower");
    CloseHandle(h);
}

TEST_F(PlatformFileTest, DispositionsPositionsAndErrors) {
    const std::string name = WinName("f.bin");
    EXPECT_EQ(OpenRead(name), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenWrite(name, OPEN_EXISTING), INVALID_HANDLE_VALUE);

    HANDLE h = OpenWrite(name, OPEN_ALWAYS); // creates
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD put = 0;
    ASSERT_TRUE(WriteFile(h, "0123456789", 10, &put, nullptr));
    EXPECT_EQ(put, 10u);
    DWORD high = 1;
    EXPECT_EQ(GetFileSize(h, &high), 10u);
    EXPECT_EQ(high, 0u);
    EXPECT_EQ(SetFilePointer(h, -4, nullptr, FILE_END), 6u);
    EXPECT_EQ(Read(h, 10), "6789");
    // A seek before the start fails and leaves the position.
    EXPECT_EQ(SetFilePointer(h, -11, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 10u);
    // Past the end: reads give nothing, a write fills the gap with zeros.
    EXPECT_EQ(SetFilePointer(h, 12, nullptr, FILE_BEGIN), 12u);
    EXPECT_EQ(Read(h, 4), "");
    ASSERT_TRUE(WriteFile(h, "x", 1, &put, nullptr));
    CloseHandle(h);
    EXPECT_EQ(Get("f.bin"), std::string("0123456789\0\0x", 13));

    // OPEN_ALWAYS keeps the contents, CREATE_ALWAYS truncates.
    h = OpenWrite(name, OPEN_ALWAYS);
    EXPECT_EQ(GetFileSize(h, nullptr), 13u);
    CloseHandle(h);
    h = OpenWrite(name, CREATE_ALWAYS);
    EXPECT_EQ(GetFileSize(h, nullptr), 0u);
    CloseHandle(h);

    // A handle opened for reading only refuses writes.
    h = OpenRead(name);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(WriteFile(h, "y", 1, &put, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(put, 0u);
    CloseHandle(h);
}

TEST_F(PlatformFileTest, OverlappedRequestsCompleteAtTheirOffsetAndLeaveThePosition) {
    Put("o.bin", "abcdefghij");
    HANDLE h = OpenWrite(WinName("o.bin"), OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);

    OVERLAPPED overlapped = {};
    overlapped.Offset = 6;
    overlapped.hEvent = event;
    char buffer[8] = {};
    DWORD got = 99;
    ASSERT_TRUE(ReadFile(h, buffer, 8, &got, &overlapped));
    EXPECT_EQ(got, 4u); // cut at the end of the file
    EXPECT_EQ(std::string(buffer, 4), "ghij");
    DWORD done = 0;
    ASSERT_TRUE(GetOverlappedResult(h, &overlapped, &done, FALSE));
    EXPECT_EQ(done, 4u);
    EXPECT_EQ(overlapped.Internal, 0u);
    // The handle's own position did not move.
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 0u);
    EXPECT_EQ(Read(h, 2), "ab");

    WriteAt(h, 8, "XYZ"); // grows the file
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 2u);
    EXPECT_EQ(ReadAt(h, 7, 10), "hXYZ");
    // An offset in the high word is honoured too.
    OVERLAPPED far = {};
    far.OffsetHigh = 1;
    EXPECT_TRUE(ReadFile(h, buffer, 4, &got, &far));
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(CloseHandle(event));
    CloseHandle(h);
    EXPECT_EQ(Get("o.bin"), "abcdefghXYZ");
}

TEST_F(PlatformFileTest, ReadAheadNeverShowsBytesOlderThanAWrite) {
    // Larger than one read-ahead block, with a position-dependent pattern.
    std::string content(200000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    }
    Put("big.bin", content);
    const std::string name = WinName("big.bin");
    HANDLE reader = OpenRead(name);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);

    // Small reads, across block boundaries, reads larger than a block, some starting in bytes the
    // block holds, and the small reads after them all see the file.
    std::string seen;
    const DWORD sizes[] = {1, 3, 12, 4, 65536, 7, 100000, 13, 70000, 5, 40000, 2, 6000, 9000};
    for (DWORD size : sizes) {
        seen += Read(reader, size);
    }
    while (seen.size() < content.size()) {
        const std::string piece = Read(reader, 4093);
        ASSERT_FALSE(piece.empty());
        seen += piece;
    }
    EXPECT_EQ(seen, content);
    EXPECT_EQ(Read(reader, 4), "");

    // Bytes the reader has already cached change through another handle: a plain write...
    SetFilePointer(reader, 0, nullptr, FILE_BEGIN);
    EXPECT_EQ(Read(reader, 4), content.substr(0, 4));
    HANDLE writer = OpenWrite(name, OPEN_EXISTING);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    SetFilePointer(writer, 4, nullptr, FILE_BEGIN);
    DWORD put = 0;
    ASSERT_TRUE(WriteFile(writer, "1234", 4, &put, nullptr));
    EXPECT_EQ(Read(reader, 4), "1234");
    // ... an overlapped write ...
    WriteAt(writer, 8, "5678");
    EXPECT_EQ(ReadAt(reader, 8, 4), "5678");
    EXPECT_EQ(Read(reader, 4), "5678");
    CloseHandle(writer);
    // ... and a truncation by a new open.
    writer = OpenWrite(name, CREATE_ALWAYS);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Read(reader, 4), "");
    EXPECT_EQ(ReadAt(reader, 0, 4), "");
    ASSERT_TRUE(WriteFile(writer, "new", 3, &put, nullptr));
    EXPECT_EQ(ReadAt(reader, 0, 8), "new");
    CloseHandle(writer);
    CloseHandle(reader);
}

TEST(PlatformCriticalSection, MayBeEnteredAgainByItsHolder) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);
    LeaveCriticalSection(&section);
    LeaveCriticalSection(&section);
    DeleteCriticalSection(&section);
    EXPECT_EQ(section.impl, nullptr);
}

} // namespace
