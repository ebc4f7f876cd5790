#pragma once
// Why a data file the game asked for did not load, in words added to the framework's messages:
// whether the file is there at all and, when it is, what the graphics engine found wrong.

#include <cstddef>
#include <string>

struct OvMaterialList;
struct OvTexCoords;
struct OvV3d;

// Whether the file at a configuration path ('/' between folders) is there (a folder is no file).
bool DataFileExists(const std::string& path);

// Whether the path names a folder (which the readers cannot open as a file).
bool DataFolderAt(const std::string& path);

// The graphics engine's held error, read and cleared, as the reason a file did not read ("it is
// cut short or damaged"); a general reason when none is held.
std::string TakeGraphicsReadCause();

// "The file 'PATH' is not there.", "The file 'PATH' is a folder, not a file.", "The file 'PATH' is
// there, but its name is longer than the 255 characters the game opens." or "The file 'PATH' is
// there but could not be read: REASON." (the reason as TakeGraphicsReadCause gives it). FileErrorBox and DataFileWarning add the line
// of config.xml that names the file.
std::string FileReadFault(const std::string& path);

// True the first time a file's fault is to be said, false afterwards: a file loaded several times
// (the model of every instance, the body of every character) is said once. '/' and '\', and
// letters in either case, are alike. Any other fault said once (a profile's missing animation)
// is named by a key of its own.
bool FirstFaultOf(const std::string& path);
// Forgets the faults said and the files the configuration named (a new application starts afresh).
void ForgetFileFaults();

// The image file a texture of that name is read from: the first of the image search path's folders
// (';' between them) that holds it as PNG or BMP, '/' between folders; empty when none does.
std::string FindTextureImage(const char* texture);

// The warnings about the textures of a model or level (`file`), which leave their surfaces plain,
// with the line of config.xml that names the file: a texture record of its materials that does not
// read ("FILE: a texture record of its materials does not read (it is damaged); their surfaces are
// drawn plain"), and its texture `texture`, whose image file is `image` (FindTextureImage): "FILE:
// its texture 'T' has no image (.png or .bmp) along the texture path; its surfaces are drawn plain",
// or, with an image that does not read, "... 'T' does not read; its surfaces are drawn plain. " and
// FileReadFault(image).
void TextureRecordWarning(const std::string& file);
void TextureWarning(const std::string& file, const char* texture, const std::string& image);

// The first material of the list whose lighting (ambient, specular, diffuse) is not a finite
// number, which draws its surfaces black or not at all; -1 when every one is.
int FirstMaterialNotFinite(const OvMaterialList& list);

// Whether every coordinate of count points (texture coordinates, positions) is a finite number.
bool AllFinite(const OvTexCoords* points, std::size_t count);
bool AllFinite(const OvV3d* points, std::size_t count);

// Whether a number read from a data file is finite and no more than a million either way: beyond
// that it is larger than any position, size or time of a level, and the file is damaged.
bool WithinReach(float v);
// The same for every coordinate of count points.
bool AllWithinReach(const OvV3d* points, std::size_t count);
