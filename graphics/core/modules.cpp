#include "graphics/core/modules.h"

#include "graphics/core/error.h"
#include "graphics/core/small_modules.h"
#include "graphics/core/stream.h"

namespace {

// ---------------------------------------------------------------------------------------------
// MODULES NOT BUILT YET. Vector, matrix, frame, camera, image, raster, texture, pipeline,
// immediate-mode 3D and resource arena keep their place in the registration order (and a data
// block of their registered size) with an open and close that do nothing. Each is replaced here
// by its real open, close and sizeof(module data) when the module is written.
// ---------------------------------------------------------------------------------------------
void* PendingModuleOpen(void* instance, OvInt32, OvInt32) { return instance; }
void* PendingModuleClose(void* instance, OvInt32, OvInt32) { return instance; }

constexpr OvInt32 kPendingVectorDataSize = 24;
constexpr OvInt32 kPendingMatrixDataSize = 24;
constexpr OvInt32 kPendingFrameDataSize = 4;
constexpr OvInt32 kPendingCameraDataSize = 4;
constexpr OvInt32 kPendingImageDataSize = 544;
constexpr OvInt32 kPendingRasterDataSize = 100;
constexpr OvInt32 kPendingTextureDataSize = 52;
constexpr OvInt32 kPendingPipelineDataSize = 96;
constexpr OvInt32 kPendingIm3DDataSize = 116;
constexpr OvInt32 kPendingResourcesDataSize = 40;

} // namespace

const OvCoreModule OvCoreModules[ovNUMCOREMODULES] = {
    {ovPLUGINIDERRORMODULE, ovERRORMODULEDATASIZE, OvErrorOpen, OvErrorClose},
    {ovPLUGINIDVECTOR, kPendingVectorDataSize, PendingModuleOpen, PendingModuleClose},
    {ovPLUGINIDCOUNTER, 0, OvCounterOpen, OvCounterClose},
    {ovPLUGINIDMATRIX, kPendingMatrixDataSize, PendingModuleOpen, PendingModuleClose},
    {ovPLUGINIDFRAME, kPendingFrameDataSize, PendingModuleOpen, PendingModuleClose},
    {ovPLUGINIDSTREAM, sizeof(OvStreamModuleData), OvStreamModuleOpen, OvStreamModuleClose},
    {ovPLUGINIDCAMERA, kPendingCameraDataSize, PendingModuleOpen, PendingModuleClose},
    {ovPLUGINIDIMAGE, kPendingImageDataSize, PendingModuleOpen, PendingModuleClose},
    {ovPLUGINIDRASTER, kPendingRasterDataSize, PendingModuleOpen, PendingModuleClose},
    {ovPLUGINIDTEXTURE, kPendingTextureDataSize, PendingModuleOpen, PendingModuleClose},
    {ovPLUGINIDPIPELINE, kPendingPipelineDataSize, PendingModuleOpen, PendingModuleClose},
    {ovPLUGINIDSPARE, sizeof(OvSpareModuleData), OvSpareOpen, OvSpareClose},
    {ovPLUGINIDIM3D, kPendingIm3DDataSize, PendingModuleOpen, PendingModuleClose},
    {ovPLUGINIDRESOURCES, kPendingResourcesDataSize, PendingModuleOpen, PendingModuleClose},
};

void OvCoreModulesSetGamma(float /*gamma*/) {
    // The image module's gamma set-up (OvImageSetGamma) goes here once the image module exists.
}
