// The text form of AI world files that aispack reads. A text that parses prints back to a
// text that parses to the same print, and its tree encodes to a file that the codec reads
// back to the same bytes.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/ais_format/ais_format.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    AisFormat::Document doc;
    std::string error;
    if (!AisFormat::ParseText(std::string(reinterpret_cast<const char*>(data), size), doc.root, error)) {
        return 0;
    }
    const std::string printed = AisFormat::FormatText(doc.root);
    AisFormat::Node again;
    if (!AisFormat::ParseText(printed, again, error) || AisFormat::FormatText(again) != printed) {
        std::abort(); // the printed text does not read back
    }
    // Blocks are given empty: the encoding of the tree itself is what is checked.
    doc.blocks.resize(AisFormat::RawDataNodes(doc.root).size());
    std::vector<std::uint8_t> file;
    if (!AisFormat::Encode(doc, file, error)) {
        std::abort(); // every tree the text form accepts can be written
    }
    AisFormat::Document decoded;
    std::vector<std::uint8_t> reencoded;
    if (!AisFormat::Decode(file.data(), file.size(), decoded, error) || !AisFormat::Encode(decoded, reencoded, error) ||
        reencoded != file) {
        std::abort(); // the file written does not read back
    }
    return 0;
}
