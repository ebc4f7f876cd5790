#include "framework/read_faults.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <set>

#include "framework/config_checks.h"

#include "graphics/core/image.h"

#include "graphics/core/error.h"
#include "graphics/core/file_system.h"
#include "graphics/shared/skel/win/skeleton.h"
#include "graphics/world/geometry.h"
#include "graphics/world/material.h"

namespace {

// A configuration path as the system takes it: '/' between folders serves every system the game
// runs on.
std::filesystem::path SystemPath(const std::string& path) {
    std::string system = path;
    std::replace(system.begin(), system.end(), '\\', '/');
    return system;
}

} // namespace

bool DataFolderAt(const std::string& path) {
    std::error_code error;
    return !path.empty() && std::filesystem::is_directory(SystemPath(path), error);
}

bool DataFileExists(const std::string& path) {
    char* osPath = DataFolderAt(path) ? nullptr : SkelPathCreate(path.c_str());
    if (osPath == nullptr) {
        return false;
    }
    // Through the engine's file systems, which find the file as its readers do.
    OvFile* file = OvFSManagerFopen(osPath, "rb");
    SkelPathDestroy(osPath);
    if (file == nullptr) {
        return false;
    }
    OvFSManagerFclose(file);
    return true;
}

std::string TakeGraphicsReadCause() {
    OvError error{0, ovERRNOERROR};
    OvErrorGet(&error);
    switch (error.errorCode) {
    case ovERRBADFORMAT:
    case ovERRBADDEPTH:
    case ovERRBADVERSION:
        return "its format or version is not one the reader takes";
    case ovERRNOMEMORY:
        return "memory ran out";
    case ovERRREAD:
        return "it is cut short or damaged";
    default:
        // The core's end-of-stream code and the readers' own codes.
        return error.pluginID == ovPLUGINIDCORE && error.errorCode == ovERRENDOFSTREAM
                   ? "it is cut short"
                   : "it is damaged or not in the form the reader takes";
    }
}

std::string FileReadFault(const std::string& path) {
    if (DataFolderAt(path)) {
        TakeGraphicsReadCause(); // the engine's record of the failed read goes with it
        return "The file '" + path + "' is a folder, not a file.";
    }
    if (!DataFileExists(path)) {
        TakeGraphicsReadCause(); // the engine's record of the failed open goes with it
        // The engine's file system opens no longer path: one the system has is there all the same.
        std::error_code error;
        if (path.size() > ovFSMAXPATHLENGTH && std::filesystem::is_regular_file(SystemPath(path), error)) {
            return "The file '" + path + "' is there, but its name is longer than the " +
                   std::to_string(ovFSMAXPATHLENGTH) + " characters the game opens.";
        }
        return "The file '" + path + "' is not there.";
    }
    return "The file '" + path + "' is there but could not be read: " + TakeGraphicsReadCause() + ".";
}

namespace {
// The files whose fault was said, by DataFileKey.
std::set<std::string>& SaidFaults() {
    static std::set<std::string> said;
    return said;
}
} // namespace

bool FirstFaultOf(const std::string& path) { return SaidFaults().insert(DataFileKey(path)).second; }

void ForgetFileFaults() {
    SaidFaults().clear();
    ForgetConfigFiles();
}

std::string FindTextureImage(const char* texture) {
    const std::string folders = OvImageGetPath() != nullptr ? OvImageGetPath() : "";
    for (std::size_t start = 0; start <= folders.size();) {
        std::size_t end = folders.find(';', start);
        if (end == std::string::npos) {
            end = folders.size();
        }
        for (const char* extension : {".png", ".bmp"}) {
            std::string image = folders.substr(start, end - start) + texture + extension;
            if (DataFileExists(image)) {
                std::replace(image.begin(), image.end(), SkelPathSeparator(), '/'); // as the configuration writes it
                return image;
            }
        }
        start = end + 1;
    }
    return "";
}

void TextureRecordWarning(const std::string& file) {
    DataFileWarning(file, file + ": a texture record of its materials does not read (it is damaged); their surfaces "
                                 "are drawn plain");
}

void TextureWarning(const std::string& file, const char* texture, const std::string& image) {
    DataFileWarning(file, file + ": its texture '" + texture + "' " +
                              (image.empty() ? "has no image (.png or .bmp) along the texture path" : "does not read") +
                              "; its surfaces are drawn plain" + (image.empty() ? "" : ". " + FileReadFault(image)));
}

int FirstMaterialNotFinite(const OvMaterialList& list) {
    for (OvInt32 i = 0; i < list.numMaterials; ++i) {
        const OvSurfaceProperties& p = list.materials[i]->surfaceProperties;
        if (!std::isfinite(p.ambient) || !std::isfinite(p.specular) || !std::isfinite(p.diffuse)) {
            return i;
        }
    }
    return -1;
}

bool AllFinite(const OvTexCoords* points, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (!std::isfinite(points[i].u) || !std::isfinite(points[i].v)) {
            return false;
        }
    }
    return true;
}

bool AllFinite(const OvV3d* points, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (!std::isfinite(points[i].x) || !std::isfinite(points[i].y) || !std::isfinite(points[i].z)) {
            return false;
        }
    }
    return true;
}

bool WithinReach(float v) { return std::isfinite(v) && std::fabs(v) <= 1.0e6f; }

bool AllWithinReach(const OvV3d* points, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (!WithinReach(points[i].x) || !WithinReach(points[i].y) || !WithinReach(points[i].z)) {
            return false;
        }
    }
    return true;
}
