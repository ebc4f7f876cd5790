// Writes a seeded random AI world file: nested nodes, leaves and RawData nodes whose texts
// cover the empty text, 127-byte texts, quotes, backslashes and bytes outside ASCII, and
// raw blocks of 0, 1, 4096 and odd sizes. Usage: ais_sample_gen SEED OUT.AIS

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "tools/ais_format/ais_format.h"

namespace {

class Generator {
public:
    explicit Generator(std::uint32_t seed) : m_random(seed) {}

    std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(m_random() % n); }

    std::string Text() {
        static const std::uint32_t kLengths[] = {0, 1, 5, 12, 126, 127};
        std::uint32_t length = kLengths[Below(6)];
        std::string text;
        for (std::uint32_t i = 0; i < length; ++i) {
            std::uint32_t pick = Below(10);
            text += pick == 0   ? static_cast<char>(1 + Below(255))
                    : pick == 1 ? '"'
                    : pick == 2 ? '\\'
                                : static_cast<char>('a' + Below(26));
        }
        return text;
    }

    void Fill(AisFormat::Node& node, std::uint32_t depth, AisFormat::Document& doc) {
        node.kind = AisFormat::Kind::Node;
        node.label = Text();
        node.name = Text();
        std::uint32_t count = depth == 0 ? 8 : depth < 4 ? Below(6) : 0;
        for (std::uint32_t i = 0; i < count; ++i) {
            node.children.emplace_back();
            AisFormat::Node& child = node.children.back();
            std::uint32_t kind = Below(4);
            if (kind == 0) {
                Fill(child, depth + 1, doc);
            } else if (kind == 1) {
                static const std::uint32_t kSizes[] = {0, 1, 4096, 10000, 37};
                child.kind = AisFormat::Kind::RawData;
                doc.blocks.emplace_back(kSizes[Below(5)]);
                for (auto& byte : doc.blocks.back()) {
                    byte = static_cast<std::uint8_t>(m_random());
                }
            } else {
                child.kind = AisFormat::Kind::Leaf;
                child.name = Text();
                child.value = Text();
            }
        }
    }

private:
    std::mt19937 m_random;
};

} // namespace

int main(int argc, char** argv) {
    static const char kUsage[] =
        "usage: ais_sample_gen SEED OUT.AIS\n"
        "Writes a seeded random AI world file (nested nodes, leaves and RawData blocks) to OUT.AIS.\n"
        "SEED is a decimal number from 0 to 4294967295; the same seed writes the same bytes.\n";
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc != 3) {
        std::fprintf(stderr, "ais_sample_gen: expected SEED OUT.AIS, got %d argument%s\n%s", argc - 1,
                     argc == 2 ? "" : "s", kUsage);
        return 2;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long seed = std::strtoull(argv[1], &end, 10);
    if (argv[1][0] < '0' || argv[1][0] > '9' || *end != '\0' || errno != 0 || seed > 0xFFFFFFFFull) {
        std::fprintf(stderr, "ais_sample_gen: SEED '%s' is not a number from 0 to 4294967295\n", argv[1]);
        return 2;
    }
    Generator generator(static_cast<std::uint32_t>(seed));
    AisFormat::Document doc;
    generator.Fill(doc.root, 0, doc);
    std::vector<std::uint8_t> bytes;
    std::string error;
    if (!AisFormat::Encode(doc, bytes, error) || !AisFormat::WriteWholeFile(argv[2], bytes, error)) {
        std::fprintf(stderr, "ais_sample_gen: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
