// The text form aires writes blocks from. A text that it accepts gives a block that prints back
// to a text that writes the same block.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/aires/resource_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    AiRes::Bytes block;
    std::string error;
    if (!AiRes::ParseText(std::string(reinterpret_cast<const char*>(data), size), block, error))
        return 0;
    std::string text;
    AiRes::Bytes again;
    if (!AiRes::FormatBlock(block, text, error) || !AiRes::ParseText(text, again, error) || again != block)
        std::abort(); // a block written from text does not print back to the same block
    return 0;
}
