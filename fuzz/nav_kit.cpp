#include "fuzz/nav_kit.h"

#include <cstring>
#include <string>

#include <memory>

#include "ai/navigation/data_file.h"
#include "ai/navigation/graph_data.h"
#include "ai/navigation/graph_manager.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/ais_reader.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/world.h"
#include "ai/runtime/world_api.h"
#include "fuzz/fuzz_kit.h"
#include "graphics/core/stream.h"
#include "testing/config_tree.h"

namespace navfuzz {

namespace {

CConfigNode* FirstRawData(CConfigNode* node) {
    if (node->GetRawData() != nullptr) {
        return node;
    }
    for (std::uint32_t i = 0; i < node->GetChildCount(); ++i) {
        if (CConfigNode* found = FirstRawData(node->GetChild(i))) {
            return found;
        }
    }
    return nullptr;
}

// The loader on the first block of a world file.
void LoadFromWorldFile(const std::uint8_t* data, std::size_t size, const Load& load) {
    OvStream* stream = fuzzkit::OpenMemoryStream(data, size);
    if (stream == nullptr) {
        return;
    }
    CConfigNode* root = Vusk::LoadAisFile(stream);
    if (CConfigNode* node = root != nullptr ? FirstRawData(root) : nullptr) {
        Vusk::CRawDataReader reader(node);
        load(&reader);
    }
    Vusk::DeleteTree(root);
    OvStreamClose(stream, nullptr);
}

} // namespace

void ForEachSource(const std::uint8_t* data, std::size_t size, const Load& load) {
    if (size >= CAisReader::kMagicSize && std::memcmp(data, CAisReader::kMagic, CAisReader::kMagicSize) == 0) {
        LoadFromWorldFile(data, size, load);
        return;
    }
    std::string path = fuzzkit::WriteScratchFile(data, size);
    if (!path.empty()) {
        Vusk::CHostFileReader reader(path.c_str());
        load(&reader);
    }
    CAisReader* aisReader = Vusk::GetAisReader();
    CConfigNode node;
    if (aisReader != nullptr && node.SetName("RawData") &&
        aisReader->AttachMemoryBlock(&node, data, static_cast<std::uint32_t>(size))) {
        Vusk::CRawDataReader reader(&node);
        load(&reader);
    }
    fuzzkit::Bytes file = fuzzkit::WrapInWorldFile(data, size);
    LoadFromWorldFile(file.data(), file.size(), load);
}

CSpatialGraph* MakeGrid() {
    auto* graph = new CSpatialGraph();
    CGraphVertex* vertices[9];
    for (int i = 0; i < 9; ++i) {
        vertices[i] = graph->AddVertexAt(CVector3(static_cast<float>(i % 3), 0.0f, static_cast<float>(i / 3)));
    }
    auto join = [&](int a, int b) {
        CGraphEdgeData edge;
        edge.m_length = edge.m_cost = 1.0f;
        graph->AddEdge(edge, vertices[a], vertices[b], -1);
    };
    for (int i = 0; i < 9; ++i) {
        if (i % 3 < 2) {
            join(i, i + 1);
            join(i + 1, i);
        }
        if (i < 6) {
            join(i, i + 3);
            join(i + 3, i);
        }
    }
    join(0, 8);
    return graph;
}

void RunGraphData(const std::uint8_t* data, std::size_t size, CreateData create,
                  const std::function<void(CGraphData& loaded, CSpatialGraph& grid)>& use) {
    fuzzkit::AiEngine engine;
    if (!engine.Up()) {
        return;
    }
    std::unique_ptr<CSpatialGraph> grid(MakeGrid());
    ForEachSource(data, size, [&](Vusk::CDataReader* reader) {
        std::unique_ptr<CGraphData> loaded(create(grid.get()));
        if (loaded != nullptr && loaded->LoadFromReader(reader)) {
            use(*loaded, *grid);
        }
    });
}

CWorld* MakeTwoGraphWorld(CConfigNode** tree) {
    using configtree::Add;
    *tree = new CConfigNode();
    Add(*tree, "MaxEntity", "4");
    Add(*tree, "OneMeter", "1");
    Add(*tree, "Tpf", "20");
    Add(Add(*tree, "GlobalServices"), "Service", "Graphs");
    Add(Add(Add(*tree, "Services"), "Service", nullptr, "Graphs"), "Class", "CGraphManager");
    CWorld* world = Vusk::CreateWorld(*tree, 0);
    CGraphManager* manager = world != nullptr ? Vusk::GetGraphManager() : nullptr;
    if (manager == nullptr) {
        delete world;
        return nullptr;
    }
    for (auto [name, count] : {std::pair<const char*, int>{"Walk", 4}, {"Crawl", 3}}) {
        auto* line = new CSpatialGraph();
        for (int i = 0; i < count; ++i) {
            line->AddVertexAt(CVector3(static_cast<float>(i), 0.0f, 0.0f));
        }
        if (manager->AddGraph(name, line, false) == nullptr) {
            delete line;
        }
    }
    return world;
}

} // namespace navfuzz
