#include "demo/ai_world_file.h"

#include <cstdint>
#include <cstring>

#include "ai/navigation/graph_load_fault.h"
#include "ai/navigation/graph_manager.h"
#include "ai/runtime/ais_reader.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/world_api.h"
#include "ai/runtime/world_limits.h"
#include "framework/read_faults.h"
#include "graphics/core/stream.h"
#include "graphics/shared/skel/win/skeleton.h"

namespace {

const char kCutShort[] = "The file is damaged or cut short: its tree does not read to its end.";

std::string Quoted(const char* path) { return "'" + std::string(path != nullptr ? path : "") + "'"; }

// Whether a node of the tree has the value `className` (a service or agent's "Class").
bool NamesClass(CConfigNode* node, const char* className, int depth = 0) {
    if (node == nullptr || depth > 256) {
        return false;
    }
    if (node->GetValue() != nullptr && std::strcmp(node->GetValue(), className) == 0) {
        return true;
    }
    for (std::uint32_t i = 0; i < node->GetChildCount(); ++i) {
        if (NamesClass(node->GetChild(i), className, depth + 1)) {
            return true;
        }
    }
    return false;
}

} // namespace

bool Demo::LoadAiWorld(const char* path, std::size_t poolSize, AiWorldFile* out, std::string* fault) {
    char* osPath = SkelPathCreate(path != nullptr ? path : "");
    OvStream* stream = osPath != nullptr ? OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, osPath) : nullptr;
    SkelPathDestroy(osPath);
    if (stream == nullptr) {
        *fault = "Cannot open the AI world file " + Quoted(path) + "\n" +
                 (path == nullptr || path[0] == '\0' ? std::string("No file is named.") : FileReadFault(path));
        return false;
    }
    // The engine's reader keeps what it read of a tree cut short: whether it got to the end is
    // what says the file is whole.
    CAisReader* reader = Vusk::GetAisReader();
    out->tree = reader != nullptr ? new CConfigNode() : nullptr;
    out->whole = out->tree != nullptr && reader->ReadHeader(stream, out->tree);
    out->world = out->tree != nullptr ? Vusk::CreateWorld(out->tree, poolSize) : nullptr;
    OvStreamClose(stream, nullptr);
    if (out->world == nullptr) {
        *fault = "Cannot build the AI world of " + Quoted(path) + "\n";
        char cause[160] = "";
        if (!out->whole) {
            *fault += kCutShort;
        } else if (!Vusk::CheckWorldConfig(out->tree, cause, sizeof cause)) {
            *fault += std::string("Its world section is wrong: ") + cause + ".";
        } else {
            *fault += "Memory ran out.";
        }
        return false;
    }
    // The navigation graphs and their precomputed data are read as the world is built; the bots
    // cannot find their way or cover without them.
    // A graph that does not load leaves the world without its graph manager: the fault is asked
    // whenever the file names one. A tree cut short is said by the caller, after the player's
    // entity is looked for.
    if (Vusk::GetGraphManager() != nullptr || (out->whole && NamesClass(out->tree, "CGraphManager"))) {
        if (const char* graphFault = Vusk::GetGraphLoadFault()) {
            *fault = "The AI world file " + Quoted(path) + " is damaged: its " + graphFault + ".";
            if (!out->whole) {
                *fault += std::string("\n") + kCutShort;
            }
            return false;
        }
    }
    return true;
}

std::string Demo::MissingEntityMessage(const char* path, const char* entity, bool whole) {
    std::string text = "The AI world file " + Quoted(path) + " holds no entity definition \"" + entity + "\".";
    if (!whole) {
        text += std::string("\n") + kCutShort;
    }
    return text;
}
