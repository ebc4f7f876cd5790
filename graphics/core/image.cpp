#include "graphics/core/image.h"

#include <cmath>
#include <cstring>
#include <initializer_list>

#include "graphics/core/chunk.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/file_system.h"
#include "graphics/core/stream.h"

namespace {

OvInt32 gImageModuleOffset = -1;
OvInt32 gImageNumInstances = 0;
OvPluginRegistry gImageRegistry = OvPluginRegistryInitialValue(sizeof(OvImage));

constexpr OvInt32 kImagesPerBlock = 128;
constexpr OvInt32 kFormatsPerBlock = 128;
constexpr OvInt32 kInitialBufferSize = 256;
constexpr OvUInt32 kModuleHint = ovMEMHINTDUR_GLOBAL | ovPLUGINIDIMAGE;
constexpr OvUInt32 kObjectHint = ovMEMHINTDUR_OBJECT | ovPLUGINIDIMAGE;
constexpr OvInt32 kMaxExtensionChars = ovIMAGEEXTENSIONSIZE - 2; // after the '.'
// Largest pixel block (palette included) an image may have; it must also be less than the
// machine holds (the sides of a run-length bitmap that ends early are bounded by nothing else).
constexpr std::uint64_t kMaxPixelBlock = 0x7FFFFFFFu;
constexpr OvUInt32 kImageStructSize = 16;

OvImageModule* Module() {
    return reinterpret_cast<OvImageModule*>(reinterpret_cast<char*>(OvEngineInstancePtr) + gImageModuleOffset);
}

void Report(OvInt32 code) { OvErrorReport(ovPLUGINIDCORE, code); }

bool IsPalettised(OvInt32 depth) { return depth == 4 || depth == 8; }
OvInt32 PaletteBytes(OvInt32 depth) { return 4 << depth; }
OvInt32 RowBytes(OvInt32 width, OvInt32 depth) { return ((depth + 7) >> 3) * width; }

void BuildGammaTable(OvImageModule* module, float gammaValue) {
    module->gammaValue = gammaValue;
    module->gammaTable[0] = 0;
    const float exponent = 1.0f / gammaValue;
    for (int i = 1; i < 256; ++i) {
        const float x = static_cast<float>(i) * (1.0f / 255.0f);
        const float v = std::pow(x, exponent) * 255.0f + 0.5f;
        module->gammaTable[i] = static_cast<OvUInt8>(v >= 255.0f ? 255 : static_cast<int>(v));
    }
}

// Makes a module buffer hold at least size bytes; it grows, never shrinks.
bool GrowBuffer(char** buffer, OvInt32* capacity, std::size_t size) {
    if (size <= static_cast<std::size_t>(*capacity)) {
        return true;
    }
    if (size > 0x7FFFFFFFu) {
        Report(OvErrorCode(ovERRNOMEMORY, size));
        return false;
    }
    char* grown = static_cast<char*>(OvRealloc(*buffer, size, kModuleHint | ovMEMHINTFLAG_RESIZABLE));
    if (grown == nullptr) {
        Report(OvErrorCode(ovERRNOMEMORY, size));
        return false;
    }
    *buffer = grown;
    *capacity = static_cast<OvInt32>(size);
    return true;
}

using PathCallback = bool (*)(char* candidate, std::size_t capacity, void* data); // false stops the walk

// Absolute names: a drive letter with ':', or a leading separator of either kind (the file
// systems here also take '/' names).
bool IsAbsolute(const char* name) {
    const unsigned char c = static_cast<unsigned char>(name[0]);
    return c == '\\' || c == '/' || (((c | 0x20) >= 'a' && (c | 0x20) <= 'z') && name[1] == ':');
}

// Calls back with every candidate file name of the search path; the scratch buffer has room
// for extraRoom bytes after each candidate. Null when the scratch buffer cannot grow.
OvImageModule* WalkPath(const char* name, std::size_t extraRoom, PathCallback callback, void* data) {
    OvImageModule* module = Module();
    const std::size_t nameLength = std::strlen(name);
    if (IsAbsolute(name) || module->path[0] == '\0') {
        if (!GrowBuffer(&module->scratch, &module->scratchSize, nameLength + extraRoom)) {
            return nullptr;
        }
        std::memcpy(module->scratch, name, nameLength + 1);
        callback(module->scratch, static_cast<std::size_t>(module->scratchSize), data);
        return module;
    }
    const char* entry = module->path;
    while (*entry != '\0') {
        const char* end = std::strchr(entry, ';');
        const std::size_t entryLength = end != nullptr ? static_cast<std::size_t>(end - entry) : std::strlen(entry);
        if (!GrowBuffer(&module->scratch, &module->scratchSize, entryLength + nameLength + extraRoom)) {
            return nullptr;
        }
        // The path may not move while the scratch buffer grows: they are separate blocks.
        std::memcpy(module->scratch, entry, entryLength);
        std::memcpy(module->scratch + entryLength, name, nameLength + 1);
        if (!callback(module->scratch, static_cast<std::size_t>(module->scratchSize), data)) {
            break;
        }
        if (end == nullptr) {
            break;
        }
        entry = end + 1;
    }
    return module;
}

struct ReadData {
    OvImageReadFunction read;
    OvImage* image;
};

bool ReadCandidate(char* candidate, std::size_t, void* data) {
    auto* read = static_cast<ReadData*>(data);
    if (OvFSManagerFexist(candidate)) {
        read->image = read->read(candidate);
    }
    return read->image == nullptr;
}

struct FindData {
    const char* extension;
};

bool FindCandidate(char* candidate, std::size_t capacity, void* data) {
    auto* find = static_cast<FindData*>(data);
    const std::size_t length = std::strlen(candidate);
    for (const OvImageFileFormat* f = Module()->formats; f != nullptr; f = f->next) {
        for (const char* extension : {f->lowerExtension, f->upperExtension}) {
            const std::size_t extensionLength = std::strlen(extension);
            if (length + extensionLength + 1 > capacity) {
                continue;
            }
            std::memcpy(candidate + length, extension, extensionLength + 1);
            const bool exists = OvFSManagerFexist(candidate);
            candidate[length] = '\0';
            if (exists) {
                find->extension = extension;
                return false;
            }
        }
    }
    return true;
}

// Whether the candidate exists as named or with a registered extension; the data is a bool set
// when it does.
bool ExistsCandidate(char* candidate, std::size_t capacity, void* data) {
    FindData find = {nullptr};
    const bool found = OvFSManagerFexist(candidate) || !FindCandidate(candidate, capacity, &find);
    *static_cast<bool*>(data) = found;
    return !found;
}

// Extension of a file name (the text from the last '.' of its file part), or null.
const char* FileExtension(const char* name) {
    const char* file = name;
    if (const char* colon = std::strrchr(file, ':')) {
        file = colon + 1;
    }
    if (const char* slash = std::strrchr(file, '/')) {
        file = slash + 1;
    }
    if (const char* backslash = std::strrchr(file, '\\')) {
        file = backslash + 1;
    }
    return std::strrchr(file, '.');
}

// Widens a palettised image to 32 bits in place, keeping its gamma flag.
OvImage* WidenTo32(OvImage* image) {
    if (image->palette == nullptr || image->cpPixels == nullptr) {
        Report(OvErrorCode(ovERRNULLARGUMENT));
        return nullptr;
    }
    OvImage* copy = OvImageCreate(image->width, image->height, image->depth);
    if (copy == nullptr) {
        return nullptr;
    }
    if (OvImageAllocatePixels(copy) == nullptr || OvImageCopy(copy, image) == nullptr) {
        OvImageDestroy(copy);
        return nullptr;
    }
    const OvUInt32 keptFlags = image->flags & ovIMAGEGAMMACORRECTED;
    if (image->flags & ovIMAGEALLOCATED) {
        OvImageFreePixels(image);
    }
    image->cpPixels = nullptr;
    image->palette = nullptr;
    image->depth = 32;
    if (OvImageAllocatePixels(image) == nullptr) {
        OvImageDestroy(copy);
        return nullptr;
    }
    OvImageCopy(image, copy);
    image->flags = (image->flags & ~ovIMAGEGAMMACORRECTED) | keptFlags;
    OvImageDestroy(copy);
    return image;
}

} // namespace

