#include "graphics/core/raster.h"

#include "graphics/core/frame.h"
#include "graphics/core/image.h"
#include "graphics/core/resources.h"
#include "graphics/core/tests/started_engine.h"

namespace {

using RasterTest = StartedEngine;

TEST_F(RasterTest, CreateLockAndLevelsGoThroughTheDriver) {
    OvTestDriverState* driver = OvTestMemoryRasterDriverState();
    EXPECT_EQ(OvRasterGetCurrentContext()->cFlags, ovRASTERDONTALLOCATE);
    EXPECT_EQ(OvRasterGetCurrentContext()->width, 0);

    OvRaster* r = OvRasterCreate(16, 16, 0, ovRASTERTYPETEXTURE | ovRASTERFORMAT8888 | ovRASTERFORMATMIPMAP);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(driver->calls[ovSTANDARDRASTERCREATE].lastNumber, 0x8504);
    EXPECT_EQ(r->cType, ovRASTERTYPETEXTURE);
    EXPECT_EQ(r->cFormat, 0x85);
    EXPECT_EQ(r->parent, r);
    EXPECT_EQ(OvRasterGetNumLevels(r), 5);
    EXPECT_EQ(driver->calls[ovSTANDARDRASTERGETNUMLEVELS].count, 1);

    // Level 2 of a 16 x 16 raster: 4 x 4 pixels, stride 16; the number carries level << 8.
    OvUInt8* pixels = OvRasterLock(r, 2, ovRASTERLOCKWRITE);
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(driver->calls[ovSTANDARDRASTERLOCK].lastNumber, 0x201);
    EXPECT_EQ(r->width, 4);
    EXPECT_EQ(r->stride, 16);
    std::memset(pixels, 0x5A, static_cast<std::size_t>(r->stride * r->height)); // the whole level is writable
    EXPECT_EQ(OvRasterLock(r, 0, ovRASTERLOCKREAD), nullptr);                   // already locked
    EXPECT_EQ(OvRasterUnlock(r), r);
    EXPECT_EQ(r->width, 16);
    EXPECT_EQ(OvRasterUnlock(r), nullptr); // not locked
    EXPECT_TRUE(OvRasterDestroy(r));
    EXPECT_EQ(driver->calls[ovSTANDARDRASTERDESTROY].lastInOut, r);

    // Without mip levels the count is 1 and the driver is not asked.
    OvRaster* plain = OvRasterCreate(8, 4, 0, ovRASTERTYPENORMAL | ovRASTERFORMAT8888);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->cFormat, 0x05);
    driver->calls[ovSTANDARDRASTERGETNUMLEVELS] = {};
    EXPECT_EQ(OvRasterGetNumLevels(plain), 1);
    EXPECT_EQ(driver->calls[ovSTANDARDRASTERGETNUMLEVELS].count, 0);
    // Palette lock refused for a raster without a palette; unlock clears the lock bits anyway.
    EXPECT_EQ(OvRasterLockPalette(plain, ovRASTERLOCKWRITE), nullptr);
    plain->privateFlags |= ovRASTERPALETTELOCKED | ovRASTERPALETTELOCKEDWRITE | ovRASTERGAMMACORRECTED;
    OvRasterUnlockPalette(plain);
    EXPECT_EQ(plain->privateFlags, ovRASTERGAMMACORRECTED);
    OvRasterDestroy(plain);

    OvRaster* palettised = OvRasterCreate(4, 4, 0, ovRASTERTYPETEXTURE | ovRASTERFORMAT888 | ovRASTERFORMATPAL8);
    ASSERT_NE(palettised, nullptr);
    EXPECT_EQ(palettised->depth, 8);
    OvUInt8* palette = OvRasterLockPalette(palettised, ovRASTERLOCKWRITE);
    ASSERT_NE(palette, nullptr);
    std::memset(palette, 1, 1024);
    EXPECT_NE(palettised->privateFlags & ovRASTERPALETTELOCKEDWRITE, 0);
    EXPECT_EQ(OvRasterUnlockPalette(palettised), palettised);
    EXPECT_EQ(palettised->privateFlags & (ovRASTERPALETTELOCKED | ovRASTERPALETTELOCKEDWRITE), 0);
    OvRasterDestroy(palettised);

