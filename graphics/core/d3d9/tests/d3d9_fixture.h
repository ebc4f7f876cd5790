#pragma once
// Runs the graphics engine on the Direct3D 9 driver and the platform's stand-in device, on a
// headless window.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "graphics/core/d3d9/device.h"
#include "graphics/core/error.h"
#include "graphics/core/raster.h"
#include "platform/d3d9_control.h"
#include "platform/win32.h"
#include "platform/window.h"
#include "testing/headless_window.h"

class D3d9DriverTest : public ::testing::Test {
protected:
    HWND window = nullptr;
    const OvMemoryFunctions* memory = nullptr; // null: the standard library's
    OvUInt32 initFlags = 0;                    // OvEngineInit's flags

    void SetUp() override {
        window = OpenHeadlessWindow("d3d9_driver_test", DefWindowProcA, 320, 240);
        ShowWindow(window, SW_SHOW);
        OvEngineSetDriver(OvD3D9Driver());
        ASSERT_TRUE(OvEngineInit(memory, initFlags, 0x400000));
    }

    void TearDown() override {
        if (OvEngineGetStatus() == ovENGINESTATUSSTARTED) {
            EXPECT_TRUE(OvEngineStop());
        }
        if (OvEngineGetStatus() == ovENGINESTATUSOPENED) {
            EXPECT_TRUE(OvEngineClose());
        }
        EXPECT_TRUE(OvEngineTerm());
        OvD3D9DeviceSetRestoreCallback(nullptr);
        OvEngineSetDriver(nullptr);
        D3d9ResetStandIn();
        PlatformWindowReset();
    }

    bool Up() { return OvEngineOpen(&window) && OvEngineStart(); }
};

// The held error code, cleared.
inline OvInt32 TakeError() {
    OvError e{};
    OvErrorGet(&e);
    return e.errorCode;
}

// The pixel values of a level (1 to 4 bytes a pixel), row by row, read through a lock.
inline std::vector<OvUInt32> LevelPixels(OvRaster* raster, OvUInt8 level = 0) {
    std::vector<OvUInt32> out;
    const OvUInt8* p = OvRasterLock(raster, level, ovRASTERLOCKREAD);
    EXPECT_NE(p, nullptr);
    if (p == nullptr) {
        return out;
    }
    const OvInt32 bytes = raster->depth / 8;
    for (OvInt32 y = 0; y < raster->height; ++y) {
        for (OvInt32 x = 0; x < raster->width; ++x) {
            OvUInt32 v = 0;
            std::memcpy(&v, p + y * raster->stride + x * bytes, static_cast<std::size_t>(bytes));
            out.push_back(v);
        }
    }
    OvRasterUnlock(raster);
    return out;
}

// Writes value(x, y) into every pixel of a level through a lock.
template <typename F> void PaintLevel(OvRaster* raster, F value, OvUInt8 level = 0) {
    OvUInt8* p = OvRasterLock(raster, level, ovRASTERLOCKWRITE);
    ASSERT_NE(p, nullptr);
    const OvInt32 bytes = raster->depth / 8;
    for (OvInt32 y = 0; y < raster->height; ++y) {
        for (OvInt32 x = 0; x < raster->width; ++x) {
            const OvUInt32 v = value(x, y);
            std::memcpy(p + y * raster->stride + x * bytes, &v, static_cast<std::size_t>(bytes));
        }
    }
    OvRasterUnlock(raster);
}

// Engine memory that keeps the blocks of the driver's hint apart and can refuse them.
struct DriverBlocks {
    std::map<void*, OvUInt32> live; // block -> hint
    bool refuse = false;
    int allocations = 0; // blocks of the driver's hint allocated so far
    int count() const {
        return static_cast<int>(
            std::count_if(live.begin(), live.end(), [](const auto& b) { return b.second == ovD3D9MEMHINT; }));
    }
    // Blocks of the driver's hint that hold something (empty ones are given back first).
    int inUse() const {
        OvFreeListPurgeAll();
        return count();
    }
};
inline DriverBlocks gBlocks;

inline void* TrackedAlloc(std::size_t size, OvUInt32 hint) {
    if (gBlocks.refuse && (hint & 0xFFFF) == ovD3D9DRIVERID) {
        return nullptr;
    }
    void* p = std::malloc(size);
    gBlocks.live[p] = hint;
    gBlocks.allocations += hint == ovD3D9MEMHINT ? 1 : 0;
    return p;
}
inline void TrackedFree(void* p) {
    gBlocks.live.erase(p);
    std::free(p);
}
inline void* TrackedRealloc(void* p, std::size_t size, OvUInt32 hint) {
    void* q = std::realloc(p, size);
    if (q != nullptr) {
        gBlocks.live.erase(p);
        gBlocks.live[q] = hint;
    }
    return q;
}
inline void* TrackedCalloc(std::size_t n, std::size_t size, OvUInt32 hint) {
    void* p = TrackedAlloc(n * size, hint);
    if (p != nullptr) {
        std::memset(p, 0, n * size);
    }
    return p;
}
inline const OvMemoryFunctions kTracked = {TrackedAlloc, TrackedFree, TrackedRealloc, TrackedCalloc};

class D3d9DriverMemoryTest : public D3d9DriverTest {
protected:
    D3d9DriverMemoryTest() {
        gBlocks = {};
        memory = &kTracked;
    }
};
