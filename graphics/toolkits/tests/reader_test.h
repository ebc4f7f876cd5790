#pragma once
// Test support for the image readers: an engine with a file system, a scratch folder for the
// files a test writes, and the error taker.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "graphics/core/error.h"
#include "graphics/core/image.h"
#include "graphics/core/testkit/engine_test.h"
#include "testing/scratch_dir.h"

class ReaderTest : public OvEngineTest {
protected:
    std::filesystem::path dir;

    void SetUp() override {
        OvEngineTest::SetUp();
        dir = MakeTestScratchDir("dun_readers");
    }
    void TearDown() override {
        std::filesystem::remove_all(dir);
        OvEngineTest::TearDown();
    }

    std::string Write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        const std::filesystem::path path = dir / name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }

    static OvError TakeError() {
        OvError e;
        OvErrorGet(&e);
        return e;
    }
};

// The 4 bytes of pixel (x, y) of a 32-bit image, or of its palette entry.
inline const std::uint8_t* PixelColour(const OvImage* image, int x, int y) {
    const std::uint8_t* row = image->cpPixels + static_cast<std::ptrdiff_t>(y) * image->stride;
    return image->depth == 32 ? row + 4 * x : image->palette + 4 * row[x];
}