void* OvImageOpen(void* instance, OvInt32 offset, OvInt32 /*size*/) {
    gImageModuleOffset = offset;
    auto* module = reinterpret_cast<OvImageModule*>(static_cast<char*>(instance) + offset);
    *module = {};
    module->imageFreeList = OvFreeListCreateWithSpace(gImageRegistry.sizeOfStruct, kImagesPerBlock, 0, 1,
                                                      &module->imageFreeListHeader, kModuleHint);
    module->formatFreeList = OvFreeListCreateWithSpace(sizeof(OvImageFileFormat), kFormatsPerBlock, 0, 1,
                                                       &module->formatFreeListHeader, kModuleHint);
    module->path = static_cast<char*>(OvMalloc(kInitialBufferSize, kModuleHint | ovMEMHINTFLAG_RESIZABLE));
    module->scratch = static_cast<char*>(OvMalloc(kInitialBufferSize, kModuleHint | ovMEMHINTFLAG_RESIZABLE));
    if (module->imageFreeList == nullptr || module->formatFreeList == nullptr || module->path == nullptr ||
        module->scratch == nullptr) {
        OvImageClose(instance, offset, 0);
        return nullptr;
    }
    module->pathSize = kInitialBufferSize;
    module->scratchSize = kInitialBufferSize;
    module->path[0] = '\0';
    BuildGammaTable(module, 1.0f);
    gImageNumInstances++;
    return instance;
}

