#pragma once
// Texture and texture-dictionary streams. A texture chunk (type 6) stores a texture by
// reference: its filter/addressing word, name, mask name and extension data; reading it reads
// the texture by name. A dictionary stored as images (type 35) carries the pictures themselves,
// each texture with its mip levels as image chunks (type 24).

#include "graphics/core/texture.h"

struct OvStream;

inline constexpr OvUInt32 ovID_TEXDICTIONARYIMAGES = 35;
// A texture in the driver's native form (the driver's chunk, then the texture's extension
// chunk), and a dictionary of such textures (a struct chunk {u16 count, u16 0}, then the count
// native texture chunks, oldest first).
inline constexpr OvUInt32 ovID_TEXTURENATIVE = 21;
inline constexpr OvUInt32 ovID_TEXDICTIONARY = 22;
// Bit 16 of the stored texture word: the texture has a raster whose levels are not made
// automatically.
inline constexpr OvUInt32 ovTEXTURESTREAMOWNLEVELS = 0x10000;
// A texture in a dictionary has at most this many images (mip levels).
inline constexpr OvInt32 ovTEXDICTIONARYMAXLEVELS = 32;

// Body size of a texture chunk.
OvUInt32 OvTextureStreamGetSize(const OvTexture* texture);
// Writes a whole texture chunk; the texture, or null on a write failure.
const OvTexture* OvTextureStreamWrite(const OvTexture* texture, OvStream* stream);
// Reads a texture chunk's body (the stream just past its header) through OvTextureRead.
OvTexture* OvTextureStreamRead(OvStream* stream);
// Takes a texture chunk's body of length bytes whole from the stream (in steps as it arrives)
// and reads the texture from those bytes alone, so that nothing inside the body can reach past
// it and the stream stays in step whatever the body holds. FALSE when the bytes cannot be taken
// (a short read, memory); TRUE otherwise, with *texture the texture or null when the body gave
// none (the texture read's error held).
OvBool OvTextureStreamReadBody(OvStream* stream, OvUInt32 length, OvTexture** texture);

// Reads a dictionary's body (the stream just past its header) into a new dictionary, which is
// current while it is read; null (and nothing made left behind) on any failure.
OvTexDictionary* OvTexDictionaryStreamReadImages(OvStream* stream);
// Writes a whole dictionary chunk in the full form: per texture its levels as image chunks
// (read back from its raster) and its texture chunk. Textures without a raster are left out.
// The dictionary, or null on a failure.
const OvTexDictionary* OvTexDictionaryStreamWriteImages(const OvTexDictionary* dict, OvStream* stream);

// Body size of a native texture chunk; 0 when the driver cannot store the texture.
OvUInt32 OvTextureStreamGetSizeNative(const OvTexture* texture);
// Writes a whole native texture chunk; the texture, or null on a failure.
const OvTexture* OvTextureStreamWriteNative(const OvTexture* texture, OvStream* stream);
// Reads a native texture chunk's body (the stream just past its header) into a new texture
// made by the driver; null (nothing made left behind) on any failure.
OvTexture* OvTextureStreamReadNative(OvStream* stream);

// Writes a whole dictionary chunk in the native form (every texture, with or without raster).
// The dictionary, or null on a failure (a texture the driver cannot store is one).
const OvTexDictionary* OvTexDictionaryStreamWriteNative(const OvTexDictionary* dict, OvStream* stream);
// Reads a native dictionary's body (the stream just past its header) into a new dictionary;
// null (and nothing made left behind) on any failure.
OvTexDictionary* OvTexDictionaryStreamReadNative(OvStream* stream);
