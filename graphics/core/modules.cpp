#include "graphics/core/modules.h"

#include "graphics/core/error.h"
#include "graphics/core/small_modules.h"
#include "graphics/core/stream.h"
#include "graphics/core/vector.h"
#include "graphics/core/matrix.h"
#include "graphics/core/frame.h"
#include "graphics/core/camera.h"
#include "graphics/core/image.h"
#include "graphics/core/im3d.h"
#include "graphics/core/pipeline.h"
#include "graphics/core/raster.h"
#include "graphics/core/resources.h"
#include "graphics/core/texture.h"

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
    {ovPLUGINIDPIPELINE, sizeof(OvPipelineModule), OvPipelineOpen, OvPipelineClose},
    {ovPLUGINIDSPARE, sizeof(OvSpareModuleData), OvSpareOpen, OvSpareClose},
    {ovPLUGINIDIM3D, sizeof(OvIm3DModule), OvIm3DOpen, OvIm3DClose},
    {ovPLUGINIDRESOURCES, sizeof(OvResourcesModule), OvResourcesOpen, OvResourcesClose},
};

void OvCoreModulesSetGamma(float gamma) { OvImageSetGamma(gamma); }
