#include "graphics/core/image_processing.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/image.h"

namespace {

constexpr OvInt32 kTreeDepth = 6;
constexpr OvInt32 kNodesPerBlock = 1024;
constexpr OvUInt32 kHint = ovMEMHINTDUR_FUNCTION | ovPLUGINIDIMAGE;

// Channel scales making squared distances perceptual, green-relative; and their inverses.
constexpr float kScale[4] = {0.5093697f, 1.0f, 0.19420783f, 1.0f};
constexpr float kUnscale[4] = {1.9632107f, 1.0f, 5.1491227f, 1.0f};

OvColourStats Merge(const OvColourStats& a, const OvColourStats& b) {
    OvColourStats m;
    m.weight = a.weight + b.weight;
    float distance = 0.0f;
    for (int c = 0; c < 4; ++c) {
        m.sum[c] = a.sum[c] + b.sum[c];
        if (a.weight > 0.0f && b.weight > 0.0f) {
            const float d = a.sum[c] / a.weight - b.sum[c] / b.weight;
            distance += d * d;
        }
    }
    m.spread = a.spread + b.spread;
    if (a.weight > 0.0f && b.weight > 0.0f) {
        m.spread += distance / (1.0f / a.weight + 1.0f / b.weight);
    }
    return m;
}

// The part of whole that is not part (the inverse of Merge).
OvColourStats Subtract(const OvColourStats& whole, const OvColourStats& part) {
    OvColourStats rest;
    rest.weight = whole.weight - part.weight;
    if (rest.weight <= whole.weight * 1e-6f) {
        return OvColourStats{};
    }
    float distance = 0.0f;
    for (int c = 0; c < 4; ++c) {
        rest.sum[c] = whole.sum[c] - part.sum[c];
        if (part.weight > 0.0f) {
            const float d = part.sum[c] / part.weight - rest.sum[c] / rest.weight;
            distance += d * d;
        }
    }
    rest.spread = whole.spread - part.spread;
    if (part.weight > 0.0f) {
        rest.spread -= distance / (1.0f / part.weight + 1.0f / rest.weight);
    }
    rest.spread = rest.spread > 0.0f ? rest.spread : 0.0f;
    return rest;
}

void ColourOf(const OvColourStats& s, OvUInt8* out) {
    for (int c = 0; c < 4; ++c) {
        const float mean = s.weight > 0.0f ? s.sum[c] / s.weight : 0.0f;
        const float v = mean * kUnscale[c] * 255.99f;
        out[c] = static_cast<OvUInt8>(v >= 255.0f ? 255 : v <= 0.0f ? 0 : static_cast<int>(v));
    }
}

OvUInt32 KeyOf(const OvPaletteQuantizer* q, const OvUInt8* rgba) {
    const OvUInt32* t = q->spreadTable;
    return (((t[rgba[0] >> 2] << 1 | t[rgba[1] >> 2]) << 1 | t[rgba[2] >> 2]) << 1) | t[rgba[3] >> 2];
}

OvColourNode* NewNode(OvPaletteQuantizer* q) {
    auto* node = static_cast<OvColourNode*>(OvFreeListEntryAlloc(q->nodeList, kHint));
    if (node != nullptr) {
        *node = {};
    }
    return node;
}

// Counts one colour; false when a node cannot be had.
bool AddColour(OvPaletteQuantizer* q, const OvUInt8* rgba, float weight) {
    OvUInt32 key = KeyOf(q, rgba);
    OvColourNode* node = q->root;
    for (int level = 0; level < kTreeDepth; ++level, key >>= 4) {
        OvColourNode*& child = node->children[key & 15];
        if (child == nullptr && (child = NewNode(q)) == nullptr) {
            return false;
        }
        node = child;
    }
    OvColourStats& s = node->stats;
    float squares = 0.0f;
    s.weight += weight;
    for (int c = 0; c < 4; ++c) {
        const float v = static_cast<float>(rgba[c] & 3) * (1.0f / 255.0f) * kScale[c];
        s.sum[c] += v * weight;
        squares += v * v;
    }
    s.spread += squares * weight;
    return true;
}

// Corner of child i (bits: red, green, blue, alpha, highest first) of a node at `origin` whose
// children are `half` wide.
void ChildOrigin(const OvInt32 origin[4], int i, OvInt32 half, OvInt32 out[4]) {
    for (int c = 0; c < 4; ++c) {
        out[c] = origin[c] + ((i >> (3 - c)) & 1) * half;
    }
}

// Turns the counted residuals into cell statistics and merges them up the tree.
void Prepare(OvColourNode* node, int level, const OvInt32 origin[4]) {
    if (level == kTreeDepth) {
        OvColourStats& s = node->stats;
        float norm = 0.0f;
        for (int c = 0; c < 4; ++c) {
            norm += s.sum[c] * s.sum[c];
        }
        s.spread = s.weight > 0.0f ? s.spread - norm / s.weight : 0.0f;
        if (s.spread < 0.0f) {
            s.spread = 0.0f;
        }
        for (int c = 0; c < 4; ++c) {
            const float base = static_cast<float>(origin[c] << 2) * (1.0f / 255.0f) * kScale[c];
            s.sum[c] += base * s.weight;
        }
        return;
    }
    const OvInt32 half = 32 >> level;
    OvColourStats merged = {};
    for (int i = 0; i < 16; ++i) {
        OvColourNode* child = node->children[i];
        if (child == nullptr) {
            continue;
        }
        OvInt32 childOrigin[4];
        ChildOrigin(origin, i, half, childOrigin);
        Prepare(child, level + 1, childOrigin);
        merged = Merge(merged, child->stats);
    }
    node->stats = merged;
}

template <typename LeafFunction> void ForLeaves(OvColourNode* node, int level, LeafFunction&& f) {
    if (level == kTreeDepth) {
        f(node);
        return;
    }
    for (OvColourNode* child : node->children) {
        if (child != nullptr) {
            ForLeaves(child, level + 1, f);
        }
    }
}

// Calls f on the largest nodes lying wholly inside the box.
template <typename NodeFunction>
void ForNodesInBox(OvColourNode* node, int level, const OvInt32 origin[4], const OvInt32 min[4], const OvInt32 max[4],
                   NodeFunction&& f) {
    const OvInt32 size = 64 >> level;
    bool inside = true;
    for (int c = 0; c < 4; ++c) {
        if (origin[c] >= max[c] || origin[c] + size <= min[c]) {
            return;
        }
        inside = inside && origin[c] >= min[c] && origin[c] + size <= max[c];
    }
    if (inside) {
        f(node, level);
        return;
    }
    const OvInt32 half = size >> 1;
    for (int i = 0; i < 16; ++i) {
        OvColourNode* child = node->children[i];
        if (child == nullptr) {
            continue;
        }
        OvInt32 childOrigin[4];
        ChildOrigin(origin, i, half, childOrigin);
        ForNodesInBox(child, level + 1, childOrigin, min, max, f);
    }
}

OvColourStats BoxStats(OvColourNode* root, const OvInt32 min[4], const OvInt32 max[4]) {
    static constexpr OvInt32 kOrigin[4] = {0, 0, 0, 0};
    OvColourStats s = {};
    ForNodesInBox(root, 0, kOrigin, min, max, [&s](OvColourNode* node, int) { s = Merge(s, node->stats); });
    return s;
}

// Best cut of a box: the channel and place of the smallest summed spread, or false when no
// cut lowers the box's spread.
bool BestCut(OvColourNode* root, const OvColourBox& box, int* channel, OvInt32* cut) {
    float best = box.stats.spread;
    bool found = false;
    for (int c = 0; c < 4; ++c) {
        OvInt32 lo = box.min[c];
        OvInt32 hi = box.max[c];
        float channelBest = box.stats.spread;
        OvInt32 channelCut = -1;
        while (hi - lo > 1) {
            const OvInt32 mid = lo + (hi - lo) / 2;
            OvInt32 lowerMax[4];
            std::memcpy(lowerMax, box.max, sizeof(lowerMax));
            lowerMax[c] = mid;
            const OvColourStats lower = BoxStats(root, box.min, lowerMax);
            const OvColourStats upper = Subtract(box.stats, lower);
            if (lower.weight <= 0.0f) {
                lo = mid;
                continue;
            }
            if (upper.weight <= 0.0f) {
                hi = mid;
                continue;
            }
            const float cost = lower.spread + upper.spread;
            if (cost < channelBest) {
                channelBest = cost;
                channelCut = mid;
            }
            if (lower.spread >= upper.spread) {
                hi = mid;
            } else {
                lo = mid;
            }
        }
        if (channelCut >= 0 && channelBest < best) {
            best = channelBest;
            *channel = c;
            *cut = channelCut;
            found = true;
        }
    }
    return found;
}

void SetBoxStats(OvColourNode* root, OvColourBox* box) {
    box->stats = BoxStats(root, box->min, box->max);
    box->score = box->stats.spread;
}

} // namespace

