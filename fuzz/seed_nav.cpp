// Seeds of the navigation data harnesses and of whole world files, written with the engine's
// own Build and Save functions for the harnesses' grid graph.

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "ai/navigation/astar_data.h"
#include "ai/navigation/find_nearest_data.h"
#include "ai/navigation/graph_manager.h"
#include "ai/navigation/path_cost_data.h"
#include "ai/navigation/point_mapper.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/world.h"
#include "ai/runtime/world_api.h"
#include "fuzz/fuzz_kit.h"
#include "fuzz/nav_kit.h"
#include "fuzz/seed_gen.h"
#include "testing/config_tree.h"
#include "tools/ais_format/ais_format.h"

namespace seeds {

namespace {

using configtree::Add;

// What a save wrote, or nothing when it failed.
template <typename Save> Bytes Saved(Save save) {
    const std::string path = fuzzkit::ScratchFileName() + ".seed";
    Bytes bytes;
    if (save(path.c_str())) {
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::remove(path.c_str());
    return bytes;
}

// The file itself and the file as the block of a world file.
void PutBoth(Writer& out, const std::string& harness, const std::string& name, const Bytes& bytes) {
    if (bytes.empty()) {
        std::fprintf(stderr, "fuzz_seed_gen: no %s for %s\n", name.c_str(), harness.c_str());
        out.Fail();
        return;
    }
    out.Put(harness, name, bytes);
    out.Put(harness, name + "-in-world.AIS", fuzzkit::WrapInWorldFile(bytes.data(), bytes.size()));
}

// A world whose graph manager loads the grid and three kinds of data for it, and whose point
// mapper builds its tables from the grid.
Bytes World(const Bytes& graph, const Bytes& nearest, const Bytes& routes, const Bytes& costs) {
    AisFormat::Document doc;
    doc.root = Branch(
        "", "World",
        {
            Leaf("MaxEntity", "4"),
            Leaf("OneMeter", "1"),
            Leaf("Tpf", "20"),
            Branch("", "GlobalServices", {Leaf("Service", "Graphs"), Leaf("Service", "Points")}),
            Branch("", "Services",
                   {
                       Branch("Graphs", "Service",
                              {
                                  Leaf("Class", "CGraphManager"),
                                  Branch("Walk", "Graph",
                                         {
                                             Raw(),
                                             Branch("", "AdditionalData", {Leaf("Class", "CFindNearestData"), Raw()}),
                                             Branch("", "AdditionalData", {Leaf("Class", "CAstarData"), Raw()}),
                                             Branch("", "AdditionalData", {Leaf("Class", "CPathCostData"), Raw()}),
                                         }),
                              }),
                       Branch("Points", "Service",
                              {
                                  Leaf("Class", "CPointMapper"),
                                  Branch("Walk", "Container", {Leaf("Class", "CGraphWrapper")}),
                              }),
                   }),
        });
    doc.blocks = {graph, nearest, routes, costs};
    std::vector<AisFormat::Node*> raws = AisFormat::RawDataNodes(doc.root);
    for (std::size_t i = 0; i < raws.size(); ++i) {
        raws[i]->size = static_cast<std::uint32_t>(doc.blocks[i].size());
    }
    Bytes file;
    std::string error;
    if (!AisFormat::Encode(doc, file, error)) {
        std::fprintf(stderr, "fuzz_seed_gen: %s\n", error.c_str());
        file.clear();
    }
    return file;
}

} // namespace

void NavigationSeeds(Writer& out) {
    fuzzkit::AiEngine engine;
    if (!engine.Up()) {
        std::fprintf(stderr, "fuzz_seed_gen: the AI engine does not start\n");
        out.Fail();
        return;
    }
    std::unique_ptr<CSpatialGraph> grid(navfuzz::MakeGrid());
    const Bytes graph = Saved([&](const char* path) { return grid->Save(path); });
    PutBoth(out, "nav_spatial_graph", "grid.graph", graph);
    CSpatialGraph empty;
    PutBoth(out, "nav_spatial_graph", "empty.graph", Saved([&](const char* path) { return empty.Save(path); }));

    std::unique_ptr<CGraphData> nearest(CFindNearestData::Create(grid.get()));
    std::unique_ptr<CGraphData> routes(CAstarData::Create(grid.get()));
    std::unique_ptr<CGraphData> costs(CPathCostData::Create(grid.get()));
    Bytes saved[3];
    CGraphData* data[3] = {nearest.get(), routes.get(), costs.get()};
    const char* harness[3] = {"nav_find_nearest", "nav_astar_data", "nav_path_cost"};
    for (int i = 0; i < 3; ++i) {
        if (data[i] != nullptr && data[i]->Build()) {
            saved[i] = Saved([&](const char* path) { return data[i]->Save(path); });
        }
        PutBoth(out, harness[i], "grid.data", saved[i]);
    }
    out.Put("ais_world", "grid-world.AIS", World(graph, saved[0], saved[1], saved[2]));

    // Point mapping between the point harness's graphs, "Walk" (4 vertices) and "Crawl" (3).
    CConfigNode* tree = nullptr;
    CWorld* world = navfuzz::MakeTwoGraphWorld(&tree);
    Bytes mapping;
    if (world != nullptr) {
        CConfigNode definition;
        Add(Add(&definition, "Container", nullptr, "Walk"), "Class", "CGraphWrapper");
        Add(Add(&definition, "Container", nullptr, "Crawl"), "Class", "CGraphWrapper");
        CPointMapper mapper;
        if (mapper.Init(&definition)) {
            mapping = Saved([&](const char* path) { return mapper.Save(path); });
        }
    }
    PutBoth(out, "nav_point_map", "walk-crawl.map", mapping);
    delete world;
    Vusk::DeleteTree(tree);
}

} // namespace seeds
