#include "graphics/core/modules.h"

#include "graphics/core/error.h"
#include "graphics/core/small_modules.h"
#include "graphics/core/stream.h"
#include "graphics/core/vector.h"
#include "graphics/core/matrix.h"
#include "graphics/core/frame.h"
#include "graphics/core/camera.h"
#include "graphics/core/image.h"
#include "graphics/core/raster.h"
#include "graphics/core/resources.h"
#include "graphics/core/texture.h"

namespace {

// ---------------------------------------------------------------------------------------------
// MODULES NOT BUILT YET. Pipeline and immediate-mode 3D keep their place in
// the registration order (and a data block of their registered size) with an open and close
// that do nothing. Each is replaced here by its real open, close and sizeof(module data) when
// the module is written.
// ---------------------------------------------------------------------------------------------
void* PendingModuleOpen(void* instance, OvInt32, OvInt32) { return instance; }
void* PendingModuleClose(void* instance, OvInt32, OvInt32) { return instance; }

constexpr OvInt32 kPendingPipelineDataSize = 96;
constexpr OvInt32 kPendingIm3DDataSize = 116;

} // namespace

const OvCoreModule OvCoreModules[ovNUMCOREMODULES] = {
    {ovPLUGINIDERRORMODULE, ovERRORMODULEDATASIZE, OvErrorOpen, OvErrorClose},
    {ovPLUGINIDVECTOR, sizeof(OvVectorModule), OvVectorOpen, OvVectorClose},
    {ovPLUGINIDCOUNTER, 0, OvCounterOpen, OvCounterClose},
    {ovPLUGINIDMATRIX, sizeof(OvMatrixModule), OvMatrixOpen, OvMatrixClose},
    {ovPLUGINIDFRAME, sizeof(OvFrameModule), OvFrameOpen, OvFrameClose},
    {ovPLUGINIDSTREAM, sizeof(OvStreamModuleData), OvStreamModuleOpen, OvStreamModuleClose},
    {ovPLUGINIDCAMERA, sizeof(OvCameraModule), OvCameraOpen, OvCameraClose},
    {ovPLUGINIDIMAGE, sizeof(OvImageModule), OvImageOpen, OvImageClose},
    {ovPLUGINIDRASTER, sizeof(OvRasterModule), OvRasterOpen, OvRasterClose},
    {ovPLUGINIDTEXTURE, sizeof(OvTextureModule), OvTextureOpen, OvTextureClose},
    {ovPLUGINIDPIPELINE, kPendingPipelineDataSize, PendingModuleOpen, PendingModuleClose},
    {ovPLUGINIDSPARE, sizeof(OvSpareModuleData), OvSpareOpen, OvSpareClose},
    {ovPLUGINIDIM3D, kPendingIm3DDataSize, PendingModuleOpen, PendingModuleClose},
    {ovPLUGINIDRESOURCES, sizeof(OvResourcesModule), OvResourcesOpen, OvResourcesClose},
};

void OvCoreModulesSetGamma(float gamma) { OvImageSetGamma(gamma); }
