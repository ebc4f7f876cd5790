// imgconv IN OUT.png: reads an image through the graphics engine's image read (so by the
// extension of IN, through the registered BMP or PNG reader), prints its size and depth, widens
// a palettised image through its palette and writes it as an 8-bit RGBA PNG.

#include <png.h>
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "graphics/core/file_system.h"
#include "graphics/core/image.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/toolkits/bmp_reader.h"
#include "graphics/toolkits/png_reader.h"
#include "tools/engine_error/engine_error.h"

namespace {

void Usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: imgconv IN OUT.png\n"
                 "  Reads IN (.bmp or .png, chosen by its extension) through the engine's image readers,\n"
                 "  prints \"WxH depth D\" of the engine image and writes it to OUT.png as 8-bit RGBA.\n"
                 "  Exit status 0 on success, 1 when IN cannot be read or OUT cannot be written, 2 on bad usage.\n");
}

// The picture as tightly packed red, green, blue, alpha rows; null when out of memory.
OvImage* Widened(OvImage* image) {
    OvImage* wide = OvImageCreate(image->width, image->height, 32);
    if (wide == nullptr || OvImageAllocatePixels(wide) == nullptr || OvImageCopy(wide, image) == nullptr) {
        if (wide != nullptr) {
            OvImageDestroy(wide);
        }
        return nullptr;
    }
    return wide;
}

int Convert(const char* in, const char* out) {
    OvImageRegisterFileFormat("bmp", OvBmpImageRead, nullptr);
    OvImageRegisterFileFormat("png", OvPngImageRead, nullptr);
    OvImage* image = OvImageRead(in);
    const std::string why = HeldEngineErrorWords({in, false, ""});
    if (image == nullptr) {
        // A file that is there but has another extension has no reader; anything else the words tell.
        const char* extension = std::strrchr(in, '.');
        const bool known =
            extension != nullptr && (strcasecmp(extension, ".png") == 0 || strcasecmp(extension, ".bmp") == 0);
        std::error_code ec;
        const bool there = std::filesystem::is_regular_file(in, ec);
        std::fprintf(stderr, "imgconv: %s: %s\n", in,
                     known || !there ? why.c_str() : "no image reader for its extension (.bmp and .png are read)");
        return 1;
    }
    std::printf("%dx%d depth %d\n", image->width, image->height, image->depth);
    OvImage* wide = image->depth == 32 ? image : Widened(image);
    int status = 0;
    if (wide == nullptr) {
        std::fprintf(stderr, "imgconv: %s: out of memory\n", in);
        status = 1;
    } else {
        png_image png = {};
        png.version = PNG_IMAGE_VERSION;
        png.width = static_cast<png_uint_32>(wide->width);
        png.height = static_cast<png_uint_32>(wide->height);
        png.format = PNG_FORMAT_RGBA;
        if (!png_image_write_to_file(&png, out, 0, wide->cpPixels, wide->stride, nullptr)) {
            std::fprintf(stderr, "imgconv: %s: cannot write (%s)\n", out, png.message);
            status = 1;
        }
        if (wide != image) {
            OvImageDestroy(wide);
        }
    }
    OvImageDestroy(image);
    return status;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        Usage(stdout);
        return 0;
    }
    if (argc != 3) {
        std::fprintf(stderr, "imgconv: expected IN OUT.png, got %d argument%s\n", argc - 1, argc == 2 ? "" : "s");
        Usage(stderr);
        return 2;
    }
    if (!OvTestEngineUp()) {
        std::fprintf(stderr, "imgconv: the graphics engine did not start\n");
        return 1;
    }
    const int status = Convert(argv[1], argv[2]);
    OvTestEngineDown();
    return status;
}