void* OvImageClose(void* instance, OvInt32 offset, OvInt32 /*size*/) {
    auto* module = reinterpret_cast<OvImageModule*>(static_cast<char*>(instance) + offset);
    const bool wasOpen = module->imageFreeList != nullptr && module->path != nullptr;
    OvFree(module->scratch);
    OvFree(module->path);
    module->scratch = nullptr;
    module->path = nullptr;
    for (OvImageFileFormat* f = module->formats; f != nullptr;) {
        OvImageFileFormat* next = f->next;
        OvFreeListEntryFree(module->formatFreeList, f);
        f = next;
    }
    module->formats = nullptr;
    if (module->formatFreeList != nullptr) {
        OvFreeListDestroy(module->formatFreeList);
        module->formatFreeList = nullptr;
    }
    if (module->imageFreeList != nullptr) {
        OvFreeListDestroy(module->imageFreeList);
        module->imageFreeList = nullptr;
    }
    if (wasOpen) {
        gImageNumInstances--;
    }
    return instance;
}

OvInt32 OvImageGetNumInstances() { return gImageNumInstances; }

OvPluginRegistry* OvImageGetRegistry() { return &gImageRegistry; }

OvInt32 OvImageRegisterPlugin(OvInt32 size, OvUInt32 pluginID, OvPluginObjectConstructor constructCB,
                              OvPluginObjectDestructor destructCB, OvPluginObjectCopy copyCB) {
    return OvPluginRegistryAddPlugin(&gImageRegistry, size, pluginID, constructCB, destructCB, copyCB);
}

OvImage* OvImageCreate(OvInt32 width, OvInt32 height, OvInt32 depth) {
    OvImageModule* module = Module();
    auto* image = static_cast<OvImage*>(OvFreeListEntryAlloc(module->imageFreeList, kObjectHint));
    if (image == nullptr) {
        Report(OvErrorCode(ovERRNOMEMORY, sizeof(OvImage)));
        return nullptr;
    }
    *image = {};
    image->width = width;
    image->height = height;
    image->depth = depth;
    if (OvPluginRegistryInitObject(&gImageRegistry, image) == nullptr) {
        OvFreeListEntryFree(module->imageFreeList, image);
        return nullptr;
    }
    return image;
}

OvBool OvImageDestroy(OvImage* image) {
    if (image->flags & ovIMAGEALLOCATED) {
        OvImageFreePixels(image);
    }
    OvPluginRegistryDeInitObject(&gImageRegistry, image);
    OvFreeListEntryFree(Module()->imageFreeList, image);
    return TRUE;
}

