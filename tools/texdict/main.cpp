// texdict: texture dictionaries stored as images (chunk type 35) or in the Direct3D 9 driver's
// native form (chunk type 22).
//   texdict list FILE                     one line per texture
//   texdict build [--native] OUT IMAGE... a dictionary of the images, through the engine's
//                                         texture read and its dictionary writer

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "graphics/core/chunk.h"
#include "graphics/core/d3d9/device.h"
#include "graphics/core/d3d9/raster.h"
#include "graphics/core/error.h"
#include "graphics/core/image.h"
#include "graphics/core/stream.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/core/testkit/memory_raster_driver.h"
#include "graphics/core/texture_stream.h"
#include "graphics/toolkits/bmp_reader.h"
#include "graphics/toolkits/png_reader.h"
#include "testing/headless_window.h"
#include "tools/engine_error/engine_error.h"

namespace {

void Usage(std::FILE* out) {
    std::fprintf(out, "usage: texdict list FILE\n"
                      "       texdict build [--no-mipmaps] [--native] OUT IMAGE...\n"
                      "  list   prints one line per texture of the dictionary in FILE (either form):\n"
                      "         NAME MASK WxH levels N format 0xFFFF type T   (MASK is - when there is none)\n"
                      "         and, for a dictionary in the native form, d3dformat D (the device format).\n"
                      "  build  reads each IMAGE (.bmp or .png) as a texture named after the file without its\n"
                      "         extension, with mip levels made from it (filter mode 6) unless --no-mipmaps\n"
                      "         (filter mode 2), and writes the dictionary to OUT: as images, or with --native\n"
                      "         in the Direct3D 9 driver's native form (made on the driver's stand-in device).\n"
                      "  Exit status 0 on success, 1 when a file cannot be read or written, 2 on bad usage.\n");
}

// The type of the file's first chunk, or 0 when it has none.
OvUInt32 FirstChunkType(const char* path) {
    std::ifstream file(path, std::ios::binary);
    unsigned char bytes[4] = {};
    if (!file.read(reinterpret_cast<char*>(bytes), 4)) {
        return 0;
    }
    return OvChunkGetUInt32(bytes);
}

// One line for a texture of a listed dictionary; `native` points at whether it was read natively.
OvTexture* PrintTexture(OvTexture* t, void* native) {
    OvRaster* r = t->raster;
    if (r == nullptr) {
        std::printf("%s %s no raster\n", t->name, t->mask[0] != '\0' ? t->mask : "-");
        return t;
    }
    std::printf("%s %s %dx%d levels %d format 0x%04X type %d", t->name, t->mask[0] != '\0' ? t->mask : "-", r->width,
                r->height, OvRasterGetNumLevels(r), static_cast<unsigned>(OvRasterGetFormat(r)), OvRasterGetType(r));
    if (*static_cast<const bool*>(native)) {
        std::printf(" d3dformat %u", static_cast<unsigned>(OvD3D9RasterExtGet(r)->format));
    }
    std::printf("\n");
    return t;
}

int List(const char* path, bool native) {
    const EngineErrorContext context = {path, false, "texture dictionary"};
    OvStream* stream = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, path);
    if (stream == nullptr) {
        std::fprintf(stderr, "texdict: %s: %s\n", path, HeldEngineErrorWords(context).c_str());
        return 1;
    }
    OvTexDictionary* dict = nullptr;
    bool found = false;
    if (native && OvStreamFindChunk(stream, ovID_TEXDICTIONARY, nullptr, nullptr)) {
        found = true;
        dict = OvTexDictionaryStreamReadNative(stream);
    } else if (!native && OvStreamFindChunk(stream, ovID_TEXDICTIONARYIMAGES, nullptr, nullptr)) {
        found = true;
        dict = OvTexDictionaryStreamReadImages(stream);
    }
    if (dict == nullptr) {
        // A file without the dictionary's chunk is not one; one cut short says where it ends.
        const std::string why = HeldEngineErrorWords(context);
        std::fprintf(stderr, "texdict: %s: not a readable texture dictionary (%s)\n", path,
                     found ? why.c_str() : "it holds no texture dictionary chunk of either form");
        OvStreamClose(stream, nullptr);
        return 1;
    }
    OvStreamClose(stream, nullptr);
    OvTexDictionaryForAllTextures(dict, PrintTexture, &native);
    OvTexDictionaryDestroy(dict);
    return 0;
}

