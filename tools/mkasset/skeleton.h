#pragma once
// The humanoid skeleton of the asset builder's characters: a fixed table of bones (name, node id,
// parent, offset from the parent in the bind pose), of which a character of N bones takes the
// first N. Node ids never change with N, so that code finds a bone such as "head" or "muzzle" by
// its id in every character.

#include <cstdint>
#include <string>
#include <vector>

#include "tools/mkasset/chunk_writer.h"

namespace mkasset {

struct BoneDesc {
    const char* name;
    std::int32_t nodeId; // id in the hierarchy and on the bone's frame
    std::int32_t parent; // index of the parent bone in the table, -1 for the root
    float offset[3];     // joint position relative to the parent joint (metres, y up, z forward)
    float radius = 0;    // of the body's tube round the bone (metres); 0: the default thickness
};

// The whole table, parents before their children.
const std::vector<BoneDesc>& SkeletonBones();
inline constexpr int kMaxBones = 36;
// Node id of the named bone, -1 when there is none of that name.
std::int32_t BoneNodeId(const std::string& name);
// Name of the bone of the node id, null when there is none.
const char* BoneName(std::int32_t nodeId);

// A character of the first numBones bones: the bones in hierarchy order (depth first), with the
// node flags that order needs (push before a bone with a later sibling, pop after the last leaf
// of a branch).
struct Skeleton {
    std::vector<int> bones;           // table index of hierarchy node i
    std::vector<std::uint32_t> flags; // node flags of node i
    std::vector<int> parentNode;      // hierarchy node of the parent, -1 for the root
    std::vector<float> bindWorld;     // 3 a node: joint position in the model
};
Skeleton MakeSkeleton(int numBones);
// The same for another table of bones (parents before children), its lengths multiplied by unit.
Skeleton MakeSkeletonOf(const std::vector<BoneDesc>& table, int numBones, float unit);

// The clump of a skinned character: a root frame, one frame per bone (the first holding the
// hierarchy), and one atomic on the root frame whose geometry is a segmented body skinned to
// the bones with up to four weights a vertex.
ClumpDesc CharacterClump(int numBones);
// A part of a character's body: a tube round one bone from `from` to `to` (metres from the bone's
// joint in the bind pose), `radius` across and `radius * depth` the other way round. At an end
// named with a bone the tube's ring is weighted half to that bone, so that the body stays closed
// where it bends at a joint.
struct BodyPart {
    const char* bone;
    float from[3];
    float to[3];
    float radius;
    float depth = 1.0f;
    const char* startWith = nullptr;
    const char* endWith = nullptr;
};

// The same for another table of bones, modelled unit model units a metre, in the colour given;
// with parts, the body is made of those (bones without a part are not covered), else of a tube
// along every bone.
ClumpDesc CharacterClumpOf(const std::vector<BoneDesc>& table, int numBones, float unit, const std::uint8_t colour[3],
                           const std::vector<BodyPart>* parts = nullptr);

} // namespace mkasset
