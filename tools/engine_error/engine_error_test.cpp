// The engine's error record in words: the file's own state first (missing, a folder, empty, not
// of its kind, cut short), then the codes' table; no known code shows as a number.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "graphics/core/d3d9/pixel_convert.h"
#include "graphics/core/d3d9/raster.h"
#include "graphics/core/im3d.h"
#include "graphics/core/pipeline.h"
#include "testing/scratch_dir.h"
#include "tools/engine_error/engine_error.h"
#include "tools/engine_error/file_words.h"

namespace {

struct EngineErrorTest : ::testing::Test {
    std::filesystem::path dir;
    void SetUp() override { dir = MakeTestScratchDir("dun_engine_error"); }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string File(const std::string& name, const std::string& bytes) {
        const std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
};

const OvError kNone = {0, ovERRNOERROR};
const OvError kEnd = {ovPLUGINIDCORE, ovERRENDOFSTREAM};
const std::string kPngHead = "\x89PNG\r\n\x1a\n";

EngineErrorContext Reading(const std::string& file, const std::string& what = "") { return {file, false, what}; }

TEST_F(EngineErrorTest, TheFileItselfGivesTheReasonWhenItCan) {
    EXPECT_EQ(EngineErrorWords(kNone, Reading((dir / "none.png").string())), "no such file");
    EXPECT_EQ(EngineErrorWords(kEnd, Reading(dir.string())), "a folder, not a file");
    EXPECT_EQ(EngineErrorWords(kEnd, Reading(File("empty.png", ""))), "the file is empty");
    // The kind follows the name's extension, in either case.
    EXPECT_EQ(EngineErrorWords(kNone, Reading(File("bmp.PNG", "BM0123456789"))),
              "not a PNG image (it does not start as one does)");
    EXPECT_EQ(EngineErrorWords(kNone, Reading(File("png.bmp", kPngHead))),
              "not a BMP image (it does not start as one does)");
    // Cut short: the byte where the data ends and what it was meant to be.
    EXPECT_EQ(EngineErrorWords(kEnd, Reading(File("cut.png", kPngHead + "abc"))),
              "truncated: the data ends at byte 11 before the PNG image is complete");
    EXPECT_EQ(EngineErrorWords(kEnd, Reading(File("cut.txd", "0123456"), "texture dictionary")),
              "truncated: the data ends at byte 7 before the texture dictionary is complete");
    EXPECT_EQ(EngineErrorWords(kNone, Reading(File("odd.png", kPngHead + "abc"))),
              "a damaged PNG image, or one in a form the engine does not read");
    const OvError depth = {0, ovERRBADDEPTH};
    EXPECT_EQ(EngineErrorWords(depth, Reading(File("deep.bmp", "BM0000"))),
              "a pixel depth the engine does not read (in this BMP image)");

    // Writing: the folder that is not there, or a folder where the file should be.
    const OvError write = {0, ovERRFILEOPEN};
    EXPECT_EQ(EngineErrorWords(write, {(dir / "no" / "out.txd").string(), true, ""}),
              "no such folder " + (dir / "no").string());
    EXPECT_EQ(EngineErrorWords(write, {dir.string(), true, ""}), "a folder, not a file");
    EXPECT_EQ(EngineErrorWords(write, {(dir / "fine.txd").string(), true, ""}), "the file could not be opened");
    // The same words for tools whose writes do not go through the engine.
    EXPECT_EQ(FileWriteFailure((dir / "no" / "out.csv").string()), "no such folder " + (dir / "no").string());
    EXPECT_EQ(FileWriteFailure((dir / "fine.csv").string()), "the write failed");
}

TEST_F(EngineErrorTest, EveryKnownCodeHasWordsAndAnUnknownOneKeepsItsNumbers) {
    const OvInt32 common[] = {
        ovERRBADENGINESTATE, ovERRFILEOPEN,     ovERRINVALIDVALUE,   ovERRBADVERSION,       ovERRBADDEPTH,
        ovERRBADFORMAT,      ovERRSIZEMISMATCH, ovERRNOMEMORY,       ovERRNULLARGUMENT,     ovERRPLUGINREFUSED,
        ovERRREAD,           ovERRWRITE,        ovERRNAMETOOLONG,    ovERRENGINENOTSTARTED, ovERRBADRASTERFORMAT,
        ovERRBADRASTERDEPTH, ovERRRASTERLOCKED, ovERRRASTERNOTLOCKED};
    const OvInt32 core[] = {ovERRENDOFSTREAM,          ovERRARENAFULL,           ovERRBADACCESS,
                            ovERRBADSTREAMTYPE,        ovERRTEXTUREREAD,         ovERRDEVICEREQUEST,
                            ovERRZEROLENGTHVECTOR,     ovERRPIPELINECYCLE,       ovERRPIPELINECLUSTERMODE,
                            ovERRPIPELINECLUSTERTWICE, ovERRPIPELINECLUSTERTYPE, ovERRPIPELINESCRATCH,
                            ovERRPIPELINENOINPUT,      ovERRPIPELINEENTRY,       ovERRPIPELINECLUSTERS,
                            ovERRPIPELINEOUTPUTS,      ovERRPIPELINENODES,       ovERRPIPELINENOTLOCKED,
                            ovERRIM3DNOBATCH,          ovERRIM3DBADPRIM,         ovERRIM3DTOOMANY};
    for (OvInt32 code : common) {
        const std::string words = EngineErrorWords({0, code});
        EXPECT_EQ(words.find("0x"), std::string::npos) << words;
    }
    std::set<std::string> seen;
    for (OvInt32 code : core) {
        const std::string words = EngineErrorWords({ovPLUGINIDCORE, code});
        EXPECT_EQ(words.find("0x"), std::string::npos) << words;
        EXPECT_TRUE(seen.insert(words).second) << "two codes read alike: " << words;
    }
    EXPECT_EQ(EngineErrorWords({0x19D, 77}), "engine error 0x0000004D from the BMP reader, which has no description");
    EXPECT_EQ(EngineErrorWords({0x7777, 3}), "engine error 0x00000003 from plugin 0x7777, which has no description");
    EXPECT_EQ(EngineErrorWords(kNone), "refused (the engine recorded no reason)");
}

} // namespace