OvImage* OvImageAllocatePixels(OvImage* image) {
    if (image->width <= 0 || image->height <= 0 || image->depth <= 0 || image->depth > 32) {
        Report(OvErrorCode(ovERRNOMEMORY));
        return nullptr;
    }
    const std::uint64_t stride = (static_cast<std::uint64_t>(RowBytes(1, image->depth)) * image->width + 3) & ~3ull;
    const std::uint64_t palette =
        IsPalettised(image->depth) ? static_cast<std::uint64_t>(PaletteBytes(image->depth)) : 0;
    const std::uint64_t total = stride * static_cast<std::uint64_t>(image->height) + palette;
    if (total > kMaxPixelBlock || !OvMemoryFitsMachine(total)) {
        Report(OvErrorCode(ovERRNOMEMORY, static_cast<std::size_t>(total)));
        return nullptr;
    }
    auto* block = static_cast<OvUInt8*>(OvMalloc(static_cast<std::size_t>(total), kObjectHint));
    if (block == nullptr) {
        Report(OvErrorCode(ovERRNOMEMORY, static_cast<std::size_t>(total)));
        return nullptr;
    }
    image->stride = static_cast<OvInt32>(stride);
    image->cpPixels = block;
    image->palette = palette != 0 ? block + stride * static_cast<std::uint64_t>(image->height) : nullptr;
    image->flags |= ovIMAGEALLOCATED;
    return image;
}

OvImage* OvImageFreePixels(OvImage* image) {
    OvFree(image->cpPixels);
    image->cpPixels = nullptr;
    image->palette = nullptr;
    image->flags &= ~ovIMAGEALLOCATED;
    return image;
}

OvImage* OvImageCopy(OvImage* destination, const OvImage* source) {
    if (destination->width != source->width || destination->height != source->height) {
        Report(OvErrorCode(ovERRSIZEMISMATCH));
        return nullptr;
    }
    if (source->cpPixels == nullptr || destination->cpPixels == nullptr ||
        (IsPalettised(source->depth) && destination->depth == 32 && source->palette == nullptr)) {
        Report(OvErrorCode(ovERRNULLARGUMENT));
        return nullptr;
    }
    const OvInt32 width = destination->width;
    const OvInt32 height = destination->height;
    const OvUInt8* src = source->cpPixels;
    OvUInt8* dst = destination->cpPixels;
    if (source->depth == destination->depth) {
        if (source->depth <= 8 && source->palette != nullptr && destination->palette != nullptr &&
            source->palette != destination->palette) {
            std::memcpy(destination->palette, source->palette, static_cast<std::size_t>(PaletteBytes(source->depth)));
        }
        const auto rowBytes = static_cast<std::size_t>(RowBytes(width, source->depth));
        for (OvInt32 y = 0; y < height; ++y) {
            std::memmove(dst, src, rowBytes);
            src += source->stride;
            dst += destination->stride;
        }
    } else if (source->depth == 4 && destination->depth == 8) {
        for (OvInt32 y = 0; y < height; ++y) {
            std::memcpy(dst, src, static_cast<std::size_t>(width));
            src += source->stride;
            dst += destination->stride;
        }
    } else if (IsPalettised(source->depth) && destination->depth == 32) {
        const OvInt32 entries = 1 << source->depth;
        for (OvInt32 y = 0; y < height; ++y) {
            for (OvInt32 x = 0; x < width; ++x) {
                // An index past a 4-bit palette (a 4-bit image holds a byte a pixel) is kept in it.
                const OvInt32 index = src[x] & (entries - 1);
                std::memcpy(dst + 4 * x, source->palette + 4 * index, 4);
            }
            src += source->stride;
            dst += destination->stride;
        }
    } else {
        Report(OvErrorCode(ovERRBADFORMAT));
        return nullptr;
    }
    destination->flags = (destination->flags & ~ovIMAGEGAMMACORRECTED) | (source->flags & ovIMAGEGAMMACORRECTED);
    return destination;
}

