#pragma once
// Vertex shaders of the Direct3D 9 stand-in: the program form the D3DX assembler produces from
// shader text, its token encoding (what travels from D3DXAssembleShader to CreateVertexShader),
// the checks both ends run, and the per-vertex interpreter the rasteriser calls.
//
// The language is the vs_1_1 / vs_2_0 / vs_2_x subset the engine's shader generator writes: one
// statement a line, the version line, input declarations, and fifteen instructions (mov, mova,
// add, mul, mad, dp3, dp4, max, slt, rsq, rcp, expp and the matrix macros m4x4, m4x3, m3x3) over
// temporaries r0-r11, inputs v0-v15, constants c[n] (n may be a sum such as "1 + 5") and
// c[a0.<comp> + n], the address register a0 and the outputs oPos, oFog, oD0, oD1, oT0-oT7.
// The tokens are our own encoding, not the platform's bytecode: nothing but this file reads them.

#include "platform/d3d9.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace d3d9 {

enum class ShaderOp : std::uint8_t {
    Mov = 1,
    Mova,
    Add,
    Mul,
    Mad,
    Dp3,
    Dp4,
    Max,
    Slt,
    Rsq,
    Rcp,
    Expp,
    M4x4,
    M4x3,
    M3x3,
};
inline constexpr int kShaderOpCount = 15;

enum class ShaderFile : std::uint8_t {
    Temp = 1, // r0-r11
    Input,    // v0-v15
    Const,    // c0-c255
    Address,  // a0
    Position, // oPos
    Fog,      // oFog
    Color,    // oD0, oD1
    TexCoord, // oT0-oT7
};

inline constexpr int kShaderTemps = 12;
inline constexpr int kShaderInputs = 16;
inline constexpr int kShaderConstants = 256;
inline constexpr int kShaderTexCoords = 8;

struct ShaderDst {
    ShaderFile file = ShaderFile::Temp;
    std::uint8_t index = 0;
    std::uint8_t mask = 0xF; // bit k: component k written
};

struct ShaderSrc {
    ShaderFile file = ShaderFile::Temp;
    std::uint8_t index = 0; // register, or the offset added to the address component
    bool relative = false;  // c[a0.<relComponent> + index]
    std::uint8_t relComponent = 0;
    std::array<std::uint8_t, 4> swizzle{0, 1, 2, 3};
    bool negate = false;
};

struct ShaderInstr {
    ShaderOp op = ShaderOp::Mov;
    ShaderDst dst;
    std::array<ShaderSrc, 3> src{};
    std::uint8_t srcCount = 0;
    int line = 0; // of the text; 0 when decoded from tokens
};

struct ShaderDecl {
    std::uint8_t usage = 0; // D3DDECLUSAGE_*
    std::uint8_t usageIndex = 0;
    std::uint8_t reg = 0; // v register
    int line = 0;         // of the text; 0 when decoded from tokens
};

struct ShaderProgram {
    DWORD version = 0; // D3DVS_VERSION(1, 1), (2, 0) or (2, 1) for vs_2_x
    std::vector<ShaderDecl> decls;
    std::vector<ShaderInstr> code;
};

// Instruction slots each profile allows (a matrix macro takes one slot a row).
int ShaderSlotLimit(DWORD version);

// Text to program. False with "line N: what" in *error for anything outside the language or a
// program the checks below refuse.
bool ShaderAssemble(const char* text, std::size_t length, ShaderProgram* program, std::string* error);

// The checks both ends run: registers, masks and swizzles the profile allows, inputs declared
// before they are read, temporaries and address components written before they are read, oPos
// written whole, the profile's instruction slots. False with "line N: what" in *error.
bool ShaderValidate(const ShaderProgram& program, std::string* error);

// Program to tokens (version token first, end token 0x0000FFFF last) and back. Decoding checks
// every token and validates the program; it reads at most `count` tokens.
std::vector<DWORD> ShaderEncode(const ShaderProgram& program);
bool ShaderDecode(const DWORD* tokens, std::size_t count, ShaderProgram* program);

// What one vertex produces.
struct ShaderOutput {
    std::array<float, 4> position{};
    float fog = 0;
    std::array<std::array<float, 4>, 2> color{}; // saturated to 0..1
    std::array<std::array<float, 4>, kShaderTexCoords> tex{};
};

// The interpreter: a program prepared once, run vertex by vertex against a constant file.
class ShaderMachine {
public:
    explicit ShaderMachine(const ShaderProgram& program);
    // The constants every following Run reads (kShaderConstants registers; copied).
    void SetConstants(const float (*constants)[4]);
    void SetConstants(const std::array<std::array<float, 4>, kShaderConstants>& constants);
    // inputs: v0-v15, each (x, y, z, w).
    void Run(const std::array<std::array<float, 4>, kShaderInputs>& inputs, ShaderOutput* out);
    const ShaderProgram& Program() const { return program_; }

private:
    // One flat register file: temporaries, inputs, outputs, constants and a zero register that
    // out-of-range relative reads land on.
    static constexpr int kTempBase = 0;
    static constexpr int kInputBase = kTempBase + kShaderTemps;
    static constexpr int kOutBase = kInputBase + kShaderInputs; // oPos, oFog, oD0, oD1, oT0..7
    static constexpr int kConstBase = kOutBase + 4 + kShaderTexCoords;
    static constexpr int kZero = kConstBase + kShaderConstants;
    static constexpr int kRegisters = kZero + 1;

    struct Operand {
        std::uint16_t reg;    // register of the flat file (the base for relative ones)
        std::int8_t relative; // address component, -1 for none
        std::uint8_t swizzle[4];
        float sign;
        bool plain; // a register read as it is: no address, swizzle or negation
    };
    struct Step {
        ShaderOp op;
        std::uint16_t dst; // register of the flat file; 0xFFFF for a0
        std::uint8_t mask;
        bool rowsInTemps; // matrix macro whose rows are temporaries
        Operand src[3];
    };

    void Read(const Operand& o, float out[4]) const;
    void Row(const Operand& m, int row, float out[4]) const;

    ShaderProgram program_;
    std::vector<Step> steps_;
    bool scalarExpp_ = false; // vs_2 expp: 2^x in every component; vs_1_1 writes (2^floor, frac, 2^x, 1)
    alignas(16) float regs_[kRegisters][4];
    int a0_[4] = {};
};

} // namespace d3d9