OvBool OvPaletteQuantizerInit(OvPaletteQuantizer* quantizer) {
    for (OvUInt32 v = 0; v < 64; ++v) {
        OvUInt32 spread = 0;
        for (int bit = 0; bit < 6; ++bit) {
            if (v & (0x20u >> bit)) {
                spread |= 1u << (4 * bit);
            }
        }
        quantizer->spreadTable[v] = spread;
    }
    quantizer->numBoxes = 0;
    quantizer->nodeList = OvFreeListCreate(sizeof(OvColourNode), kNodesPerBlock, 0, kHint);
    if (quantizer->nodeList == nullptr) {
        quantizer->root = nullptr;
        return FALSE;
    }
    quantizer->root = NewNode(quantizer);
    if (quantizer->root == nullptr) {
        OvFreeListDestroy(quantizer->nodeList);
        quantizer->nodeList = nullptr;
        return FALSE;
    }
    return TRUE;
}

void OvPaletteQuantizerAddImage(OvPaletteQuantizer* quantizer, const OvImage* image, float weight) {
    const bool palettised = image->depth == 4 || image->depth == 8;
    if ((!palettised && image->depth != 32) || image->cpPixels == nullptr ||
        (palettised && image->palette == nullptr)) {
        return;
    }
    const OvInt32 mask = palettised ? (1 << image->depth) - 1 : 0;
    for (OvInt32 y = 0; y < image->height; ++y) {
        const OvUInt8* row = image->cpPixels + static_cast<std::ptrdiff_t>(y) * image->stride;
        for (OvInt32 x = 0; x < image->width; ++x) {
            const OvUInt8* rgba = palettised ? image->palette + 4 * (row[x] & mask) : row + 4 * x;
            if (!AddColour(quantizer, rgba, weight)) {
                return;
            }
        }
    }
}

