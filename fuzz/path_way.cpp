// "Path Way" blocks and scripts: the path-way and script loaders read the bytes as the "RawData"
// block of a world file. A block that aires' decoder accepts must load, with one step per
// position record, and print to a text that aires writes back to a block that loads the same.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "ai/navigation/path_way.h"
#include "ai/navigation/resource_manager.h"
#include "ai/runtime/ais_reader.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/engine.h"
#include "fuzz/fuzz_kit.h"
#include "graphics/core/stream.h"
#include "tools/aires/resource_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::AiEngine engine;
    if (!engine.Up())
        return 0;
    const fuzzkit::Bytes world = fuzzkit::WrapInWorldFile(data, size);
    OvStream* stream = fuzzkit::OpenMemoryStream(world.data(), world.size());
    if (stream == nullptr)
        return 0;
    CConfigNode* root = Vusk::LoadAisFile(stream);
    CConfigNode* raw = root != nullptr ? root->FindChild("RawData") : nullptr;
    bool loaded = false;
    uint32_t steps = 0;
    if (raw != nullptr) {
        CPathWay way;
        loaded = way.Load(raw);
        steps = way.GetStepCount();
        for (uint32_t i = 0; i < steps; ++i) {
            const CPathWayStep* step = way.GetStep(i);
            if (step->m_command[CPathWayStep::kCommandSize - 1] != '\0' ||
                step->m_moveMode[CPathWayStep::kModeSize - 1] != '\0')
                std::abort(); // a text field without its terminator
        }
    }
    Vusk::DeleteTree(root);
    OvStreamClose(stream, nullptr);

    // A second world file: the script loader reads the same block.
    stream = fuzzkit::OpenMemoryStream(world.data(), world.size());
    root = stream != nullptr ? Vusk::LoadAisFile(stream) : nullptr;
    if (root != nullptr && root->FindChild("RawData") != nullptr) {
        CScript script;
        if (script.Load(root->FindChild("RawData")) && script.GetSize() != size)
            std::abort(); // a script is the whole block
    }
    Vusk::DeleteTree(root);
    if (stream != nullptr)
        OvStreamClose(stream, nullptr);

    AiRes::PathWay decoded;
    std::string error;
    const AiRes::Bytes bytes(data, data + size);
    if (!AiRes::DecodePathWay(bytes, decoded, error))
        return 0;
    uint32_t positions = 0;
    for (const AiRes::PathWayRecord& record : decoded.records)
        positions += record.type >= 1 && record.type <= 4;
    if (raw != nullptr && (!loaded || steps != positions))
        std::abort(); // the engine and the tool disagree on a block
    std::string text;
    AiRes::Bytes again;
    AiRes::PathWay redecoded;
    if (!AiRes::FormatBlock(bytes, text, error) || !AiRes::ParseText(text, again, error) ||
        !AiRes::DecodePathWay(again, redecoded, error) || AiRes::FormatPathWay(redecoded) != text)
        std::abort(); // the printed text does not write back
    return 0;
}
