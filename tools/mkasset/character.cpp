// mkasset character: a skinned humanoid clump with a hierarchy of N bones.

#include <string>

#include "tools/mkasset/commands.h"
#include "tools/mkasset/skeleton.h"
#include "tools/mkasset/soldier.h"

namespace mkasset {

namespace {

constexpr const char* kName = "character";

} // namespace

void CharacterUsage(std::FILE* out) {
    std::fprintf(out,
                 "usage: mkasset character --bones N --out FILE.dff\n"
                 "       mkasset character --soldier --out FILE.dff\n"
                 "  Writes a clump of a skinned humanoid: a root frame, one frame per bone with the\n"
                 "  animation hierarchy on the first (the pelvis), and one atomic on the root frame whose\n"
                 "  geometry is a tube along every bone, skinned with up to four weights a vertex.\n"
                 "  --bones N   1 to %d bones, taken in this order (node id = position + 1):\n"
                 "             ",
                 kMaxBones);
    int column = 13;
    for (const BoneDesc& b : SkeletonBones()) {
        const int width = static_cast<int>(std::string(b.name).size()) + 1;
        if (column + width > 100) {
            std::fprintf(out, "\n             ");
            column = 13;
        }
        std::fprintf(out, " %s", b.name);
        column += width;
    }
    std::fprintf(out,
                 "\n  --soldier   instead, the soldier of the framework's character profiles: %d bones in\n"
                 "              hierarchy order (node 17 the head, node 35 the right hand holding the rifle,\n"
                 "              node 40 its muzzle), modelled at %g model units a metre, facing +z\n",
                 SoldierBoneCount(), kSoldierUnit);
    std::fprintf(out, "  Exit status 0 on success, 1 when the file cannot be written, 2 on bad usage.\n");
}

int RunCharacter(int argc, char** argv) {
    int bones = 0;
    bool soldier = false;
    std::string out;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--soldier") {
            soldier = true;
            continue;
        }
        if (i + 1 >= argc) {
            return Fail(kName, kExitUsage, "missing value after " + arg);
        }
        const char* value = argv[++i];
        if (arg == "--bones") {
            if (!ParseInt(value, &bones) || bones < 1 || bones > kMaxBones) {
                return Fail(kName, kExitUsage,
                            std::string("bad --bones '") + value + "' (a whole number from 1 to " +
                                std::to_string(kMaxBones) + ")");
            }
        } else if (arg == "--out") {
            out = value;
        } else {
            return Fail(kName, kExitUsage, "unknown argument " + arg);
        }
    }
    if (soldier && bones != 0) {
        return Fail(kName, kExitUsage, "--soldier takes no --bones");
    }
    if ((bones == 0 && !soldier) || out.empty()) {
        return Fail(kName, kExitUsage, out.empty() ? "--out is required" : "--bones or --soldier is required");
    }
    const std::uint8_t colour[3] = {70, 100, 190};
    return WriteFile(kName, out, ClumpFile(soldier ? SoldierClump(colour) : CharacterClump(bones))) ? kExitOk
                                                                                                    : kExitFailed;
}

} // namespace mkasset