OvInt32 OvPaletteQuantizerMakePalette(OvUInt8* palette, OvInt32 n, OvPaletteQuantizer* quantizer) {
    n = n < 0 ? 0 : n > ovPALETTEQUANTIZERMAXCOLOURS ? ovPALETTEQUANTIZERMAXCOLOURS : n;
    static constexpr OvInt32 kOrigin[4] = {0, 0, 0, 0};
    OvColourNode* root = quantizer->root;
    Prepare(root, 0, kOrigin);
    std::memset(palette, 0, static_cast<std::size_t>(4 * n));

    OvInt32 leaves = 0;
    ForLeaves(root, 0, [&leaves](OvColourNode*) { leaves++; });
    if (leaves <= n) {
        OvInt32 next = 0;
        ForLeaves(root, 0, [&](OvColourNode* leaf) {
            leaf->index = static_cast<OvUInt8>(next);
            ColourOf(leaf->stats, palette + 4 * next);
            next++;
        });
        quantizer->numBoxes = 0;
        return leaves;
    }

    OvColourBox* boxes = quantizer->boxes;
    boxes[0] = {};
    for (int c = 0; c < 4; ++c) {
        boxes[0].max[c] = 64;
    }
    SetBoxStats(root, &boxes[0]);
    OvInt32 count = n > 0 ? 1 : 0;
    while (count > 0 && count < n) {
        OvInt32 chosen = -1;
        for (OvInt32 i = 0; i < count; ++i) {
            if (boxes[i].score > 0.0f && (chosen < 0 || boxes[i].score > boxes[chosen].score)) {
                chosen = i;
            }
        }
        if (chosen < 0) {
            break;
        }
        int channel = 0;
        OvInt32 cut = 0;
        if (!BestCut(root, boxes[chosen], &channel, &cut)) {
            boxes[chosen].score = 0.0f;
            continue;
        }
        boxes[count] = boxes[chosen];
        boxes[chosen].max[channel] = cut;
        boxes[count].min[channel] = cut;
        SetBoxStats(root, &boxes[chosen]);
        SetBoxStats(root, &boxes[count]);
        count++;
    }
    // Only boxes that were made get an entry; the others stay 0.
    for (OvInt32 i = 0; i < count; ++i) {
        ForNodesInBox(root, 0, kOrigin, boxes[i].min, boxes[i].max, [i](OvColourNode* node, int level) {
            ForLeaves(node, level, [i](OvColourNode* leaf) { leaf->index = static_cast<OvUInt8>(i); });
        });
        ColourOf(boxes[i].stats, palette + 4 * i);
    }
    quantizer->numBoxes = count;
    return n;
}

