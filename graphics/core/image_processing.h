#pragma once
// Image processing: a palette quantiser that gives one or more images a shared palette of at
// most 256 colours, and an area-averaging resampler for 32-bit images.
//
// The quantiser counts colours in a tree of depth 6 over the four channels (one bit of each
// a level, most significant first, so a leaf is a cell of the top 6 bits of every channel),
// then cuts the colour space into boxes along the channel and place that lowers the summed
// squared deviation most. Mapping walks the same tree: no pixel is ever compared with the
// palette, so the cost follows the number of distinct cells, not the number of colours.

#include "graphics/core/memory.h"
#include "graphics/core/types.h"

struct OvImage;

inline constexpr OvInt32 ovPALETTEQUANTIZERMAXCOLOURS = 256;

// Statistics of the colours counted in a node or a box (channels scaled to be perceptually
// comparable, green-relative). 24 bytes.
struct OvColourStats {
    float weight; // sum of the weights of the colours
    float sum[4]; // weighted sums of red, green, blue, alpha
    float spread; // weighted squared deviation from the mean (sum of squared norms while counting)
};

// Node of the colour tree (inner or leaf).
struct OvColourNode {
    OvColourStats stats;        // statistics of everything below
    OvColourNode* children[16]; // by (red bit << 3) | (green bit << 2) | (blue bit << 1) | alpha bit
    OvUInt8 index;              // palette index of a leaf
};

// A box of the colour space in 6-bit channel units (min inclusive, max exclusive).
struct OvColourBox {
    OvInt32 min[4];      // red, green, blue, alpha
    OvInt32 max[4];      // red, green, blue, alpha
    OvColourStats stats; // the leaves inside
    float score;         // spread while the box may still be cut, else 0
};

// The quantiser's work area (on the caller's stack or heap).
struct OvPaletteQuantizer {
    OvColourBox boxes[ovPALETTEQUANTIZERMAXCOLOURS]; // boxes of the last palette
    OvInt32 numBoxes;                                // boxes in use
    OvUInt32 spreadTable[64];                        // each 6-bit value's bits four apart, most significant in bit 0
    OvColourNode* root;                              // the tree
    OvFreeList* nodeList;                            // tree nodes
};

OvBool OvPaletteQuantizerInit(OvPaletteQuantizer* quantizer);
// Counts every pixel of a 4, 8 or 32-bit image (other depths are ignored) with the weight.
void OvPaletteQuantizerAddImage(OvPaletteQuantizer* quantizer, const OvImage* image, float weight);
// Fills n (at most 256) palette entries (red, green, blue, alpha) and gives the tree's leaves
// their indices; entries without a colour are 0. Returns the number of leaves when they are
// not more than n, else n.
OvInt32 OvPaletteQuantizerMakePalette(OvUInt8* palette, OvInt32 n, OvPaletteQuantizer* quantizer);
// Writes the palette index of every pixel of the image: one a byte, or with packed and depth 4
// two a byte (even pixel of a row in the low nibble). A colour that was never counted maps to 0.
void OvPaletteQuantizerMapImage(OvUInt8* pixels, OvInt32 stride, OvInt32 depth, OvBool packed,
                                const OvPaletteQuantizer* quantizer, const OvImage* image);
void OvPaletteQuantizerFree(OvPaletteQuantizer* quantizer);

// Scales the 32-bit source into the 32-bit destination by area averaging; the destination, or
// null with error 0x80000009 for other depths.
OvImage* OvImageResample(OvImage* destination, const OvImage* source);
// A new 32-bit image of the given size resampled from the image (of any depth the copy takes).
OvImage* OvImageCreateResampled(const OvImage* image, OvInt32 width, OvInt32 height);
