// End to end: mkasset writes fonts the 2D toolkit's metrics reader takes, spline files the
// spline plugin reads back point for point and the framework's marker images; the commands name
// bad arguments.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "graphics/core/file_system.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/plugins/spline.h"
#include "testing/scratch_dir.h"
#include "testing/tool_run.h"
#include "tools/font_asset/font_asset.h"

namespace {

ToolRun Mkasset(const std::string& arguments) { return RunTool(MKASSET_PROGRAM, arguments); }

std::string Contents(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

class MkassetTextTest : public ::testing::Test {
protected:
    std::filesystem::path dir;
    void SetUp() override { dir = MakeTestScratchDir("dun_mkasset_text"); }
    void TearDown() override { std::filesystem::remove_all(dir); }
};

TEST_F(MkassetTextTest, FontOfTheCharacterSet) {
    const ToolRun run = Mkasset("font --name TSA16 --out " + (dir / "fonts").string());
    ASSERT_EQ(run.status, 0) << run.output;
    const std::string met = Contents(dir / "fonts" / "TSA16.met");
    std::istringstream lines(met);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "METRICS1");
    std::getline(lines, line);
    EXPECT_EQ(line, "TSA16");
    std::getline(lines, line);
    EXPECT_EQ(line, "0");
    // One 8 x 14 box per character 32 to 122, in 9 x 15 cells fourteen to a row.
    for (int code = 32; code <= 122; ++code) {
        ASSERT_TRUE(std::getline(lines, line)) << code;
        const int g = code - 32, left = 9 * (g % 14), top = 15 * (g / 14);
        EXPECT_EQ(line, std::to_string(code) + " " + std::to_string(left) + " " + std::to_string(top) + " " +
                            std::to_string(left + 8) + " " + std::to_string(top + 14));
    }
    EXPECT_FALSE(std::getline(lines, line));
    // The same files as the library writes.
    std::string error;
    ASSERT_TRUE(WriteCharsetFont((dir / "lib").string(), "TSA16", &error)) << error;
    EXPECT_EQ(Contents(dir / "lib" / "TSA16.met"), met);
    EXPECT_EQ(Contents(dir / "lib" / "TSA16.png"), Contents(dir / "fonts" / "TSA16.png"));

    const struct {
        const char* args;
        const char* message;
    } bad[] = {
        {"font --out x", "--name is required"},
        {"font --name A", "--out is required"},
        {"font --name \"A B\" --out x", "bad --name 'A B'"},
        {"font --name a/b --out x", "bad --name 'a/b'"},
        {"font --name ABCDEFGHIJKLMNOPQRSTUVWXYZ012345 --out x", "bad --name"},
        {"font --name A --out", "missing value after --out"},
        {"font --size 3", "unknown argument --size"},
    };
    for (const auto& b : bad) {
        const ToolRun r = Mkasset(b.args);
        EXPECT_EQ(r.status, 2) << b.args;
        EXPECT_NE(r.output.find(b.message), std::string::npos) << b.args << ": " << r.output;
    }
    std::ofstream(dir / "file") << "in the way";
    const ToolRun blocked = Mkasset("font --name A --out " + (dir / "file").string());
    EXPECT_EQ(blocked.status, 1) << blocked.output;
    EXPECT_NE(blocked.output.find("file"), std::string::npos) << blocked.output;
    EXPECT_NE(Mkasset("font --help").output.find("usage: mkasset font"), std::string::npos);
}

void RegisterSpline() { OvSplinePluginAttach(); }

TEST_F(MkassetTextTest, SplinesReadBackThroughThePlugin) {
    const std::string open = (dir / "camera_path.ovs").string(), closed = (dir / "loop.ovs").string();
    ToolRun run = Mkasset("spline --points \"0,0,0;1,2,0;3,3.5,1;4,1,-2;6e0,0,0\" --out " + open);
    ASSERT_EQ(run.status, 0) << run.output;
    run = Mkasset("spline --points \"0,0,0;1,0,0\" --closed --out " + closed);
    ASSERT_EQ(run.status, 0) << run.output;
    // Header (type 12, length 40 + 12 n, stamp of version 0x37002 build 22), name, n, type.
    const std::string bytes = Contents(open);
    ASSERT_EQ(bytes.size(), 12u + 40u + 60u);
    const unsigned char head[12] = {12, 0, 0, 0, 100, 0, 0, 0, 0x16, 0x00, 0x02, 0x1C};
    EXPECT_EQ(std::memcmp(bytes.data(), head, 12), 0);
    EXPECT_EQ(std::string(bytes.data() + 12, 11), "camera_path");
    EXPECT_EQ(bytes[12 + 11], '\0');
    EXPECT_EQ(bytes[12 + 32], 5);
    EXPECT_EQ(bytes[12 + 36], 1);

    ASSERT_TRUE(OvTestEngineUp(0, RegisterSpline));
    OvSpline* s = OvSplineLoad(open.c_str());
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s->name, "camera_path");
    EXPECT_EQ(s->splineType, ovSPLINEOPEN);
    ASSERT_EQ(s->numPoints, 5);
    const float want[5][3] = {{0, 0, 0}, {1, 2, 0}, {3, 3.5f, 1}, {4, 1, -2}, {6, 0, 0}};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(s->points[i].x, want[i][0]);
        EXPECT_EQ(s->points[i].y, want[i][1]);
        EXPECT_EQ(s->points[i].z, want[i][2]);
    }
    OvSplineDestroy(s);
    s = OvSplineLoad(closed.c_str());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->splineType, ovSPLINECLOSED);
    EXPECT_EQ(s->numPoints, 2); // a closed spline solves for any count
    OvSplineDestroy(s);
    EXPECT_TRUE(OvTestEngineDown());

    const struct {
        const char* args;
        const char* message;
    } bad[] = {
        {"spline --points \"0,0,0;1,0,0;2,1,0\" --out x.ovs", "--points has 3 points; an open spline needs 4"},
        {"spline --points \"0,0,0;1,2;3,3,3;4,4,4\" --out x.ovs", "bad point '1,2'"},
        {"spline --points \"0,0,0;1,2,x;3,3,3;4,4,4\" --out x.ovs", "bad point '1,2,x'"},
        {"spline --points \"0,0,0;;3,3,3;4,4,4\" --out x.ovs", "bad point ''"},
        {"spline --points \"0,0,0;1,1,1;2,2,2;3,3,3\"", "--out is required"},
        {"spline --out x.ovs", "--points is required"},
        {"spline --open", "unknown argument --open"},
    };
    for (const auto& b : bad) {
        const ToolRun r = Mkasset(b.args);
        EXPECT_EQ(r.status, 2) << b.args;
        EXPECT_NE(r.output.find(b.message), std::string::npos) << b.args << ": " << r.output;
    }
    const ToolRun unwritable =
        Mkasset("spline --points \"0,0,0;1,1,1;2,2,2;3,3,3\" --out " + (dir / "no" / "such" / "x.ovs").string());
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_NE(unwritable.output.find("x.ovs"), std::string::npos) << unwritable.output;
}

