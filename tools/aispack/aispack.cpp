// aispack: writes an AI world file (".AIS") from the text form that aisdump prints, reading
// each raw data block from the file its line names.

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/ais_format/ais_format.h"

namespace {

const char kUsage[] = "usage: aispack TEXT OUT.AIS\n"
                      "\n"
                      "Writes the AI world file OUT.AIS from TEXT, the text form that aisdump prints:\n"
                      "  node label=\"...\" name=\"...\"        a node with children (the lines below it, indented\n"
                      "                                     two more spaces)\n"
                      "  leaf name=\"...\" value=\"...\"        a key and its value\n"
                      "  raw file=\"...\" [size=N] [block=K]  a RawData node; its block is read from the file,\n"
                      "                                     relative to TEXT's folder; size and block, when\n"
                      "                                     given, must agree with the file and the node's order\n"
                      "Texts are quoted; \\\" \\\\ and \\xHH are escapes; at most 127 bytes each. Lines starting\n"
                      "with # and empty lines are ignored. Exactly one line (the root) has no indentation.\n";

int Fail(const std::string& message) {
    std::fprintf(stderr, "aispack: %s\n", message.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        args.push_back(arg);
    }
    if (args.size() != 2) {
        std::fprintf(stderr, "aispack: expected TEXT OUT.AIS, got %zu argument%s\n%s", args.size(),
                     args.size() == 1 ? "" : "s", kUsage);
        return 2;
    }
    const std::string& textPath = args[0];
    const std::string& outPath = args[1];

    std::string error;
    std::vector<std::uint8_t> textBytes;
    AisFormat::Document doc;
    if (!AisFormat::ReadWholeFile(textPath, textBytes, error) ||
        !AisFormat::ParseText(std::string(textBytes.begin(), textBytes.end()), doc.root, error)) {
        return Fail(textPath + ": " + error);
    }
    std::filesystem::path folder = std::filesystem::path(textPath).parent_path();
    std::vector<AisFormat::Node*> raws = AisFormat::RawDataNodes(doc.root);
    for (std::size_t i = 0; i < raws.size(); ++i) {
        const AisFormat::Node& raw = *raws[i];
        const std::string where = textPath + ": line " + std::to_string(raw.line) + ": ";
        if (raw.file.empty()) {
            return Fail(where + "RawData node " + std::to_string(i) + " names no file");
        }
        if (raw.hasBlock && raw.block != i) {
            return Fail(where + "RawData node " + std::to_string(i) + " says block=" + std::to_string(raw.block) +
                        "; blocks are numbered in the order of their nodes");
        }
        doc.blocks.emplace_back();
        if (!AisFormat::ReadWholeFile((folder / raw.file).string(), doc.blocks.back(), error)) {
            return Fail(where + "cannot read the block file " + AisFormat::Shown(raw.file));
        }
        if (doc.blocks.back().size() > 0xFFFFFFFFu || (raw.hasSize && raw.size != doc.blocks.back().size())) {
            return Fail(where + "the block file " + AisFormat::Shown(raw.file) + " holds " +
                        std::to_string(doc.blocks.back().size()) +
                        " bytes, the line says size=" + std::to_string(raw.size));
        }
    }
    std::vector<std::uint8_t> bytes;
    if (!AisFormat::Encode(doc, bytes, error)) {
        return Fail(textPath + ": " + error);
    }
    if (!AisFormat::WriteWholeFile(outPath, bytes, error)) {
        return Fail(error);
    }
    return 0;
}
