#include "tools/engine_error/engine_error.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "tools/engine_error/file_words.h"

namespace {

struct Words {
    OvInt32 code;
    const char* text;
};

// Codes shared by every plugin (bit 31 set; stored with plugin id 0).
const Words kCommon[] = {
    {static_cast<OvInt32>(0x80000001u), "the graphics engine is not in the state this call needs"},
    {static_cast<OvInt32>(0x80000002u), "the file could not be opened"},
    {static_cast<OvInt32>(0x80000003u), "a value the engine does not accept"},
    {static_cast<OvInt32>(0x80000004u), "written by a version the engine does not read"},
    {static_cast<OvInt32>(0x80000008u), "a pixel depth the engine does not read"},
    {static_cast<OvInt32>(0x80000009u), "a format or pixel depth pair the engine does not read"},
    {static_cast<OvInt32>(0x8000000Au), "images of different sizes"},
    {static_cast<OvInt32>(0x8000000Cu), "a raster depth the device does not take"},
    {static_cast<OvInt32>(0x8000000Du), "a raster format the device does not take"},
    {static_cast<OvInt32>(0x8000000Eu), "the raster is locked"},
    {static_cast<OvInt32>(0x80000011u), "the raster is not locked"},
    {static_cast<OvInt32>(0x80000013u), "out of memory (or a size in the file larger than memory allows)"},
    {static_cast<OvInt32>(0x80000016u), "a required argument is missing"},
    {static_cast<OvInt32>(0x80000017u), "a plugin could not be registered"},
    {static_cast<OvInt32>(0x80000018u), "the graphics engine is not started"},
    {static_cast<OvInt32>(0x8000001Au), "the data could not be read"},
    {static_cast<OvInt32>(0x8000001Cu), "the data could not be written (disk full, or not writable)"},
    {static_cast<OvInt32>(0x8000001Eu), "a name longer than its field"},
};

// The core's own codes (plugin id 1).
const Words kCore[] = {
    {5, "the data ends early"},
    {12, "the resource arena is full"},
    {13, "a stream used against the way it was opened"},
    {14, "a stream type the engine does not know"},
    {22, "the texture could not be read"},
    {24, "a request the device does not support"},
    {25, "a vector of zero length normalised"},
    {28, "the pipeline's nodes cannot be ordered"},
    {29, "the pipeline's cluster modes conflict"},
    {30, "a pipeline node names a cluster type twice"},
    {31, "a pipeline cluster of interest has no type"},
    {32, "the pipeline compiler ran out of scratch space"},
    {34, "a pipeline node other than the entry has no inputs"},
    {35, "an immediate-mode render call without an open batch"},
    {36, "the pipeline has a bad entry node, or nothing to execute"},
    {37, "an immediate-mode primitive type out of range"},
    {40, "a pipeline node with too many clusters"},
    {41, "a pipeline node with too many outputs"},
    {42, "a pipeline with too many nodes"},
    {50, "an immediate-mode batch of more than 65,536 vertices"},
    {52, "a pipeline edited or compiled while unlocked"},
};

struct Plugin {
    OvInt32 id;
    const char* name;
};

const Plugin kPlugins[] = {
    {0x001, "the core"},
    {0x19D, "the BMP reader"},
    {0x401, "the vector module"},
    {0x402, "the matrix module"},
    {0x403, "the frame module"},
    {0x404, "the stream module"},
    {0x405, "the camera module"},
    {0x406, "the image module"},
    {0x407, "the raster module"},
    {0x408, "the texture module"},
    {0x409, "the pipeline module"},
    {0x40A, "immediate-mode 3D"},
    {0x40B, "the resources module"},
    {0x40C, "the Direct3D 9 raster"},
    {0x40D, "the counter module"},
    {0x40F, "the error module"},
};

const char* Find(const Words* table, std::size_t count, OvInt32 code) {
    for (std::size_t i = 0; i < count; ++i) {
        if (table[i].code == code) {
            return table[i].text;
        }
    }
    return nullptr;
}

std::string PluginName(OvInt32 id) {
    for (const Plugin& p : kPlugins) {
        if (p.id == id) {
            return p.name;
        }
    }
    char text[32];
    std::snprintf(text, sizeof text, "plugin 0x%X", static_cast<unsigned>(id));
    return text;
}

// A file format known by its name's extension and the bytes it starts with.
struct Signature {
    const char* extension;
    const char* what;
    const char* bytes;
    std::size_t size;
};

const Signature kSignatures[] = {
    {".png", "PNG image", "\x89PNG\r\n\x1a\n", 8},
    {".bmp", "BMP image", "BM", 2},
};

const Signature* SignatureOf(const std::string& file) {
    std::string extension = std::filesystem::path(file).extension().string();
    for (char& c : extension) {
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    for (const Signature& s : kSignatures) {
        if (extension == s.extension) {
            return &s;
        }
    }
    return nullptr;
}

// Whether the file's first bytes are the signature.
bool StartsAs(const std::string& file, const Signature& signature) {
    std::ifstream in(file, std::ios::binary);
    std::string head(signature.size, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(in.gcount()));
    return head == std::string(signature.bytes, signature.size);
}

} // namespace

std::string EngineErrorWords(const OvError& error, const EngineErrorContext& context) {
    const bool held = !(error.pluginID == 0 && error.errorCode == ovERRNOERROR);
    const bool common = error.errorCode < 0;
    const Signature* signature = context.file.empty() ? nullptr : SignatureOf(context.file);
    const std::string what = !context.what.empty() ? context.what : signature != nullptr ? signature->what : "";

    // What the file itself shows comes first: it is the reason a user can act on.
    long long size = -1;
    if (!context.file.empty()) {
        const std::string problem =
            context.writing ? FileWriteProblem(context.file) : FileReadProblem(context.file, &size);
        if (!problem.empty()) {
            return problem;
        }
        if (!context.writing && signature != nullptr && !StartsAs(context.file, *signature)) {
            return std::string("not a ") + signature->what + " (it does not start as one does)";
        }
    }
    if (held && !common && error.pluginID == ovPLUGINIDCORE && error.errorCode == ovERRENDOFSTREAM && size >= 0) {
        return "truncated: the data ends at byte " + std::to_string(size) +
               (what.empty() ? "" : " before the " + what + " is complete");
    }
    if (!held) {
        if (context.writing) {
            return "could not be written (the engine recorded no reason)";
        }
        return what.empty() ? "refused (the engine recorded no reason)"
                            : "a damaged " + what + ", or one in a form the engine does not read";
    }
    const char* text = common                             ? Find(kCommon, std::size(kCommon), error.errorCode)
                       : error.pluginID == ovPLUGINIDCORE ? Find(kCore, std::size(kCore), error.errorCode)
                                                          : nullptr;
    if (text != nullptr) {
        std::string words = text;
        if (!what.empty() && (error.errorCode == ovERRBADFORMAT || error.errorCode == ovERRBADDEPTH ||
                              error.errorCode == ovERRBADVERSION)) {
            words += " (in this " + what + ")";
        }
        return words;
    }
    char number[48];
    std::snprintf(number, sizeof number, "engine error 0x%08X", static_cast<unsigned>(error.errorCode));
    return std::string(number) + " from " + PluginName(error.pluginID) + ", which has no description";
}

std::string HeldEngineErrorWords(const EngineErrorContext& context) {
    OvError error;
    OvErrorGet(&error);
    return EngineErrorWords(error, context);
}
