// AI world files (.AIS): the engine's reader takes the tree and then streams every raw data
// block, once from a memory stream and once from a file opened by name through the graphics
// core's file system. The tools' codec reads the same bytes; what it accepts must encode back
// to the same bytes.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "ai/runtime/ais_reader.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/engine.h"
#include "fuzz/fuzz_kit.h"
#include "graphics/core/stream.h"
#include "tools/ais_format/ais_format.h"

namespace {

void CollectRawData(CConfigNode* node, std::vector<CConfigNode*>& out) {
    if (node->GetRawData() != nullptr) {
        out.push_back(node);
    }
    for (std::uint32_t i = 0; i < node->GetChildCount(); ++i) {
        CollectRawData(node->GetChild(i), out);
    }
}

// Reads the tree and every block, in order, as the data loaders would.
void ReadWorldFile(OvStream* stream) {
    if (stream == nullptr) {
        return;
    }
    CAisReader* reader = Vusk::GetAisReader();
    CConfigNode* root = Vusk::LoadAisFile(stream);
    if (reader != nullptr && root != nullptr) {
        std::vector<CConfigNode*> blocks;
        CollectRawData(root, blocks);
        std::uint8_t piece[1024];
        for (CConfigNode* node : blocks) {
            if (!reader->OpenRawData(node)) {
                continue;
            }
            reader->GetRawDataSize(node);
            while (reader->ReadRawData(node, piece, sizeof piece) == sizeof piece) {
            }
            reader->CloseRawData(node);
        }
    }
    Vusk::DeleteTree(root);
    OvStreamClose(stream, nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    {
        fuzzkit::AiEngine engine;
        if (!engine.Up()) {
            return 0;
        }
        ReadWorldFile(fuzzkit::OpenMemoryStream(data, size));
        std::string path = fuzzkit::WriteScratchFile(data, size);
        if (!path.empty()) {
            ReadWorldFile(OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, path.c_str()));
        }
    }

    AisFormat::Document doc;
    std::string error;
    if (AisFormat::Decode(data, size, doc, error)) {
        std::vector<std::uint8_t> again;
        if (!AisFormat::Encode(doc, again, error) || again != std::vector<std::uint8_t>(data, data + size)) {
            std::abort(); // a file the codec accepts does not encode back to itself
        }
    }
    return 0;
}
