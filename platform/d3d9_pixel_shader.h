#pragma once
// Pixel shaders 1.1 to 1.4 of the Direct3D 9 stand-in: the token stream CreatePixelShader takes,
// the checks it runs on it and the per-pixel interpreter the rasteriser runs in place of the
// texture-stage cascade.
//
// The stream is the platform's layout: the version token (0xFFFF0101 .. 0xFFFF0104), then
// instruction tokens (operation in the low 16 bits, bit 30 co-issue), each followed by its
// destination and source parameter tokens (bit 31 set: register number in bits 0-10, register
// type in bits 28-30 and 11-12; a destination's write mask in bits 16-19, saturate in bit 20 and
// its shift in bits 24-27; a source's swizzle in bits 16-23 and its modifier in bits 24-27),
// comments (0xFFFE with their length in the upper half), the phase marker 0xFFFD (1.4) and the
// end token 0x0000FFFF.
//
// What runs: tex / texld, texcoord / texcrd, texkill, texbem, texbeml, texreg2ar, texreg2gb,
// texreg2rgb, texm3x2pad, texm3x2tex, phase; nop, mov, add, sub, mul, mad, lrp, dp3, dp4, cnd,
// cmp and def; the destination modifiers saturate, x2, x4, d2 (1.4 also x8, d4, d8); the source
// modifiers negate, bias, bx2, invert (1.4 also x2), the replicate swizzles, _dz / _dw on texld
// and texcrd sources; co-issued colour and alpha instructions. A texture register or texcrd reads
// a coordinate set as (s, t, q, 1) with q the projective coordinate (1 unless projected); texture
// reads divide by q. Values stay within -1..1 (1.1-1.3) or -8..8 (1.4) and the colour drawn is
// r0, saturated.

#include "platform/d3d9.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace d3d9 {

inline constexpr int kPixelShaderConstants = 8; // c0-c7
inline constexpr int kPixelShaderTemps = 6;     // r0-r5 (1.1-1.3: r0, r1)
inline constexpr int kPixelShaderSets = 8;      // coordinate sets a draw hands in

enum class PsOp : std::uint8_t {
    Nop,
    Mov,
    Add,
    Sub,
    Mad,
    Mul,
    Dp3,
    Dp4,
    Lrp,
    Cnd,
    Cmp,
    Tex,      // 1.1-1.3 tex tN; 1.4 texld rN, src
    TexCoord, // 1.1-1.3 texcoord tN; 1.4 texcrd rN, src
    TexKill,
    TexBem,
    TexBemL,
    TexReg2Ar,
    TexReg2Gb,
    TexReg2Rgb,
    TexM3x2Pad,
    TexM3x2Tex,
};

enum class PsFile : std::uint8_t { Temp = 0, Input = 1, Const = 2, Texture = 3 };

// Source modifiers as the tokens number them.
enum class PsMod : std::uint8_t {
    None = 0,
    Negate = 1,
    Bias = 2,
    BiasNegate = 3,
    Bx2 = 4,
    Bx2Negate = 5,
    Invert = 6,
    X2 = 7,
    X2Negate = 8,
    Dz = 9,
    Dw = 10,
};

struct PsDst {
    PsFile file = PsFile::Temp;
    std::uint8_t index = 0;
    std::uint8_t mask = 0xF;
    bool saturate = false;
    std::int8_t shift = 0; // result times 2^shift
};

struct PsSrc {
    PsFile file = PsFile::Temp;
    std::uint8_t index = 0;
    std::array<std::uint8_t, 4> swizzle{0, 1, 2, 3};
    PsMod modifier = PsMod::None;
};

struct PsInstr {
    PsOp op = PsOp::Nop;
    bool coissue = false; // runs together with the instruction before it
    PsDst dst;
    std::array<PsSrc, 3> src{};
    std::uint8_t srcCount = 0;
};

struct PixelShaderProgram {
    DWORD version = 0;
    std::vector<PsInstr> code;
    std::array<std::array<float, 4>, kPixelShaderConstants> defs{};
    std::uint8_t defined = 0; // bit n: def set c n
    int coordSets = 0;        // coordinate sets read: 0 .. coordSets - 1
    std::uint8_t stages = 0;  // bit n: stage n's texture is read
};

// Decodes and checks `count` tokens; never reads beyond them. False, with what was wrong in
// *error when given, for a stream outside the rules of its version.
bool PixelShaderDecode(const DWORD* tokens, std::size_t count, PixelShaderProgram* program,
                       std::string* error = nullptr);

// What a pixel hands the shader.
struct PixelShaderInputs {
    float diffuse[4] = {};
    float specular[4] = {};
    float coords[kPixelShaderSets][3] = {}; // s, t, q of each set
};

// The textures a pixel reads: the colour of stage `stage` at (u, v) into out (r, g, b, a, 0..1).
// `set` is the coordinate set the place came from, -1 when the shader computed it.
class PixelShaderTextures {
public:
    virtual void Sample(int stage, float u, float v, int set, float out[4]) const = 0;

protected:
    ~PixelShaderTextures() = default;
};

// The interpreter: a program prepared once, run pixel by pixel (Run keeps its registers on the
// stack, so threads may share one machine).
class PixelShaderMachine {
public:
    explicit PixelShaderMachine(const PixelShaderProgram& program);
    // c0-c7 (def constants take their place).
    void SetConstants(const float (*constants)[4]);
    // The bump-environment matrix (00, 01, 10, 11) and luminance scale and offset of a stage.
    void SetBumpEnvironment(int stage, const float matrix[4], float lScale, float lOffset);
    // The colour into out; false when texkill drops the pixel.
    bool Run(const PixelShaderInputs& in, const PixelShaderTextures& textures, float out[4]) const;

private:
    PixelShaderProgram program_;
    float constants_[kPixelShaderConstants][4] = {};
    float bump_[kPixelShaderSets][6] = {};
    float range_ = 1; // values stay within -range_ .. range_
};

} // namespace d3d9
