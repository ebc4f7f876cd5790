// The file-system manager and the Windows file system over the platform's files.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "graphics/core/file_system.h"
#include "graphics/core/testkit/engine_fixture.h"

namespace {

namespace fs = std::filesystem;

std::vector<OvInt32> gReports;

class FileSystemTest : public ::testing::Test {
protected:
    fs::path dir;
    OvFileSystem* unc = nullptr;

    void SetUp() override {
        ASSERT_TRUE(OvTestEngineUp());
        OvFSManagerClose(); // this test builds its own file systems
        dir = fs::temp_directory_path() / ("gfx_core_fs_" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        gReports.clear();
        ASSERT_TRUE(OvFSManagerOpen(0));
        OvFSManagerGetState()->errorCallback = [](OvInt32 code) { gReports.push_back(code); };
        // The device as the shell builds it: a directory followed by a backslash.
        unc = OvWinFSCreate(20, (dir.string() + "\\").c_str(), "unc");
        ASSERT_NE(unc, nullptr);
        ASSERT_TRUE(OvFSManagerRegister(unc));
        OvFSManagerSetDefaultFileSystem(unc);
        gReports.clear();
    }

    void TearDown() override {
        OvFSManagerClose();
        fs::remove_all(dir);
        EXPECT_TRUE(OvTestEngineDown());
    }

    void Put(const std::string& name, const std::string& bytes) {
        fs::create_directories((dir / name).parent_path());
        std::ofstream(dir / name, std::ios::binary) << bytes;
    }

    std::string Get(const std::string& name) {
        std::ifstream in(dir / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

TEST_F(FileSystemTest, WriteReadAndEndOfFile) {
    OvFile* out = OvFSManagerFopen("data\\..\\out.bin", "wb");
    ASSERT_EQ(out, nullptr); // the folder does not exist
    out = OvFSManagerFopen("out.bin", "wb");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(OvFSManagerFwrite("abcdefgh", 4, 2, out), 2u);
    EXPECT_EQ(OvFSManagerFwrite("xyz", 0, 3, out), 0u); // a zero size writes nothing
    // The size is the one taken at open: writing does not change it.
    EXPECT_TRUE(OvFSManagerFeof(out));
    EXPECT_EQ(OvFSManagerFclose(out), 0);
    EXPECT_EQ(Get("out.bin"), "abcdefgh");

    OvFile* in = OvFSManagerFopen("out.bin", "rb");
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(in->sizeLow, 8u);
    char buffer[16] = {};
    EXPECT_EQ(OvFSManagerFread(buffer, 3, 2, in), 2u);
    EXPECT_EQ(std::string(buffer, 6), "abcdef");
    EXPECT_FALSE(OvFSManagerFeof(in));
    EXPECT_EQ(OvFSManagerFread(buffer, 3, 1, in), 0u); // two bytes are not a whole item
    EXPECT_TRUE(OvFSManagerFeof(in));
    EXPECT_EQ(OvFSManagerFseek(in, 2, 0), 0);
    EXPECT_EQ(OvFSManagerFread(buffer, 1, 3, in), 3u);
    EXPECT_EQ(std::string(buffer, 3), "cde");
    EXPECT_EQ(OvFSManagerFseek(in, 1, 3), -1); // unknown origin: no move
    EXPECT_EQ(in->positionLow, 5u);
    EXPECT_EQ(OvFSManagerFseek(in, -2, 2), 0);
    EXPECT_EQ(in->positionLow, 6u);
    EXPECT_EQ(OvFSManagerFseek(in, -1, 1), 0);
    EXPECT_EQ(in->positionLow, 5u);
    EXPECT_EQ(OvFSManagerFwrite("q", 1, 1, in), 0u); // opened for reading
    EXPECT_EQ(OvFSManagerFclose(in), 0);
    EXPECT_EQ(OvFSManagerFopen("missing.bin", "rb"), nullptr);
}

TEST_F(FileSystemTest, ModeTextKeepsItsQuirks) {
    Put("keep.txt", "1234");
    // r+ reads and writes, keeps the contents and starts at the end.
    OvFile* f = OvFSManagerFopen("keep.txt", "r+");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->positionLow, 4u);
    EXPECT_EQ(OvFSManagerFwrite("56", 1, 2, f), 2u);
    OvFSManagerFseek(f, 0, 0);
    char buffer[8] = {};
    EXPECT_EQ(OvFSManagerFread(buffer, 1, 6, f), 6u);
    EXPECT_EQ(std::string(buffer, 6), "123456");
    OvFSManagerFclose(f);
    // ... and creates a file that is missing.
    f = OvFSManagerFopen("new.txt", "r+");
    ASSERT_NE(f, nullptr);
    OvFSManagerFclose(f);
    EXPECT_TRUE(fs::exists(dir / "new.txt"));
    // "ab" keeps the contents and writes at the end; "wb" truncates.
    f = OvFSManagerFopen("keep.txt", "ab");
    ASSERT_NE(f, nullptr);
    OvFSManagerFwrite("7", 1, 1, f);
    OvFSManagerFclose(f);
    EXPECT_EQ(Get("keep.txt"), "1234567");
    f = OvFSManagerFopen("keep.txt", "wb");
    OvFSManagerFclose(f);
    EXPECT_EQ(Get("keep.txt"), "");
}

TEST_F(FileSystemTest, FgetsFoldsCrLfWithinTheBytesRead) {
    Put("lines.txt", std::string("ab\r\ncd", 6));
    OvFile* f = OvFSManagerFopen("lines.txt", "rb");
    char line[16];
    ASSERT_EQ(OvFSManagerFgets(line, 16, f), line);
    EXPECT_STREQ(line, "ab\n");
    EXPECT_EQ(f->positionLow, 4u); // at c
    ASSERT_EQ(OvFSManagerFgets(line, 16, f), line);
    EXPECT_STREQ(line, "cd");
    EXPECT_EQ(OvFSManagerFgets(line, 16, f), nullptr);
    EXPECT_TRUE(OvFSManagerFeof(f));
    EXPECT_EQ(OvFSManagerFgets(line, 1, f), nullptr);
    EXPECT_EQ(OvFSManagerFgets(line, 0, f), nullptr);
    OvFSManagerFclose(f);

    // A CR as the last byte read stays; long lines come in pieces.
    Put("cr.txt", "abc\r\nxy\nlonger line\n");
    f = OvFSManagerFopen("cr.txt", "rb");
    std::vector<std::string> got;
    while (OvFSManagerFgets(line, 5, f) != nullptr) {
        got.push_back(line);
    }
    EXPECT_EQ(got, (std::vector<std::string>{"abc\r", "\n", "xy\n", "long", "er l", "ine\n"}));
    OvFSManagerFclose(f);
}

TEST_F(FileSystemTest, PrefixesChooseTheFileSystem) {
    Put("x", "default");
    // No file system has the device D: the default one gets the rest of the name.
    OvFile* f = OvFSManagerFopen("D:\\x", "rb");
    ASSERT_NE(f, nullptr);
    OvFSManagerFclose(f);
    // A file system whose device is Q: takes names with the prefix q: in any case.
    OvFileSystem* q = OvWinFSCreate(2, "Q:", "q");
    ASSERT_NE(q, nullptr);
    ASSERT_TRUE(OvFSManagerRegister(q));
    EXPECT_EQ(OvWinFSCreate(2, "q:", "q2"), nullptr); // the device is taken
    EXPECT_FALSE(OvFSManagerRegister(q));             // the name is taken
    EXPECT_EQ(OvFSManagerFindFileSystem("q"), q);
    EXPECT_EQ(OvFSManagerFindFileSystem("Q"), nullptr); // names compare exactly
    EXPECT_TRUE(OvFSManagerFexist("d:\\x"));
    EXPECT_FALSE(OvFSManagerFexist("q:\\x")); // "Q:\x" is a relative name that does not exist
    EXPECT_FALSE(OvFSManagerFexist("Q:x"));
    EXPECT_TRUE(OvFSManagerFexist("z:\\x"));
    // Names longer than the field, or taken, make no file system.
    EXPECT_EQ(OvWinFSCreate(2, "R:", "eightchr"), nullptr);
    EXPECT_EQ(OvWinFSCreate(2, "R:", "unc"), nullptr);
    // A path over 255 characters is refused.
    EXPECT_EQ(OvFSManagerFopen(std::string(300, 'a').c_str(), "rb"), nullptr);
    EXPECT_FALSE(OvFSManagerFexist(std::string(300, 'a').c_str()));
}

TEST_F(FileSystemTest, NamesAreFoundWithoutRegardToCase) {
    Put("Models/Textures/Brick.BMP", "BM");
    EXPECT_TRUE(OvFSManagerFexist("MODELS\\TEXTURES\\brick.bmp"));
    EXPECT_TRUE(OvFSManagerFexist("models/textures"));
    OvFile* f = OvFSManagerFopen("models/TEXTURES\\BRICK.bmp", "rb");
    ASSERT_NE(f, nullptr);
    char buffer[2];
    EXPECT_EQ(OvFSManagerFread(buffer, 1, 2, f), 2u);
    OvFSManagerFclose(f);
    EXPECT_FALSE(OvFSManagerFexist("Models/Textures/Brick.bmpx"));
    // A folder is not a file to open.
    EXPECT_EQ(OvFSManagerFopen("models", "rb"), nullptr);
}

TEST_F(FileSystemTest, RecordsRunOutAndComeBack) {
    Put("f", "1");
    std::vector<OvFile*> open;
    for (int i = 0; i < 20; ++i) {
        open.push_back(OvFSManagerFopen("f", "rb"));
        ASSERT_NE(open.back(), nullptr);
    }
    gReports.clear();
    EXPECT_EQ(OvFSManagerFopen("f", "rb"), nullptr);
    EXPECT_EQ(OvFSManagerGetState()->lastError, 8u);
    EXPECT_EQ(gReports, (std::vector<OvInt32>{8}));
    OvFSManagerFclose(open[7]);
    OvFile* again = OvFSManagerFopen("f", "rb");
    EXPECT_EQ(again, open[7]);
    // Files left open are closed with the manager (TearDown).
}

TEST_F(FileSystemTest, AsynchronousFilesCompleteAtOnce) {
    Put("async.bin", "0123456789");
    unc->flags = 1;
    OvFile* f = OvFSManagerFopen("async.bin", "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(f->async);
    EXPECT_EQ(f->state, ovFILESTATEBUSY); // the open is pending until waited for
    EXPECT_EQ(unc->fWait(f, TRUE), ovFILESTATEIDLE);
    char buffer[4];
    EXPECT_EQ(OvFSManagerFread(buffer, 1, 4, f), 4u);
    EXPECT_EQ(std::string(buffer, 4), "0123");
    EXPECT_EQ(f->positionLow, 4u);
    EXPECT_EQ(unc->fPoll(f), ovFILESTATEIDLE);
    EXPECT_EQ(OvFSManagerFread(buffer, 1, 4, f), 4u);
    EXPECT_EQ(std::string(buffer, 4), "4567");
    OvFSManagerFclose(f);
    unc->flags = 0;
}

TEST(FileSystemManager, RegistrationLimitsAndLookups) {
    ASSERT_TRUE(OvTestEngineUp());
    OvFSManagerClose();
    gReports.clear();
    ASSERT_TRUE(OvFSManagerOpen(1));
    OvFSManagerGetState()->errorCallback = [](OvInt32 code) { gReports.push_back(code); };
    EXPECT_EQ(OvFSManagerFopen("x", "rb"), nullptr); // nothing registered
    EXPECT_EQ(gReports, (std::vector<OvInt32>{6}));
    OvFileSystem* a = OvWinFSCreate(1, "A:", "a");
    ASSERT_NE(a, nullptr);
    ASSERT_TRUE(OvFSManagerRegister(a));
    gReports.clear();
    EXPECT_EQ(OvWinFSCreate(1, "B:", "b"), nullptr); // no room
    EXPECT_EQ(gReports, (std::vector<OvInt32>{5}));
    gReports.clear();
    EXPECT_EQ(OvFSManagerFopen("x", "rb"), nullptr); // no prefix and no default
    EXPECT_EQ(gReports, (std::vector<OvInt32>{6}));
    EXPECT_EQ(OvFSManagerGetDefaultFileSystem(), nullptr);
    OvFSManagerClose();
    EXPECT_TRUE(OvTestEngineDown());
}

} // namespace
