#pragma once
// The name of the latest texture that could not be read (OvTextureRead found no such texture and
// its reader gave none), for a caller that reads a file full of textures (a level) to say which.

// The name, or null when no read failed since the last clear.
const char* OvTextureGetReadFailure();
// Whether a texture chunk did not read since the last clear: its head (filter word, names) or its
// extensions damaged, so no name can be said and the material holding it is left untextured.
bool OvTextureGetChunkFailure();
void OvTextureNoteChunkFailure();
// Clears both records.
void OvTextureClearReadFailure();