void OvPaletteQuantizerMapImage(OvUInt8* pixels, OvInt32 stride, OvInt32 depth, OvBool packed,
                                const OvPaletteQuantizer* quantizer, const OvImage* image) {
    const bool palettised = image->depth == 4 || image->depth == 8;
    if ((!palettised && image->depth != 32) || image->cpPixels == nullptr ||
        (palettised && image->palette == nullptr)) {
        return;
    }
    const OvInt32 mask = palettised ? (1 << image->depth) - 1 : 0;
    const bool twoPerByte = packed && depth == 4;
    for (OvInt32 y = 0; y < image->height; ++y) {
        const OvUInt8* row = image->cpPixels + static_cast<std::ptrdiff_t>(y) * image->stride;
        OvUInt8* out = pixels + static_cast<std::ptrdiff_t>(y) * stride;
        for (OvInt32 x = 0; x < image->width; ++x) {
            const OvUInt8* rgba = palettised ? image->palette + 4 * (row[x] & mask) : row + 4 * x;
            OvUInt32 key = KeyOf(quantizer, rgba);
            const OvColourNode* node = quantizer->root;
            for (int level = 0; level < kTreeDepth && node != nullptr; ++level, key >>= 4) {
                node = node->children[key & 15];
            }
            const OvUInt8 index = node != nullptr ? node->index : 0;
            if (twoPerByte) {
                OvUInt8& b = out[x >> 1];
                b = (x & 1) ? static_cast<OvUInt8>((b & 0x0F) | (index << 4))
                            : static_cast<OvUInt8>((b & 0xF0) | (index & 0x0F));
            } else {
                out[x] = index;
            }
        }
    }
}

namespace {

// Gives every node of a tree back one by one: without free lists (the engine's plain-allocation
// mode) each node is a block of its own that destroying the list does not reach.
void FreeNodes(OvFreeList* list, OvColourNode* node) {
    for (OvColourNode* child : node->children) {
        if (child != nullptr) {
            FreeNodes(list, child);
        }
    }
    OvFreeListEntryFree(list, node);
}

} // namespace

void OvPaletteQuantizerFree(OvPaletteQuantizer* quantizer) {
    if (quantizer->nodeList != nullptr) {
        if (quantizer->root != nullptr) {
            FreeNodes(quantizer->nodeList, quantizer->root);
        }
        OvFreeListDestroy(quantizer->nodeList);
    }
    quantizer->nodeList = nullptr;
    quantizer->root = nullptr;
}

namespace {

// Source pixels a destination pixel covers along one axis, with the weights of the first and
// last (those between weigh 1).
struct Span {
    OvInt32 first;     // first source pixel
    OvInt32 last;      // last source pixel
    float firstWeight; // covered fraction of the first
    float lastWeight;  // covered fraction of the last (unused when first == last)
};

std::vector<Span> Spans(OvInt32 sourceSize, OvInt32 destinationSize) {
    OvInt32 step = static_cast<OvInt32>(static_cast<double>(sourceSize) / destinationSize * 65536.0);
    step = step < 1 ? 1 : step;
    std::vector<Span> spans(static_cast<std::size_t>(destinationSize));
    for (OvInt32 i = 0; i < destinationSize; ++i) {
        const std::int64_t start = static_cast<std::int64_t>(i) * step;
        const std::int64_t end = start + step - 1;
        Span& s = spans[static_cast<std::size_t>(i)];
        s.first = static_cast<OvInt32>(start >> 16);
        s.last = static_cast<OvInt32>(end >> 16);
        if (s.last >= sourceSize) {
            s.last = sourceSize - 1;
        }
        if (s.first == s.last) {
            s.firstWeight = static_cast<float>(step) * (1.0f / 65536.0f);
            s.lastWeight = s.firstWeight;
        } else {
            s.firstWeight =
                static_cast<float>(((static_cast<std::int64_t>(s.first) + 1) << 16) - start) * (1.0f / 65536.0f);
            s.lastWeight = static_cast<float>(end - (static_cast<std::int64_t>(s.last) << 16) + 1) * (1.0f / 65536.0f);
        }
    }
    return spans;
}

float WeightAt(const Span& s, OvInt32 k) { return k == s.first ? s.firstWeight : k == s.last ? s.lastWeight : 1.0f; }

} // namespace

