#pragma once
// The image module (engine module 0x406): pictures in main memory, their pixel blocks and
// palettes, the gamma table, the image search path and the registry of image file readers
// keyed by file extension.

#include "graphics/core/memory.h"
#include "graphics/core/plugin.h"
#include "graphics/core/types.h"

struct OvStream;

// Image flags.
enum OvImageFlag : OvUInt32 {
    ovIMAGEALLOCATED = 0x1,      // the image owns its pixel block (and the palette inside it)
    ovIMAGEGAMMACORRECTED = 0x2, // the colours have been gamma-corrected
};

// Image record; extension data follows (image registry). Pixels are 4-byte red, green, blue,
// alpha at depth 32; at depths 4 and 8 one palette index a byte into a palette of 1 << depth
// entries of red, green, blue, alpha.
struct OvImage {
    OvUInt32 flags;    // OvImageFlag bits
    OvInt32 width;     // pixels
    OvInt32 height;    // pixels
    OvInt32 depth;     // bits a pixel: 4, 8 or 32
    OvInt32 stride;    // bytes from one row to the next
    OvUInt8* cpPixels; // first row, or null
    OvUInt8* palette;  // 1 << depth entries for depths 4 and 8, or null; may be shared
};

// A file reader: (file name) -> new image or null. A writer: (image, file name) -> image.
using OvImageReadFunction = OvImage* (*)(const char* imageName);
using OvImageWriteFunction = OvImage* (*)(OvImage* image, const char* imageName);

inline constexpr OvInt32 ovIMAGEEXTENSIONSIZE = 20; // "." + up to 18 characters + NUL

// One registered file extension, newest first.
struct OvImageFileFormat {
    char lowerExtension[ovIMAGEEXTENSIONSIZE]; // ".png"
    char upperExtension[ovIMAGEEXTENSIONSIZE]; // ".PNG"
    OvImageReadFunction read;                  // null when none
    OvImageWriteFunction write;                // kept, never called by the core
    OvImageFileFormat* next;                   // next (older) entry
};

// The module's data in the engine instance.
struct OvImageModule {
    OvFreeList* imageFreeList;       // image records
    OvFreeList imageFreeListHeader;  // static header of that list
    char* path;                      // ';'-separated search path
    OvInt32 pathSize;                // capacity of path in bytes
    OvUInt8 gammaTable[256];         // colour byte -> corrected byte
    float gammaValue;                // gamma the table was built for
    char* scratch;                   // candidate file names of the path walk
    OvInt32 scratchSize;             // capacity of scratch in bytes
    OvFreeList* formatFreeList;      // file-format entries
    OvFreeList formatFreeListHeader; // static header of that list
    OvImageFileFormat* formats;      // newest registered format
};

void* OvImageOpen(void* instance, OvInt32 offset, OvInt32 size);
// Run by OvEngineStop: images still allocated go with the pool (their pixels are not freed).
void* OvImageClose(void* instance, OvInt32 offset, OvInt32 size);
// Times the module is open.
OvInt32 OvImageGetNumInstances();

OvPluginRegistry* OvImageGetRegistry();
OvInt32 OvImageRegisterPlugin(OvInt32 size, OvUInt32 pluginID, OvPluginObjectConstructor constructCB,
                              OvPluginObjectDestructor destructCB, OvPluginObjectCopy copyCB);

// A record of the given size without pixels; null when out of memory or refused by an extension.
OvImage* OvImageCreate(OvInt32 width, OvInt32 height, OvInt32 depth);
OvBool OvImageDestroy(OvImage* image);
// One block of height * stride bytes (stride = bytes of a row rounded up to 4), followed by the
// palette for depths 4 and 8. Null with error 0x80000013 when it cannot be had (also for sizes
// that are not positive or whose block would not fit 31 bits).
OvImage* OvImageAllocatePixels(OvImage* image);
OvImage* OvImageFreePixels(OvImage* image);
// Copies or converts (4 -> 8, 4/8 -> 32) the source into the destination of the same size;
// error 0x8000000a for different sizes, 0x80000009 for another depth pair.
OvImage* OvImageCopy(OvImage* destination, const OvImage* source);
OvImage* OvImageAlphaFromIntensity(OvImage* image);
// The mask's alpha into the image, which is first widened to 32 bits when palettised.
OvImage* OvImageApplyMask(OvImage* image, const OvImage* mask);
OvImage* OvImageGammaCorrect(OvImage* image);
OvBool OvImageSetGamma(float gammaValue);
float OvImageGetGamma();
const char* OvImageSetPath(const char* path);
const char* OvImageGetPath();

OvBool OvImageRegisterFileFormat(const char* extension, OvImageReadFunction readFunc, OvImageWriteFunction writeFunc);
// The registered formats, newest first.
const OvImageFileFormat* OvImageGetFileFormats();
// Reads an image by the extension of its name, trying each entry of the search path.
OvImage* OvImageRead(const char* imageName);
// Reads an image and, with a non-empty mask name, takes the mask's intensity as its alpha.
OvImage* OvImageReadMaskedImage(const char* imageName, const char* maskName);
// The registered extension (".png" or ".PNG") under which the name exists along the search
// path, or null. The text lives until the format is registered again or the module closes.
const char* OvImageFindFileExtension(const char* imageName);
// Whether the name exists along the search path, as named or with a registered extension.
OvBool OvImageFileExists(const char* imageName);

// Image chunk body: struct {width, height, depth, stride}, the rows, the palette.
OvImage* OvImageStreamRead(OvStream* stream);
OvUInt32 OvImageStreamGetSize(const OvImage* image);
// Writes a whole image chunk (header included); the image, or null on a write failure.
const OvImage* OvImageStreamWrite(const OvImage* image, OvStream* stream);