    // With a level locked (its size in the record), the palette and the level count are still
    // those of the whole raster.
    OvRaster* mipPalettised =
        OvRasterCreate(8, 8, 0, ovRASTERTYPETEXTURE | ovRASTERFORMAT888 | ovRASTERFORMATPAL8 | ovRASTERFORMATMIPMAP);
    ASSERT_NE(mipPalettised, nullptr);
    OvUInt8* wholePalette = OvRasterLockPalette(mipPalettised, ovRASTERLOCKREAD);
    OvRasterUnlockPalette(mipPalettised);
    OvUInt8* level2 = OvRasterLock(mipPalettised, 2, ovRASTERLOCKWRITE);
    ASSERT_NE(level2, nullptr);
    EXPECT_EQ(mipPalettised->width, 2);
    EXPECT_EQ(OvRasterGetNumLevels(mipPalettised), 4);
    EXPECT_EQ(OvRasterLockPalette(mipPalettised, ovRASTERLOCKWRITE), wholePalette);
    OvRasterUnlockPalette(mipPalettised);
    EXPECT_EQ(OvRasterUnlock(mipPalettised), mipPalettised);
    OvRasterDestroy(mipPalettised);

    // A refused creation frees the record and gives null.
    driver->refuse[ovSTANDARDRASTERCREATE] = 1;
    EXPECT_EQ(OvRasterCreate(4, 4, 0, 0), nullptr);
    driver->refuse[ovSTANDARDRASTERCREATE] = 0;

    // Format query: format word = (format byte << 8) | type of the driver's scratch record.
    OvInt32 w = 0, h = 0, depth = 0, format = 0;
    OvImage* image = OvImageCreate(16, 16, 32);
    ASSERT_NE(OvImageAllocatePixels(image), nullptr);
    std::memset(image->cpPixels, 0, static_cast<std::size_t>(image->stride * 16));
    EXPECT_EQ(OvRasterQueryFormat(image, ovRASTERTYPETEXTURE, &w, &h, &depth, &format), image);
    OvImageDestroy(image);
    EXPECT_EQ(format, 0x504);
    EXPECT_EQ(w, 16);
    EXPECT_EQ(depth, 32);
    EXPECT_EQ(driver->calls[ovSTANDARDRASTERFORMATFORIMAGE].lastOut, OvRasterGetCurrentContext());
}

// Records the order in which arena entries are destroyed.
std::vector<int> gDestroyed;
void NoteDestroyed(OvResourceEntry* entry) { gDestroyed.push_back(*static_cast<int*>(entry->owner)); }

TEST_F(RasterTest, ShowingARasterEndsTheArenasFrame) {
    OvRaster* camera = OvRasterCreate(8, 8, 0, ovRASTERTYPECAMERA);
    ASSERT_NE(camera, nullptr);
    int owners[2] = {1, 2};
    OvResourceEntry* a = nullptr;
    OvResourcesAllocateEntry(&owners[0], &a, 100, NoteDestroyed);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(OvResourcesGetModule()->olderList->next, OvResourcesGetModule()->olderList);
    EXPECT_EQ(OvRasterShowRaster(camera, nullptr, 0), camera);
    EXPECT_EQ(OvResourcesGetModule()->olderList->next, &a->link);
    OvTestMemoryRasterDriverState()->refuse[ovSTANDARDRASTERSHOWRASTER] = 1;
    EXPECT_EQ(OvRasterShowRaster(camera, nullptr, 0), nullptr);
    OvRasterDestroy(camera);
    OvResourcesFreeEntry(a); // its owner reference lives on this stack
}

TEST_F(RasterTest, ObjectFrameLinkKeepsOneEntryAndMarksTheFrame) {
    OvFrame* f = OvFrameCreate();
    OvFrame* g = OvFrameCreate();
    OvObjectHasFrame object = {};
    OvObjectHasFrameSetFrame(&object, f);
    OvObjectHasFrameSetFrame(&object, f);
    EXPECT_EQ(f->objectList.next, &object.lFrame);
    EXPECT_EQ(object.lFrame.next, &f->objectList);
    EXPECT_TRUE(OvFrameIsDirty(f));
    OvObjectHasFrameSetFrame(&object, g);
    EXPECT_TRUE(OvLLLinkIsEmpty(&f->objectList));
    EXPECT_EQ(OvObjectHasFrameGetFrame(&object), g);
    OvObjectHasFrameDetach(&object);
    EXPECT_TRUE(OvLLLinkIsEmpty(&g->objectList));
    EXPECT_EQ(OvObjectHasFrameGetFrame(&object), g); // the frame pointer is kept
    OvObjectHasFrameSetFrame(&object, nullptr);      // after a detach: nothing to unlink twice
    EXPECT_TRUE(OvLLLinkIsEmpty(&g->objectList));
    OvFrameDestroy(f);

    // A frame that goes while objects hang on it lets go of them.
    OvObjectHasFrameSetFrame(&object, g);
    OvFrameDestroy(g);
    EXPECT_EQ(OvObjectHasFrameGetFrame(&object), nullptr);
    OvObjectHasFrameDetach(&object);
    OvFrame* h = OvFrameCreate();
    OvObjectHasFrameSetFrame(&object, h);
    OvFrameDestroyHierarchy(h);
    EXPECT_EQ(OvObjectHasFrameGetFrame(&object), nullptr);
}

} // namespace
