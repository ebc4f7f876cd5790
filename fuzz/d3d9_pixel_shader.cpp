// The device's pixel-shader reader: any run of tokens is read or refused without reading past
// its end; a stream read runs one pixel through the interpreter, whose colour stays within 0..1.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/d3d9_pixel_shader.h"

namespace {

// Stage s at (u, v) reads (u, v, s / 8, 1), any place mapped into 0..1.
struct Textures final : d3d9::PixelShaderTextures {
    void Sample(int stage, float u, float v, int, float out[4]) const override {
        out[0] = std::isfinite(u) ? u - std::floor(u) : 0.0f;
        out[1] = std::isfinite(v) ? v - std::floor(v) : 0.0f;
        out[2] = static_cast<float>(stage) / 8;
        out[3] = 1;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 1 << 16)
        return 0;
    // The tokens in a block of exactly their size, so that a read past them is seen.
    std::vector<DWORD> tokens(size / 4);
    if (!tokens.empty())
        std::memcpy(tokens.data(), data, tokens.size() * 4);
    d3d9::PixelShaderProgram program;
    if (!d3d9::PixelShaderDecode(tokens.data(), tokens.size(), &program))
        return 0;
    if (program.code.empty() || program.coordSets > d3d9::kPixelShaderSets)
        std::abort();
    d3d9::PixelShaderMachine machine(program);
    float constants[d3d9::kPixelShaderConstants][4];
    for (int i = 0; i < d3d9::kPixelShaderConstants; ++i)
        for (int k = 0; k < 4; ++k)
            constants[i][k] = static_cast<float>(i - k) * 0.3f;
    machine.SetConstants(constants);
    const float bump[4] = {0.5f, -0.25f, 0.25f, 2.0f};
    for (int s = 0; s < d3d9::kPixelShaderSets; ++s)
        machine.SetBumpEnvironment(s, bump, 1.5f, -0.25f);
    d3d9::PixelShaderInputs in;
    for (int k = 0; k < 4; ++k) {
        in.diffuse[k] = 0.25f * static_cast<float>(k);
        in.specular[k] = 1.0f - 0.2f * static_cast<float>(k);
    }
    for (int s = 0; s < d3d9::kPixelShaderSets; ++s) {
        in.coords[s][0] = 0.1f * static_cast<float>(s) - 0.2f;
        in.coords[s][1] = 1.5f - 0.3f * static_cast<float>(s);
        in.coords[s][2] = s == 5 ? 0.0f : 1.0f + 0.5f * static_cast<float>(s);
    }
    float out[4] = {};
    if (machine.Run(in, Textures{}, out))
        for (float v : out)
            if (!(v >= 0 && v <= 1))
                std::abort();
    return 0;
}
