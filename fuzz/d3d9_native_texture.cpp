// Native texture chunks of the Direct3D 9 driver, read by the driver's native texture reader on
// the stand-in device (an adapter that takes palettes, alpha-only, DXT and cube textures): the
// fixed part, the raster it asks for, the palette and every level of every face. An input that
// starts with a native dictionary chunk (22) is read as a dictionary of such textures instead.
// What reads is destroyed again; whatever an input leaves on the device is a leak.

#include <cstdint>
#include <cstdlib>

#include "fuzz/fuzz_kit.h"
#include "graphics/core/d3d9/device.h"
#include "graphics/core/d3d9/native_texture.h"
#include "graphics/core/error.h"
#include "graphics/core/chunk.h"
#include "graphics/core/stream.h"
#include "graphics/core/texture.h"
#include "graphics/core/texture_stream.h"
#include "testing/headless_window.h"

namespace {

// The engine on the Direct3D 9 driver, started at the first input and kept.
bool DriverUp() {
    static const bool up = [] {
        HWND window = OpenHeadlessWindow("fuzz_d3d9_native_texture", DefWindowProcA, 64, 64);
        D3d9Adapter adapter = D3d9DefaultAdapter();
        for (D3DFORMAT f : {D3DFMT_P8, D3DFMT_A8, D3DFMT_DXT1, D3DFMT_DXT3, D3DFMT_DXT5}) {
            adapter.textureFormats.push_back(f);
        }
        adapter.cubeFormats = {D3DFMT_R5G6B5, D3DFMT_A8R8G8B8, D3DFMT_DXT1};
        adapter.caps.TextureCaps |= D3DPTEXTURECAPS_ALPHAPALETTE;
        D3d9SetAdapters({adapter});
        static HWND kept = window;
        OvEngineSetDriver(OvD3D9Driver());
        return OvEngineInit(nullptr, 0, 0x400000) && OvEngineOpen(&kept) && OvEngineStart();
    }();
    return up;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!DriverUp()) {
        return 0;
    }
    IDirect3DDevice9* device = OvD3D9GetDevice();
    const int live = D3d9LiveObjects(device);
    OvStream* stream = fuzzkit::OpenMemoryStream(data, size);
    OvTexture* texture = nullptr;
    if (size >= 4 && OvChunkGetUInt32(data) == ovID_TEXDICTIONARY) {
        OvTexDictionary* dict = nullptr;
        if (OvStreamFindChunk(stream, ovID_TEXDICTIONARY, nullptr, nullptr) &&
            (dict = OvTexDictionaryStreamReadNative(stream)) != nullptr) {
            OvTexDictionaryDestroy(dict);
        }
    } else if (OvD3D9NativeTextureRead(stream, &texture, 0)) {
        OvTextureDestroy(texture);
    }
    OvStreamClose(stream, nullptr);
    OvError ignored;
    OvErrorGet(&ignored);
    if (D3d9LiveObjects(device) != live) {
        std::abort(); // a refused or destroyed texture left a device object behind
    }
    return 0;
}