OvImage* OvImageResample(OvImage* destination, const OvImage* source) {
    if (destination->depth != 32 || source->depth != 32) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRBADFORMAT));
        return nullptr;
    }
    destination->flags = (destination->flags & ~ovIMAGEGAMMACORRECTED) | (source->flags & ovIMAGEGAMMACORRECTED);
    const std::vector<Span> columns = Spans(source->width, destination->width);
    const std::vector<Span> rows = Spans(source->height, destination->height);
    std::vector<float> rowSums(static_cast<std::size_t>(destination->width) * 5);
    for (OvInt32 j = 0; j < destination->height; ++j) {
        const Span& r = rows[static_cast<std::size_t>(j)];
        std::fill(rowSums.begin(), rowSums.end(), 0.0f);
        for (OvInt32 y = r.first; y <= r.last; ++y) {
            const float wy = WeightAt(r, y);
            const OvUInt8* src = source->cpPixels + static_cast<std::ptrdiff_t>(y) * source->stride;
            for (OvInt32 i = 0; i < destination->width; ++i) {
                const Span& c = columns[static_cast<std::size_t>(i)];
                float* acc = &rowSums[static_cast<std::size_t>(i) * 5];
                for (OvInt32 x = c.first; x <= c.last; ++x) {
                    const float w = wy * WeightAt(c, x);
                    const OvUInt8* p = src + 4 * x;
                    acc[0] += w * (static_cast<float>(p[0]) * (1.0f / 255.0f));
                    acc[1] += w * (static_cast<float>(p[1]) * (1.0f / 255.0f));
                    acc[2] += w * (static_cast<float>(p[2]) * (1.0f / 255.0f));
                    acc[3] += w * (static_cast<float>(p[3]) * (1.0f / 255.0f));
                    acc[4] += w;
                }
            }
        }
        OvUInt8* dst = destination->cpPixels + static_cast<std::ptrdiff_t>(j) * destination->stride;
        for (OvInt32 i = 0; i < destination->width; ++i) {
            const float* acc = &rowSums[static_cast<std::size_t>(i) * 5];
            for (int c = 0; c < 4; ++c) {
                const float v = acc[c] / acc[4] * 255.0f + 0.5f;
                dst[4 * i + c] = static_cast<OvUInt8>(v >= 255.0f ? 255 : static_cast<int>(v));
            }
        }
    }
    return destination;
}

OvImage* OvImageCreateResampled(const OvImage* image, OvInt32 width, OvInt32 height) {
    OvImage* result = OvImageCreate(width, height, 32);
    if (result == nullptr) {
        return nullptr;
    }
    if (OvImageAllocatePixels(result) == nullptr) {
        OvImageDestroy(result);
        return nullptr;
    }
    OvImage* wide = nullptr;
    const OvImage* source = image;
    if (image->depth != 32) {
        wide = OvImageCreate(image->width, image->height, 32);
        if (wide == nullptr || OvImageAllocatePixels(wide) == nullptr || OvImageCopy(wide, image) == nullptr) {
            if (wide != nullptr) {
                OvImageDestroy(wide);
            }
            OvImageDestroy(result);
            return nullptr;
        }
        source = wide;
    }
    OvImage* done = OvImageResample(result, source);
    if (wide != nullptr) {
        OvImageDestroy(wide);
    }
    if (done == nullptr) {
        OvImageDestroy(result);
    }
    return done;
}
