// "Neural Net" files: the net loads from a "RawData" block of a world file and from a host file; a
// net that loads is evaluated (every weight it reads must be there) and saved back to the bytes it
// read. aires' decoder accepts exactly what the engine loads, when nothing follows the weights.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ai/navigation/neural_net.h"
#include "ai/runtime/ais_reader.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/engine.h"
#include "fuzz/fuzz_kit.h"
#include "graphics/core/stream.h"
#include "tools/aires/resource_text.h"

namespace {

void Exercise(CNeuralNet& net, const std::uint8_t* data, std::size_t size) {
    for (int i = 0; i < static_cast<int>(net.GetLayer(0)->GetNeuronCount()); ++i)
        net.GetInputs()[i] = static_cast<float>(i % 3) - 0.5f;
    net.Evaluate();
    fuzzkit::ExpectSavedAsRead([&](const char* path) { return net.Save(path); }, data, size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::AiEngine engine;
    if (!engine.Up())
        return 0;
    bool loaded = false;
    const fuzzkit::Bytes world = fuzzkit::WrapInWorldFile(data, size);
    if (OvStream* stream = fuzzkit::OpenMemoryStream(world.data(), world.size())) {
        CConfigNode* root = Vusk::LoadAisFile(stream);
        if (CConfigNode* raw = root != nullptr ? root->FindChild("RawData") : nullptr) {
            CNeuralNet net;
            loaded = net.Load(raw);
            if (loaded)
                Exercise(net, data, size);
        }
        Vusk::DeleteTree(root);
        OvStreamClose(stream, nullptr);
    }
    const std::string path = fuzzkit::WriteScratchFile(data, size);
    if (!path.empty()) {
        CNeuralNet net;
        if (net.LoadFromFile(path.c_str()) != loaded)
            std::abort(); // a file and a block of the same bytes differ
    }
    AiRes::NeuralNet decoded;
    std::string error;
    const AiRes::Bytes bytes(data, data + size);
    if (AiRes::DecodeNeuralNet(bytes, decoded, error) && (!loaded || AiRes::EncodeNeuralNet(decoded) != bytes))
        std::abort(); // the tool accepts what the engine refuses, or reads it differently
    return 0;
}