OvImage* OvImageAlphaFromIntensity(OvImage* image) {
    auto intensity = [](OvUInt8* p) {
        OvUInt8 m = p[0] > p[1] ? p[0] : p[1];
        p[3] = m > p[2] ? m : p[2];
    };
    if (image->depth == 32 && image->cpPixels != nullptr) {
        for (OvInt32 y = 0; y < image->height; ++y) {
            OvUInt8* row = image->cpPixels + static_cast<std::ptrdiff_t>(y) * image->stride;
            for (OvInt32 x = 0; x < image->width; ++x) {
                intensity(row + 4 * x);
            }
        }
    } else if (IsPalettised(image->depth) && image->palette != nullptr) {
        for (OvInt32 i = 0; i < (1 << image->depth); ++i) {
            intensity(image->palette + 4 * i);
        }
    }
    return image;
}

OvImage* OvImageApplyMask(OvImage* image, const OvImage* mask) {
    if (image->width != mask->width || image->height != mask->height) {
        Report(OvErrorCode(ovERRSIZEMISMATCH));
        return nullptr;
    }
    if (IsPalettised(image->depth)) {
        if (WidenTo32(image) == nullptr) {
            return nullptr;
        }
    } else if (image->depth != 32) {
        Report(OvErrorCode(ovERRBADFORMAT));
        return nullptr;
    }
    if (!IsPalettised(mask->depth) && mask->depth != 32) {
        Report(OvErrorCode(ovERRBADFORMAT));
        return nullptr;
    }
    if (mask->cpPixels == nullptr || (IsPalettised(mask->depth) && mask->palette == nullptr)) {
        Report(OvErrorCode(ovERRNULLARGUMENT));
        return nullptr;
    }
    for (OvInt32 y = 0; y < image->height; ++y) {
        OvUInt8* row = image->cpPixels + static_cast<std::ptrdiff_t>(y) * image->stride;
        const OvUInt8* maskRow = mask->cpPixels + static_cast<std::ptrdiff_t>(y) * mask->stride;
        for (OvInt32 x = 0; x < image->width; ++x) {
            if (mask->depth == 32) {
                row[4 * x + 3] = maskRow[4 * x + 3];
            } else {
                const OvInt32 index = maskRow[x] & ((1 << mask->depth) - 1);
                row[4 * x + 3] = mask->palette[4 * index + 3];
            }
        }
    }
    return image;
}

OvImage* OvImageGammaCorrect(OvImage* image) {
    const OvUInt8* table = Module()->gammaTable;
    auto correct = [table](OvUInt8* p) {
        p[0] = table[p[0]];
        p[1] = table[p[1]];
        p[2] = table[p[2]];
    };
    if (IsPalettised(image->depth)) {
        if (image->palette == nullptr) {
            Report(OvErrorCode(ovERRNULLARGUMENT));
            return nullptr;
        }
        for (OvInt32 i = 0; i < (1 << image->depth); ++i) {
            correct(image->palette + 4 * i);
        }
    } else if (image->depth == 32) {
        if (image->cpPixels == nullptr) {
            Report(OvErrorCode(ovERRNULLARGUMENT));
            return nullptr;
        }
        for (OvInt32 y = 0; y < image->height; ++y) {
            OvUInt8* row = image->cpPixels + static_cast<std::ptrdiff_t>(y) * image->stride;
            for (OvInt32 x = 0; x < image->width; ++x) {
                correct(row + 4 * x);
            }
        }
    } else {
        Report(OvErrorCode(ovERRBADDEPTH));
        return nullptr;
    }
    image->flags |= ovIMAGEGAMMACORRECTED;
    return image;
}

OvBool OvImageSetGamma(float gammaValue) {
    // A gamma that is not positive would make the table out of NaNs; it is refused.
    if (!(gammaValue > 0.0f)) {
        return FALSE;
    }
    BuildGammaTable(Module(), gammaValue);
    return TRUE;
}

float OvImageGetGamma() { return Module()->gammaValue; }

