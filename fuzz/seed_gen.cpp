// Writes the seed corpora of the fuzz harnesses: small valid inputs, made the way the tests
// make them (the engine's own writers where there are some). Run it after a change of a format
// and commit what changed:
//   build/bin/fuzz_seed_gen fuzz/corpus
// Each harness's folder gets files named after what they hold; files of the same name are
// replaced, others are left alone.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/seed_gen.h"
#include "graphics/core/chunk.h"
#include "graphics/core/engine.h"
#include "graphics/core/frame.h"
#include "tools/ais_format/ais_format.h"
#include "tools/aires/resource_text.h"

namespace seeds {

Chunks& Chunks::U32(std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    return *this;
}

Chunks& Chunks::F32(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return U32(bits);
}

Chunks& Chunks::Header(std::uint32_t type, std::uint32_t length) {
    return U32(type).U32(length).U32(OvChunkStampPack(ovLIBRARYVERSION, ovLIBRARYBUILD));
}

Chunks& Chunks::Text(const char* text) {
    bytes.insert(bytes.end(), text, text + std::strlen(text));
    return *this;
}

Chunks& Chunks::Append(const Bytes& more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
    return *this;
}

bool Writer::Put(const std::string& harness, const std::string& name, const Bytes& bytes) {
    std::filesystem::path folder = m_root / harness;
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    std::filesystem::path path = folder / name;
    FILE* file = std::fopen(path.c_str(), "wb");
    bool ok = file != nullptr && (bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
    ok = file != nullptr && std::fclose(file) == 0 && ok;
    if (!ok) {
        std::fprintf(stderr, "fuzz_seed_gen: cannot write %s\n", path.c_str());
        m_failed = true;
    }
    return ok;
}

bool Writer::Put(const std::string& harness, const std::string& name, const std::string& text) {
    return Put(harness, name, Bytes(text.begin(), text.end()));
}

AisFormat::Node Leaf(const char* name, const char* value) {
    AisFormat::Node leaf;
    leaf.kind = AisFormat::Kind::Leaf;
    leaf.name = name;
    leaf.value = value;
    return leaf;
}

AisFormat::Node Branch(const char* label, const char* name, std::initializer_list<AisFormat::Node> children) {
    AisFormat::Node node;
    node.label = label;
    node.name = name;
    node.children = children;
    return node;
}

AisFormat::Node Raw(const char* file) {
    AisFormat::Node raw;
    raw.kind = AisFormat::Kind::RawData;
    raw.file = file;
    return raw;
}

namespace {

// A small world definition with two blocks (one empty) and escapes in its texts.
AisFormat::Document SmallWorld() {
    AisFormat::Document doc;
    doc.root =
        Branch("", "World",
               {
                   Leaf("OneMeter", "1.0"),
                   Branch("Graphs", "Service",
                          {Leaf("Class", "CGraphManager"), Branch("MoveGraph", "Graph", {Raw("block-0000.bin")})}),
                   Branch("Quote \" and \\ and \xe9", "Entity", {Leaf("", ""), Raw("block-0001.bin")}),
               });
    doc.blocks.push_back(Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9});
    doc.blocks.push_back(Bytes{});
    for (std::size_t i = 0; i < doc.blocks.size(); ++i) {
        AisFormat::RawDataNodes(doc.root)[i]->size = static_cast<std::uint32_t>(doc.blocks[i].size());
        AisFormat::RawDataNodes(doc.root)[i]->block = static_cast<std::uint32_t>(i);
    }
    return doc;
}

void WorldFileSeeds(Writer& out) {
    AisFormat::Document doc = SmallWorld();
    Bytes file;
    std::string error;
    AisFormat::Encode(doc, file, error);
    out.Put("ais_reader", "small-world.AIS", file);
    AisFormat::Document single;
    single.root = Branch("", "", {});
    file.clear();
    AisFormat::Encode(single, file, error);
    out.Put("ais_reader", "root-only.AIS", file);

    out.Put("ais_text", "small-world.txt", AisFormat::FormatText(doc.root));
    out.Put("ais_text", "hand-written.txt",
            std::string("# comment line\r\n"
                        "node name=\"World\"\r\n"
                        "\r\n"
                        "  leaf value=\"v\\x41\\\\\" name=\"k\"\r\n"
                        "  raw file=\"b.bin\" block=0 size=36\r\n"));
}

void GraphicsSeeds(Writer& out) {
    // Chunk headers and strings: a string, a string of 16-bit characters, a struct chunk and an
    // extension holding a sub-chunk, a string again.
    Chunks chunks;
    chunks.Header(ovID_STRING, 8).Text("frame").U32(0).bytes.resize(12 + 8);
    chunks.Header(ovID_UNICODESTRING, 8).U32(0x00620061).U32(0);
    chunks.Header(ovID_STRUCT, 4).U32(7);
    chunks.Header(ovID_EXTENSION, 16).Header(0x7711, 4).U32(1);
    chunks.Header(ovID_STRING, 4).U32(0);
    out.Put("gfx_chunk", "mixed-chunks.bin", chunks.bytes);
    Chunks longString;
    longString.Header(ovID_STRING, 32).Text("a name longer than sixteen").bytes.resize(12 + 32);
    out.Put("gfx_chunk", "long-string.bin", longString.bytes);

    // Extension chunks: both registered plugins, one unknown, and an empty one.
    Chunks extension;
    extension.Header(ovID_EXTENSION, 3 * 12 + 12 + 4 + 6)
        .Header(0x7711, 12)
        .U32(1)
        .U32(2)
        .U32(3)
        .Header(0x7712, 4)
        .U32(4)
        .Header(0x99, 6)
        .U32(5)
        .bytes.resize(extension.bytes.size() + 2);
    out.Put("gfx_extension", "three-plugins.bin", extension.bytes);
    out.Put("gfx_extension", "empty.bin", Chunks().Header(ovID_EXTENSION, 0).bytes);

    // Frame lists: a hierarchy of four frames (two roots), one frame with an extension.
    Chunks frames;
    const std::int32_t parents[] = {-1, 0, 1, -1};
    frames.Header(ovID_STRUCT, 4 + 4 * ovFRAMELISTRECORDSIZE).U32(4);
    for (int i = 0; i < 4; ++i) {
        const float rows[12] = {1, 0, 0, 0, 1, 0, 0, 0, 1, static_cast<float>(i), 0, 0};
        for (float v : rows) {
            frames.F32(v);
        }
        frames.U32(static_cast<std::uint32_t>(parents[i])).U32(0);
    }
    frames.Header(ovID_EXTENSION, 12 + 8).Header(0x7702, 8).U32(1).U32(2);
    for (int i = 1; i < 4; ++i) {
        frames.Header(ovID_EXTENSION, 0);
    }
    out.Put("gfx_frame_list", "four-frames.bin", frames.bytes);
    out.Put("gfx_frame_list", "no-frames.bin", Chunks().Header(ovID_STRUCT, 4).U32(0).bytes);

    // Cameras: the 32-byte struct and a longer one, with and without an extension.
    Chunks camera;
    camera.Header(ovID_STRUCT, 32).F32(1).F32(0.75f).F32(0).F32(0).F32(0.1f).F32(100).F32(50).U32(1);
    camera.Header(ovID_EXTENSION, 12 + 4).Header(0x7701, 4).U32(9);
    out.Put("gfx_camera", "perspective.bin", camera.bytes);
    Chunks parallel;
    parallel.Header(ovID_STRUCT, 36).F32(2).F32(2).F32(0.5f).F32(-0.5f).F32(1).F32(10).F32(5).U32(2).U32(0);
    parallel.Header(ovID_EXTENSION, 0);
    out.Put("gfx_camera", "parallel.bin", parallel.bytes);
}

// Path ways, neural nets and the texts aires writes them from.
void ResourceSeeds(Writer& out) {
    const char* const patrol = "pathway name=\"Patrol\" flag=1\nwalk -4 0 -4\npause 1.5\nrun 4 0 -4\nrotate 90\n"
                               "jump 4 0 4\norient -90\ncrouch -4 0 4\ncommand \"say \\\"clear\\\"\"\nskip 7\n";
    const char* const net231 = "neuralnet linear=1\nlayers 2 3 1\nweights 0.5 0.5 0.5 0.5 0.5 0.5 0.5 0.5 0.5 "
                               "0.5 0.5 0.5 0.5\n";
    const char* const mirror = "neuralnet linear=0\nlayers 7\nweights 0\n";
    for (const char* text : {patrol, net231, mirror}) {
        AiRes::Bytes block;
        std::string error;
        if (!AiRes::ParseText(text, block, error)) {
            std::fprintf(stderr, "fuzz_seed_gen: %s\n", error.c_str());
            return;
        }
        const bool way = text == patrol;
        const std::string name = way ? "patrol" : (text == mirror ? "mirror" : "net-2-3-1");
        out.Put(way ? "path_way" : "neural_net", name + ".bin", block);
        out.Put("aires_text", name + ".txt", std::string(text));
    }
    AiRes::PathWay empty;
    empty.name = "Empty";
    out.Put("path_way", "no-steps.bin", AiRes::EncodePathWay(empty));
}

} // namespace

} // namespace seeds

int main(int argc, char** argv) {
    if (argc != 2 || std::strcmp(argv[1], "--help") == 0) {
        std::fprintf(argc == 2 ? stdout : stderr,
                     "usage: fuzz_seed_gen CORPUS_DIR\n"
                     "Writes the seed inputs of every fuzz harness into CORPUS_DIR/<harness>/.\n");
        return argc == 2 ? 0 : 2;
    }
    seeds::Writer out(argv[1]);
    // First: it runs the graphics engine on its own driver and takes it down again.
    seeds::ImageSeeds(out);
    seeds::WorldFileSeeds(out);
    seeds::GraphicsSeeds(out);
    seeds::NavigationSeeds(out);
    seeds::ResourceSeeds(out);
    seeds::ModelSeeds(out);
    return out.Failed() ? 1 : 0;
}