TEST_F(MkassetTextTest, MarkersForTheCameraAndInputManagers) {
    ToolRun run = Mkasset("markers --out " + (dir / "scene").string());
    ASSERT_EQ(run.status, 0) << run.output;
    // Two uncompressed 24-bit bitmaps, rows padded to 4 bytes.
    const struct {
        const char* name;
        unsigned side;
    } images[] = {{"pointer.bmp", 16}, {"target.bmp", 8}};
    for (const auto& image : images) {
        const std::string bytes = Contents(dir / "scene" / "models" / "textures" / image.name);
        auto u32 = [&](std::size_t at) {
            return static_cast<unsigned>(static_cast<unsigned char>(bytes[at])) |
                   static_cast<unsigned>(static_cast<unsigned char>(bytes[at + 1])) << 8 |
                   static_cast<unsigned>(static_cast<unsigned char>(bytes[at + 2])) << 16 |
                   static_cast<unsigned>(static_cast<unsigned char>(bytes[at + 3])) << 24;
        };
        ASSERT_EQ(bytes.size(), 54u + image.side * ((image.side * 3 + 3) & ~3u)) << image.name;
        EXPECT_EQ(bytes.substr(0, 2), "BM");
        EXPECT_EQ(u32(2), bytes.size());
        EXPECT_EQ(u32(10), 54u);
        EXPECT_EQ(u32(18), image.side);
        EXPECT_EQ(u32(22), image.side);
        EXPECT_EQ(bytes[28], 24);
        EXPECT_EQ(u32(30), 0u);
    }
    // The target is green throughout (blue, green, red in the file).
    const std::string target = Contents(dir / "scene" / "models" / "textures" / "target.bmp");
    EXPECT_EQ(static_cast<unsigned char>(target[54]), 40);
    EXPECT_EQ(static_cast<unsigned char>(target[55]), 255);
    // The camera spline reads back through the plugin.
    ASSERT_TRUE(OvTestEngineUp(0, RegisterSpline));
    OvSpline* s = OvSplineLoad((dir / "scene" / "models" / "revolution" / "spline.ovs").string().c_str());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->splineType, ovSPLINEOPEN);
    ASSERT_EQ(s->numPoints, 8);
    EXPECT_EQ(s->points[0].x, -9.0f);
    EXPECT_EQ(s->points[7].y, 3.0f);
    OvSplineDestroy(s);
    EXPECT_TRUE(OvTestEngineDown());

    run = Mkasset("markers");
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.output.find("--out is required"), std::string::npos) << run.output;
    run = Mkasset("markers --size 3");
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.output.find("unknown argument --size"), std::string::npos) << run.output;
    std::ofstream(dir / "file") << "x";
    run = Mkasset("markers --out " + (dir / "file").string());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("cannot create"), std::string::npos) << run.output;
}

} // namespace