const char* OvImageSetPath(const char* path) {
    OvImageModule* module = Module();
    const std::size_t length = std::strlen(path);
    if (!GrowBuffer(&module->path, &module->pathSize, length + 1)) {
        return nullptr;
    }
    std::memcpy(module->path, path, length + 1);
    return module->path;
}

const char* OvImageGetPath() { return Module()->path; }

OvBool OvImageRegisterFileFormat(const char* extension, OvImageReadFunction readFunc, OvImageWriteFunction writeFunc) {
    OvImageModule* module = Module();
    char lower[ovIMAGEEXTENSIONSIZE] = ".";
    char upper[ovIMAGEEXTENSIONSIZE] = ".";
    std::strncat(lower, extension, kMaxExtensionChars);
    std::strncat(upper, extension, kMaxExtensionChars);
    OvStringToLower(lower);
    OvStringToUpper(upper);
    OvImageFileFormat* entry = module->formats;
    while (entry != nullptr && std::strcmp(entry->lowerExtension, lower) != 0) {
        entry = entry->next;
    }
    if (entry == nullptr) {
        entry = static_cast<OvImageFileFormat*>(OvFreeListEntryAlloc(module->formatFreeList, kModuleHint));
        if (entry == nullptr) {
            return FALSE;
        }
        *entry = {};
        std::memcpy(entry->lowerExtension, lower, sizeof(lower));
        std::memcpy(entry->upperExtension, upper, sizeof(upper));
        entry->next = module->formats;
        module->formats = entry;
    }
    if (readFunc != nullptr) {
        entry->read = readFunc;
    }
    if (writeFunc != nullptr) {
        entry->write = writeFunc;
    }
    return TRUE;
}

const OvImageFileFormat* OvImageGetFileFormats() { return Module()->formats; }

OvImage* OvImageRead(const char* imageName) {
    const char* extension = FileExtension(imageName);
    if (extension == nullptr) {
        return nullptr;
    }
    const OvImageFileFormat* f = Module()->formats;
    while (f != nullptr && std::strcmp(f->lowerExtension, extension) != 0 &&
           std::strcmp(f->upperExtension, extension) != 0) {
        f = f->next;
    }
    if (f == nullptr || f->read == nullptr) {
        return nullptr;
    }
    ReadData data = {f->read, nullptr};
    WalkPath(imageName, 5, ReadCandidate, &data);
    return data.image;
}

OvImage* OvImageReadMaskedImage(const char* imageName, const char* maskName) {
    OvImage* image = OvImageRead(imageName);
    if (image == nullptr || maskName == nullptr || maskName[0] == '\0') {
        return image;
    }
    OvImage* mask = OvImageRead(maskName);
    if (mask == nullptr) {
        OvImageDestroy(image);
        return nullptr;
    }
    OvImageAlphaFromIntensity(mask);
    OvImage* masked = OvImageApplyMask(image, mask);
    OvImageDestroy(mask);
    if (masked == nullptr) {
        OvImageDestroy(image);
    }
    return masked;
}

const char* OvImageFindFileExtension(const char* imageName) {
    FindData data = {nullptr};
    WalkPath(imageName, ovIMAGEEXTENSIONSIZE, FindCandidate, &data);
    return data.extension;
}

OvBool OvImageFileExists(const char* imageName) {
    bool found = false;
    WalkPath(imageName, ovIMAGEEXTENSIONSIZE, ExistsCandidate, &found);
    return found ? TRUE : FALSE;
}

