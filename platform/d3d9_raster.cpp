// The rasteriser behind the Direct3D 9 stand-in's draws. Until it is written a draw is
// validated, counted and logged by the device and leaves the pixels untouched.

#include "platform/d3d9_device.h"

namespace d3d9 {

void RasteriseDraw(Device&, const DrawCall&) {}

} // namespace d3d9