int Build(const char* out, const std::vector<const char*>& images, bool mipmaps, bool native) {
    OvImageRegisterFileFormat("bmp", OvBmpImageRead, nullptr);
    OvImageRegisterFileFormat("png", OvPngImageRead, nullptr);
    OvTexDictionary* dict = OvTexDictionaryCreate();
    if (dict == nullptr) {
        std::fprintf(stderr, "texdict: out of memory\n");
        return 1;
    }
    OvTexDictionarySetCurrent(dict);
    OvTextureSetMipmapping(mipmaps ? TRUE : FALSE);
    OvTextureSetAutoMipmapping(mipmaps ? TRUE : FALSE);
    int status = 0;
    for (const char* image : images) {
        const std::filesystem::path path(image);
        std::error_code ec;
        if (!std::filesystem::is_regular_file(path, ec)) {
            std::fprintf(stderr, "texdict: %s: %s\n", image,
                         EngineErrorWords({0, ovERRNOERROR}, {image, false, ""}).c_str());
            status = 1;
            break;
        }
        // The texture read finds "name" + a registered extension along the image path.
        const std::string folder = path.has_parent_path() ? path.parent_path().string() + "/" : "";
        const std::string name = path.stem().string();
        OvImageSetPath(folder.c_str());
        if (name.size() >= static_cast<std::size_t>(ovTEXTURENAMESIZE)) {
            std::fprintf(stderr, "texdict: %s: the name %s is longer than 31 characters\n", image, name.c_str());
            status = 1;
            break;
        }
        if (OvTexDictionaryFindNamedTexture(dict, name.c_str()) != nullptr) {
            std::fprintf(stderr, "texdict: %s: a texture named %s is already in the dictionary\n", image, name.c_str());
            status = 1;
            break;
        }
        OvTexture* texture = OvTextureRead(name.c_str(), nullptr);
        if (texture == nullptr) {
            std::fprintf(stderr, "texdict: %s: cannot read (%s)\n", image,
                         HeldEngineErrorWords({image, false, ""}).c_str());
            status = 1;
            break;
        }
        const OvUInt32 filter = OvRasterGetNumLevels(texture->raster) > 1 ? ovFILTERLINEARMIPLINEAR : ovFILTERLINEAR;
        texture->filterAddressing = (texture->filterAddressing & ~ovTEXTUREFILTERMODEMASK) | filter;
    }
    if (status == 0) {
        OvStream* stream = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMWRITE, out);
        const bool written = stream != nullptr && (native ? OvTexDictionaryStreamWriteNative(dict, stream) != nullptr
                                                          : OvTexDictionaryStreamWriteImages(dict, stream) != nullptr);
        const bool closed = stream != nullptr && OvStreamClose(stream, nullptr);
        if (!written || !closed) {
            std::fprintf(stderr, "texdict: %s: cannot write (%s)\n", out,
                         HeldEngineErrorWords({out, true, ""}).c_str());
            status = 1;
        }
    }
    OvTexDictionaryDestroy(dict);
    return status;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        Usage(stdout);
        return 0;
    }
    const bool list = argc == 3 && std::strcmp(argv[1], "list") == 0;
    const bool build = argc >= 4 && std::strcmp(argv[1], "build") == 0;
    bool mipmaps = true;
    bool native = false;
    int first = 2;
    for (; build && first < argc && argv[first][0] == '-'; ++first) {
        if (std::strcmp(argv[first], "--no-mipmaps") == 0) {
            mipmaps = false;
        } else if (std::strcmp(argv[first], "--native") == 0) {
            native = true;
        } else {
            std::fprintf(stderr, "texdict: unknown option %s\n", argv[first]);
            Usage(stderr);
            return 2;
        }
    }
    if (!list && !(build && argc - first >= 2)) {
        if (argc >= 2 && std::strcmp(argv[1], "list") != 0 && std::strcmp(argv[1], "build") != 0) {
            std::fprintf(stderr, "texdict: unknown command %s\n", argv[1]);
        }
        Usage(stderr);
        return 2;
    }
    if (list) {
        native = FirstChunkType(argv[2]) == ovID_TEXDICTIONARY;
    }
    // The native form is the Direct3D 9 driver's: it runs on the driver over the platform's
    // stand-in device, on a window that is never shown.
    HWND window = native ? OpenHeadlessWindow("texdict", DefWindowProcA, 64, 64) : nullptr;
    if (!OvTestEngineUp(0, nullptr, native ? OvD3D9Driver() : OvTestMemoryRasterDriver(), native ? &window : nullptr)) {
        std::fprintf(stderr, "texdict: the graphics engine did not start\n");
        return 1;
    }
    int status = 0;
    if (list) {
        status = List(argv[2], native);
    } else {
        status = Build(argv[first], std::vector<const char*>(argv + first + 1, argv + argc), mipmaps, native);
    }
    OvTestEngineDown();
    return status;
}