OvImage* OvImageStreamRead(OvStream* stream) {
    OvUInt32 length = 0;
    if (!OvStreamFindChunk(stream, ovID_STRUCT, &length, nullptr)) {
        return nullptr;
    }
    OvUInt8 data[kImageStructSize];
    if (OvStreamReadStrict(stream, data, kImageStructSize) == nullptr) {
        return nullptr;
    }
    const auto width = static_cast<OvInt32>(OvChunkGetUInt32(data));
    const auto height = static_cast<OvInt32>(OvChunkGetUInt32(data + 4));
    const auto depth = static_cast<OvInt32>(OvChunkGetUInt32(data + 8));
    const auto storedStride = static_cast<OvInt32>(OvChunkGetUInt32(data + 12));
    // Only the depths the engine's images have; the stored rows must hold a row of pixels and
    // be present in the input before anything is allocated for them.
    if ((depth != 4 && depth != 8 && depth != 32) || width <= 0 || height <= 0 ||
        static_cast<std::int64_t>(storedStride) < static_cast<std::int64_t>(RowBytes(1, depth)) * width) {
        Report(OvErrorCode(ovERRBADFORMAT));
        return nullptr;
    }
    const std::uint64_t storedBytes = static_cast<std::uint64_t>(storedStride) * static_cast<std::uint64_t>(height) +
                                      (IsPalettised(depth) ? static_cast<std::uint64_t>(PaletteBytes(depth)) : 0);
    if (storedBytes > OvStreamGetBytesLeft(stream)) {
        Report(OvErrorCode(ovERRENDOFSTREAM));
        return nullptr;
    }
    OvImage* image = OvImageCreate(width, height, depth);
    if (image == nullptr) {
        return nullptr;
    }
    if (OvImageAllocatePixels(image) == nullptr) {
        OvImageDestroy(image);
        return nullptr;
    }
    bool ok = true;
    if (storedStride == image->stride) {
        ok = OvStreamReadStrict(stream, image->cpPixels,
                                static_cast<OvUInt32>(image->stride) * static_cast<OvUInt32>(height)) != nullptr;
    } else {
        const auto rowBytes = static_cast<OvUInt32>(image->stride < storedStride ? image->stride : storedStride);
        const auto skip = static_cast<OvUInt32>(storedStride) - rowBytes;
        for (OvInt32 y = 0; ok && y < height; ++y) {
            OvUInt8* row = image->cpPixels + static_cast<std::ptrdiff_t>(y) * image->stride;
            ok = OvStreamReadStrict(stream, row, rowBytes) != nullptr &&
                 (skip == 0 || OvStreamSkip(stream, skip) != nullptr);
        }
    }
    if (ok && IsPalettised(depth)) {
        ok = OvStreamReadStrict(stream, image->palette, static_cast<OvUInt32>(PaletteBytes(depth))) != nullptr;
    }
    if (!ok) {
        OvImageDestroy(image);
        return nullptr;
    }
    return image;
}

OvUInt32 OvImageStreamGetSize(const OvImage* image) {
    const OvUInt32 palette = IsPalettised(image->depth) ? static_cast<OvUInt32>(PaletteBytes(image->depth)) : 0;
    return ovCHUNKHEADERSIZE + kImageStructSize +
           static_cast<OvUInt32>(image->stride) * static_cast<OvUInt32>(image->height) + palette;
}

const OvImage* OvImageStreamWrite(const OvImage* image, OvStream* stream) {
    OvUInt8 data[kImageStructSize];
    OvChunkPutUInt32(data, static_cast<OvUInt32>(image->width));
    OvChunkPutUInt32(data + 4, static_cast<OvUInt32>(image->height));
    OvChunkPutUInt32(data + 8, static_cast<OvUInt32>(image->depth));
    OvChunkPutUInt32(data + 12, static_cast<OvUInt32>(image->stride));
    const OvUInt32 pixelBytes = static_cast<OvUInt32>(image->stride) * static_cast<OvUInt32>(image->height);
    if (OvStreamWriteChunkHeader(stream, ovID_IMAGE, OvImageStreamGetSize(image), ovLIBRARYVERSION, ovLIBRARYBUILD) ==
            nullptr ||
        OvStreamWriteChunkHeader(stream, ovID_STRUCT, kImageStructSize, ovLIBRARYVERSION, ovLIBRARYBUILD) == nullptr ||
        OvStreamWrite(stream, data, kImageStructSize) == nullptr ||
        OvStreamWrite(stream, image->cpPixels, pixelBytes) == nullptr) {
        return nullptr;
    }
    if (IsPalettised(image->depth) &&
        OvStreamWrite(stream, image->palette, static_cast<OvUInt32>(PaletteBytes(image->depth))) == nullptr) {
        return nullptr;
    }
    return image;
}
