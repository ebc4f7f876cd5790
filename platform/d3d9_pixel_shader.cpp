// Pixel shaders of the stand-in: the token reader with its checks, and the interpreter (see
// platform/d3d9_pixel_shader.h for what runs).

#include "platform/d3d9_pixel_shader.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace d3d9 {

namespace {

constexpr DWORD kEnd = 0x0000FFFFu;
constexpr DWORD kComment = 0xFFFEu;
constexpr DWORD kPhase = 0xFFFDu;
constexpr DWORD kCoissue = 0x40000000u;
constexpr DWORD kParam = 0x80000000u;
constexpr DWORD kDef = 81;

// How an operation's parameters follow its token.
enum class Form { Arith, TexDst, TexDstSrc, Def };

struct OpEntry {
    DWORD code;
    PsOp op;
    Form form;
    int sources;  // of arithmetic
    int minMinor; // lowest 1.x minor version that has it
    bool in14;    // ps_1_4 has it
    bool below14; // ps_1_1 .. 1_3 have it
    const char* name;
};

constexpr OpEntry kOps[] = {
    {0, PsOp::Nop, Form::Arith, 0, 1, true, true, "nop"},
    {1, PsOp::Mov, Form::Arith, 1, 1, true, true, "mov"},
    {2, PsOp::Add, Form::Arith, 2, 1, true, true, "add"},
    {3, PsOp::Sub, Form::Arith, 2, 1, true, true, "sub"},
    {4, PsOp::Mad, Form::Arith, 3, 1, true, true, "mad"},
    {5, PsOp::Mul, Form::Arith, 2, 1, true, true, "mul"},
    {8, PsOp::Dp3, Form::Arith, 2, 1, true, true, "dp3"},
    {9, PsOp::Dp4, Form::Arith, 2, 2, true, true, "dp4"},
    {18, PsOp::Lrp, Form::Arith, 3, 1, true, true, "lrp"},
    {80, PsOp::Cnd, Form::Arith, 3, 1, true, true, "cnd"},
    {88, PsOp::Cmp, Form::Arith, 3, 2, true, true, "cmp"},
    {64, PsOp::TexCoord, Form::TexDst, 0, 1, true, true, "texcoord"},
    {65, PsOp::TexKill, Form::TexDst, 0, 1, true, true, "texkill"},
    {66, PsOp::Tex, Form::TexDst, 0, 1, true, true, "tex"},
    {67, PsOp::TexBem, Form::TexDstSrc, 0, 1, false, true, "texbem"},
    {68, PsOp::TexBemL, Form::TexDstSrc, 0, 1, false, true, "texbeml"},
    {69, PsOp::TexReg2Ar, Form::TexDstSrc, 0, 1, false, true, "texreg2ar"},
    {70, PsOp::TexReg2Gb, Form::TexDstSrc, 0, 1, false, true, "texreg2gb"},
    {82, PsOp::TexReg2Rgb, Form::TexDstSrc, 0, 2, false, true, "texreg2rgb"},
    {71, PsOp::TexM3x2Pad, Form::TexDstSrc, 0, 1, false, true, "texm3x2pad"},
    {72, PsOp::TexM3x2Tex, Form::TexDstSrc, 0, 1, false, true, "texm3x2tex"},
    {kDef, PsOp::Nop, Form::Def, 0, 1, true, true, "def"},
};

const OpEntry* FindOp(DWORD code) {
    for (const OpEntry& e : kOps)
        if (e.code == code)
            return &e;
    return nullptr;
}

bool IsTexOp(PsOp op) { return op >= PsOp::Tex; }

bool Fail(std::string* error, const std::string& what) {
    if (error != nullptr)
        *error = what;
    return false;
}

int RegType(DWORD t) { return static_cast<int>(((t >> 28) & 7) | ((t >> 8) & 0x18)); }

bool ParseDst(DWORD t, PsDst* d) {
    if (!(t & kParam) || (t & 0xE000u) != 0 || RegType(t) > 3 || (t & 0x7FF) > 255)
        return false;
    d->file = static_cast<PsFile>(RegType(t));
    d->index = static_cast<std::uint8_t>(t & 0x7FF);
    d->mask = static_cast<std::uint8_t>((t >> 16) & 0xF);
    const DWORD mods = (t >> 20) & 0xF;
    if (mods & ~1u)
        return false;
    d->saturate = mods != 0;
    const DWORD shift = (t >> 24) & 0xF;
    if (shift <= 3)
        d->shift = static_cast<std::int8_t>(shift);
    else if (shift >= 13)
        d->shift = static_cast<std::int8_t>(static_cast<int>(shift) - 16);
    else
        return false;
    return true;
}

bool ParseSrc(DWORD t, PsSrc* s) {
    if (!(t & kParam) || (t & 0xE000u) != 0 || RegType(t) > 3 || (t & 0x7FF) > 255 || ((t >> 24) & 0xF) > 10)
        return false;
    s->file = static_cast<PsFile>(RegType(t));
    s->index = static_cast<std::uint8_t>(t & 0x7FF);
    for (int k = 0; k < 4; ++k)
        s->swizzle[k] = static_cast<std::uint8_t>((t >> (16 + 2 * k)) & 3);
    s->modifier = static_cast<PsMod>((t >> 24) & 0xF);
    return true;
}

bool Identity(const PsSrc& s) { return s.swizzle == std::array<std::uint8_t, 4>{0, 1, 2, 3}; }
bool Replicate(const PsSrc& s) {
    return s.swizzle[0] == s.swizzle[1] && s.swizzle[1] == s.swizzle[2] && s.swizzle[2] == s.swizzle[3];
}

// The checks of one program as it is read.
struct Checker {
    const DWORD version;
    const bool v14;
    const int minor;
    std::string* error;
    int phase = 0;
    bool arithSeen = false;
    int texCount = 0, arithCount = 0;
    std::uint8_t tempWritten = 0;  // bit n: r n written
    std::uint8_t textureRead = 0;  // 1.1-1.3: t n written by a texture instruction
    std::uint8_t sampledPhase = 0; // 1.4: r n written by texld / texcrd in this phase
    bool inputBeforePhase = false; // 1.4: v read before the phase marker
    int padPending = -1;           // texm3x2pad's destination awaiting its texm3x2tex

    Checker(DWORD v, std::string* e)
        : version(v), v14((v & 0xFFFF) == 0x0104), minor(static_cast<int>(v & 0xFF)), error(e) {}

    int Temps() const { return v14 ? 6 : 2; }
    int Textures() const { return v14 ? 6 : 4; }

    bool Source(const PsInstr& in, const PsSrc& s, bool textureInstruction, std::string* why) {
        switch (s.file) {
        case PsFile::Temp:
            if (s.index >= Temps())
                return *why = "no such temporary register", false;
            if (!(tempWritten & (1u << s.index)))
                return *why = "r" + std::to_string(s.index) + " read before it is written", false;
            break;
        case PsFile::Input:
            if (s.index >= 2)
                return *why = "no such colour register", false;
            if (textureInstruction)
                return *why = "a colour register is no texture coordinate", false;
            if (v14 && phase == 0)
                inputBeforePhase = true;
            break;
        case PsFile::Const:
            if (s.index >= kPixelShaderConstants || textureInstruction)
                return *why = "no such constant register", false;
            break;
        case PsFile::Texture:
            if (s.index >= Textures())
                return *why = "no such texture register", false;
            if (v14 && !textureInstruction)
                return *why = "ps_1_4 reads texture registers only through texld and texcrd", false;
            if (!v14 && !(textureRead & (1u << s.index)))
                return *why = "t" + std::to_string(s.index) + " read before a texture instruction writes it", false;
            break;
        }
        const bool texSource = v14 && (in.op == PsOp::Tex || in.op == PsOp::TexCoord);
        if (texSource) {
            const bool xyz = s.swizzle == std::array<std::uint8_t, 4>{0, 1, 2, 2};
            const bool xyw = s.swizzle == std::array<std::uint8_t, 4>{0, 1, 3, 3};
            if (!Identity(s) && !xyz && !xyw)
                return *why = "a texture coordinate reads .xyz or .xyw", false;
            if (s.modifier != PsMod::None && s.modifier != PsMod::Dz && s.modifier != PsMod::Dw)
                return *why = "a texture coordinate takes only _dz or _dw", false;
            if (s.modifier == PsMod::Dz && s.file != PsFile::Temp)
                return *why = "_dz applies to temporaries", false;
            return true;
        }
        if (!Identity(s) && !Replicate(s))
            return *why = "swizzles other than a replicate are not allowed", false;
        if (s.modifier == PsMod::Dz || s.modifier == PsMod::Dw)
            return *why = "_dz and _dw apply to texture coordinates", false;
        if (!v14 && (s.modifier == PsMod::X2 || s.modifier == PsMod::X2Negate))
            return *why = "the x2 source modifier needs ps_1_4", false;
        if (textureInstruction && (s.modifier != PsMod::None || !Identity(s)))
            return *why = "texture instructions take plain sources", false;
        return true;
    }

    bool Instruction(PsInstr& in, std::size_t at, bool coissuePrev, PsInstr* prev) {
        std::string why;
        auto fail = [&](const std::string& w) { return Fail(error, "instruction " + std::to_string(at) + ": " + w); };
        const bool tex = IsTexOp(in.op);
        if (tex) {
            if (arithSeen)
                return fail("texture instruction after arithmetic");
            if (in.coissue)
                return fail("a texture instruction cannot be co-issued");
            if (++texCount > (v14 ? 6 : 4))
                return fail("too many texture instructions");
            if (in.dst.saturate || in.dst.shift != 0)
                return fail("texture instructions take no destination modifier");
        } else if (in.op != PsOp::Nop || in.coissue) {
            arithSeen = true;
            if (!in.coissue && ++arithCount > 8)
                return fail("too many arithmetic instructions");
        }
        // Destination.
        const PsDst& d = in.dst;
        if (in.op == PsOp::Nop) {
            if (in.coissue)
                return fail("nop cannot be co-issued");
            return true;
        }
        if (d.mask == 0)
            return fail("empty write mask");
        if (!v14 && d.mask != 0xF && d.mask != 0x7 && d.mask != 0x8)
            return fail("ps_1_1 to ps_1_3 write .rgba, .rgb or .a");
        if (!v14 && (d.shift > 2 || d.shift < -1))
            return fail("shift not allowed in this version");
        if (in.op == PsOp::TexKill) {
            if (d.mask != 0xF && !(v14 && d.mask == 0x7))
                return fail("texkill tests whole registers");
            if (d.file == PsFile::Texture ? d.index >= Textures()
                                          : (d.file != PsFile::Temp || !v14 || d.index >= Temps()))
                return fail("texkill reads a texture register (or a temporary in ps_1_4)");
            if (d.file == PsFile::Temp && !(tempWritten & (1u << d.index)))
                return fail("texkill of a temporary not written");
            return true;
        }
        if (v14) {
            if (d.file != PsFile::Temp || d.index >= 6)
                return fail("ps_1_4 writes temporaries r0-r5");
        } else if (tex) {
            if (d.file != PsFile::Texture || d.index >= 4)
                return fail("texture instructions write t0-t3");
            if (textureRead & (1u << d.index))
                return fail("a texture register is written once");
        } else if (!(d.file == PsFile::Temp && d.index < 2) && !(d.file == PsFile::Texture && d.index < 4)) {
            return fail("arithmetic writes r0, r1 or t0-t3");
        }
        // Sources.
        if (!v14 && tex && in.srcCount > 0 && (in.src[0].file != PsFile::Texture || in.src[0].index >= d.index))
            return fail("a texture instruction reads a texture register before its own");
        for (int k = 0; k < in.srcCount; ++k)
            if (!Source(in, in.src[k], tex, &why))
                return fail(why);
        // Per operation.
        switch (in.op) {
        case PsOp::Tex:
        case PsOp::TexCoord:
            if (v14) {
                const PsSrc& s = in.src[0];
                if (in.op == PsOp::Tex && d.mask != 0xF)
                    return fail("texld writes the whole register");
                if (in.op == PsOp::TexCoord && (d.mask & 0x8) && s.swizzle[3] != 3)
                    return fail("texcrd writes .rgba only from .xyzw");
                if (s.file == PsFile::Temp && (phase == 0 || in.op == PsOp::TexCoord))
                    return fail("dependent reads need the second phase");
                if (s.file != PsFile::Temp && s.file != PsFile::Texture)
                    return fail("texture coordinates come from t or r registers");
                if (sampledPhase & (1u << d.index))
                    return fail("r" + std::to_string(d.index) + " sampled twice in one phase");
                sampledPhase |= static_cast<std::uint8_t>(1u << d.index);
            } else if (d.mask != 0xF) {
                return fail("texture instructions write the whole register");
            }
            break;
        case PsOp::TexM3x2Tex:
            if (padPending < 0 || d.index != padPending + 1)
                return fail("texm3x2tex follows texm3x2pad of the register before");
            padPending = -1;
            break;
        case PsOp::TexM3x2Pad:
            break;
        case PsOp::TexBem:
        case PsOp::TexBemL:
        case PsOp::TexReg2Ar:
        case PsOp::TexReg2Gb:
        case PsOp::TexReg2Rgb:
            if (d.mask != 0xF)
                return fail("texture instructions write the whole register");
            break;
        case PsOp::Cnd:
            if (!v14 && (in.src[0].file != PsFile::Temp || in.src[0].index != 0 || in.src[0].swizzle[0] != 3 ||
                         !Replicate(in.src[0])))
                return fail("cnd tests r0.a before ps_1_4");
            break;
        default:
            break;
        }
        if (padPending >= 0 && in.op != PsOp::TexM3x2Tex && in.op != PsOp::TexM3x2Pad)
            return fail("texm3x2pad without its texm3x2tex");
        if (in.op == PsOp::TexM3x2Pad) {
            if (padPending >= 0)
                return fail("texm3x2pad twice");
            padPending = d.index;
        }
        // Co-issue: one instruction writes colour, the other alpha.
        if (in.coissue) {
            if (!coissuePrev || prev == nullptr)
                return fail("co-issue without an arithmetic instruction before");
            const std::uint8_t a = prev->dst.mask, b = d.mask;
            const bool split = (a == 0x8 && b != 0 && !(b & 0x8)) || (b == 0x8 && a != 0 && !(a & 0x8));
            if (!split || (!v14 && (a | b) != 0xF))
                return fail("co-issued instructions write colour and alpha apart");
        }
        // What it writes.
        if (d.file == PsFile::Temp)
            tempWritten |= static_cast<std::uint8_t>(1u << d.index);
        else if (d.file == PsFile::Texture)
            textureRead |= static_cast<std::uint8_t>(1u << d.index);
        return true;
    }
};

// Within -range .. range; NaN gives 0.
float Clamp(float v, float range) { return v > -range ? (v < range ? v : range) : (v == v ? -range : 0.0f); }
float Saturate01(float v) { return v > 0 ? (v < 1 ? v : 1.0f) : 0.0f; }

} // namespace

bool PixelShaderDecode(const DWORD* tokens, std::size_t count, PixelShaderProgram* program, std::string* error) {
    *program = PixelShaderProgram{};
    if (tokens == nullptr || count == 0)
        return Fail(error, "no tokens");
    const DWORD version = tokens[0];
    if ((version & 0xFFFF0000u) != 0xFFFF0000u || (version & 0xFF00) != 0x0100 || (version & 0xFF) < 1 ||
        (version & 0xFF) > 4)
        return Fail(error, "not a ps_1_1 .. ps_1_4 version token");
    program->version = version;
    Checker check(version, error);
    bool hasPhase = false;
    bool lastArith = false;
    std::size_t i = 1;
    std::size_t number = 0;
    for (;;) {
        if (i >= count)
            return Fail(error, "no end token");
        const DWORD t = tokens[i++];
        if (t == kEnd)
            break;
        const DWORD code = t & 0xFFFF;
        if (code == kComment) {
            const std::size_t length = (t >> 16) & 0x7FFF;
            if ((t & kParam) || length > count - i)
                return Fail(error, "comment past the end");
            i += length;
            continue;
        }
        ++number;
        if (code == kPhase) {
            if (!check.v14 || hasPhase || t != kPhase)
                return Fail(error, "instruction " + std::to_string(number) + ": phase only once, in ps_1_4");
            hasPhase = true;
            check.phase = 1;
            check.arithSeen = false;
            check.texCount = check.arithCount = 0;
            check.sampledPhase = 0;
            lastArith = false;
            continue;
        }
        const OpEntry* e = FindOp(code);
        const bool v14 = check.v14;
        if (t & kParam)
            return Fail(error, "instruction " + std::to_string(number) + ": a parameter where an instruction belongs");
        if (e == nullptr || (v14 && !e->in14) || (!v14 && (!e->below14 || check.minor < e->minMinor)))
            return Fail(error, "instruction " + std::to_string(number) + ": operation " + std::to_string(code) +
                                   " is not in this version");
        int params = 0;
        switch (e->form) {
        case Form::Arith:
            params = e->op == PsOp::Nop ? 0 : 1 + e->sources;
            break;
        case Form::TexDst:
            params = v14 && e->op != PsOp::TexKill ? 2 : 1;
            break;
        case Form::TexDstSrc:
            params = 2;
            break;
        case Form::Def:
            params = 5;
            break;
        }
        const DWORD length = (t >> 24) & 0xF;
        if ((t & 0x30FF0000u) != 0 || (length != 0 && length != static_cast<DWORD>(params)))
            return Fail(error, "instruction " + std::to_string(number) + ": reserved bits set");
        if (static_cast<std::size_t>(params) > count - i)
            return Fail(error, "instruction " + std::to_string(number) + ": parameters past the end");
        const DWORD* p = tokens + i;
        i += static_cast<std::size_t>(params);
        PsInstr in;
        in.op = e->op;
        in.coissue = (t & kCoissue) != 0;
        if (e->form == Form::Def) {
            if (in.coissue || !ParseDst(p[0], &in.dst) || in.dst.file != PsFile::Const ||
                in.dst.index >= kPixelShaderConstants || in.dst.mask != 0xF || in.dst.saturate || in.dst.shift != 0)
                return Fail(error, "instruction " + std::to_string(number) + ": def names a whole constant c0-c7");
            for (int k = 0; k < 4; ++k) {
                float f;
                std::memcpy(&f, &p[1 + k], 4);
                if (!std::isfinite(f))
                    return Fail(error, "instruction " + std::to_string(number) + ": def of a value not finite");
                program->defs[in.dst.index][k] = f;
            }
            program->defined |= static_cast<std::uint8_t>(1u << in.dst.index);
            continue;
        }
        if (params > 0 && !ParseDst(p[0], &in.dst))
            return Fail(error, "instruction " + std::to_string(number) + ": bad destination");
        in.srcCount = static_cast<std::uint8_t>(params > 0 ? params - 1 : 0);
        for (int k = 0; k < in.srcCount; ++k)
            if (!ParseSrc(p[1 + k], &in.src[k]))
                return Fail(error, "instruction " + std::to_string(number) + ": bad source");
        PsInstr* prev = program->code.empty() ? nullptr : &program->code.back();
        const bool prevCoissued = prev != nullptr && prev->coissue;
        if (!check.Instruction(in, number, lastArith && !prevCoissued, prev))
            return false;
        lastArith = !IsTexOp(in.op) && in.op != PsOp::Nop;
        // The coordinate sets and stages it reads.
        auto useSet = [&](int set) { program->coordSets = std::max(program->coordSets, set + 1); };
        if (IsTexOp(in.op)) {
            if (v14) {
                if (in.op != PsOp::TexKill && in.src[0].file == PsFile::Texture)
                    useSet(in.src[0].index);
                if (in.op == PsOp::TexKill && in.dst.file == PsFile::Texture)
                    useSet(in.dst.index);
                if (in.op == PsOp::Tex)
                    program->stages |= static_cast<std::uint8_t>(1u << in.dst.index);
            } else {
                useSet(in.dst.index);
                if (in.op != PsOp::TexCoord && in.op != PsOp::TexKill && in.op != PsOp::TexM3x2Pad)
                    program->stages |= static_cast<std::uint8_t>(1u << in.dst.index);
            }
        }
        program->code.push_back(in);
    }
    if (check.padPending >= 0)
        return Fail(error, "texm3x2pad without its texm3x2tex");
    if (hasPhase && check.inputBeforePhase)
        return Fail(error, "colour registers are read in the last phase only");
    if (!(check.tempWritten & 1))
        return Fail(error, "r0 is never written");
    return true;
}

// Interpreter ------------------------------------------------------------------------------------------

PixelShaderMachine::PixelShaderMachine(const PixelShaderProgram& program) : program_(program) {
    range_ = (program.version & 0xFF) == 4 ? 8.0f : 1.0f;
    SetConstants(nullptr);
}

void PixelShaderMachine::SetConstants(const float (*constants)[4]) {
    for (int i = 0; i < kPixelShaderConstants; ++i)
        for (int k = 0; k < 4; ++k) {
            const float v = (program_.defined & (1u << i)) ? program_.defs[i][k]
                            : constants != nullptr         ? constants[i][k]
                                                           : 0.0f;
            constants_[i][k] = Clamp(v, 1.0f); // constants hold -1 .. 1
        }
}

void PixelShaderMachine::SetBumpEnvironment(int stage, const float matrix[4], float lScale, float lOffset) {
    if (stage < 0 || stage >= kPixelShaderSets)
        return;
    float* b = bump_[stage];
    for (int k = 0; k < 4; ++k)
        b[k] = std::isfinite(matrix[k]) ? matrix[k] : 0.0f;
    b[4] = std::isfinite(lScale) ? lScale : 0.0f;
    b[5] = std::isfinite(lOffset) ? lOffset : 0.0f;
}

bool PixelShaderMachine::Run(const PixelShaderInputs& in, const PixelShaderTextures& textures, float out[4]) const {
    const bool v14 = range_ > 1;
    float r[kPixelShaderTemps][4] = {};
    float t[kPixelShaderSets][4] = {}; // 1.1-1.3 texture registers
    float pad = 0;
    auto coords = [&](int set, float c[4]) {
        c[0] = in.coords[set][0];
        c[1] = in.coords[set][1];
        c[2] = in.coords[set][2];
        c[3] = 1;
    };
    auto sample = [&](int stage, float u, float v, float q, int set, float c[4]) {
        const float iq = q != 0 ? 1.0f / q : 0.0f;
        textures.Sample(stage, u * iq, v * iq, set, c);
    };
    auto reg = [&](PsFile file, int index) -> const float* {
        switch (file) {
        case PsFile::Temp:
            return r[index];
        case PsFile::Input:
            return index == 0 ? in.diffuse : in.specular;
        case PsFile::Const:
            return constants_[index];
        default:
            return t[index];
        }
    };
    auto read = [&](const PsSrc& s, float v[4]) {
        const float* p = reg(s.file, s.index);
        for (int k = 0; k < 4; ++k) {
            float x = p[s.swizzle[k]];
            switch (s.modifier) {
            case PsMod::Negate:
                x = -x;
                break;
            case PsMod::Bias:
                x -= 0.5f;
                break;
            case PsMod::BiasNegate:
                x = 0.5f - x;
                break;
            case PsMod::Bx2:
                x = 2 * x - 1;
                break;
            case PsMod::Bx2Negate:
                x = 1 - 2 * x;
                break;
            case PsMod::Invert:
                x = 1 - x;
                break;
            case PsMod::X2:
                x = 2 * x;
                break;
            case PsMod::X2Negate:
                x = -2 * x;
                break;
            default:
                break;
            }
            v[k] = x;
        }
    };
    auto write = [&](const PsDst& d, const float v[4], bool modify) {
        float* p = d.file == PsFile::Temp ? r[d.index] : t[d.index];
        const float scale = std::ldexp(1.0f, d.shift);
        for (int k = 0; k < 4; ++k) {
            if (!(d.mask & (1u << k)))
                continue;
            float x = modify ? v[k] * scale : v[k];
            if (d.saturate)
                x = Saturate01(x);
            p[k] = Clamp(x, range_);
        }
    };
    // One arithmetic result.
    auto compute = [&](const PsInstr& ins, float res[4]) {
        float a[4] = {}, b[4] = {}, c[4] = {};
        if (ins.srcCount > 0)
            read(ins.src[0], a);
        if (ins.srcCount > 1)
            read(ins.src[1], b);
        if (ins.srcCount > 2)
            read(ins.src[2], c);
        switch (ins.op) {
        case PsOp::Mov:
            std::copy(a, a + 4, res);
            break;
        case PsOp::Add:
            for (int k = 0; k < 4; ++k)
                res[k] = a[k] + b[k];
            break;
        case PsOp::Sub:
            for (int k = 0; k < 4; ++k)
                res[k] = a[k] - b[k];
            break;
        case PsOp::Mul:
            for (int k = 0; k < 4; ++k)
                res[k] = a[k] * b[k];
            break;
        case PsOp::Mad:
            for (int k = 0; k < 4; ++k)
                res[k] = a[k] * b[k] + c[k];
            break;
        case PsOp::Lrp:
            for (int k = 0; k < 4; ++k)
                res[k] = a[k] * b[k] + (1 - a[k]) * c[k];
            break;
        case PsOp::Dp3:
        case PsOp::Dp4: {
            float dot = a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
            if (ins.op == PsOp::Dp4)
                dot += a[3] * b[3];
            std::fill(res, res + 4, dot);
            break;
        }
        case PsOp::Cnd:
            for (int k = 0; k < 4; ++k)
                res[k] = a[k] > 0.5f ? b[k] : c[k];
            break;
        case PsOp::Cmp:
            for (int k = 0; k < 4; ++k)
                res[k] = a[k] >= 0 ? b[k] : c[k];
            break;
        default:
            std::fill(res, res + 4, 0.0f);
            break;
        }
    };

    const auto& code = program_.code;
    for (std::size_t i = 0; i < code.size(); ++i) {
        const PsInstr& ins = code[i];
        float v[4] = {0, 0, 0, 0};
        switch (ins.op) {
        case PsOp::Nop:
            continue;
        case PsOp::Tex:
            if (v14) {
                // A coordinate set divides by its q; a register by z (_dz) or w (_dw, .xyw) only.
                const PsSrc& s = ins.src[0];
                float c[4];
                float q = 1;
                if (s.file == PsFile::Texture) {
                    coords(s.index, c);
                    q = c[2];
                } else {
                    std::copy(r[s.index], r[s.index] + 4, c);
                    q = s.modifier == PsMod::Dz ? c[2] : s.modifier == PsMod::Dw || s.swizzle[3] == 3 ? c[3] : 1.0f;
                }
                sample(ins.dst.index, c[0], c[1], q, s.file == PsFile::Texture ? s.index : -1, v);
            } else {
                const float* c = in.coords[ins.dst.index];
                sample(ins.dst.index, c[0], c[1], c[2], ins.dst.index, v);
            }
            write(ins.dst, v, false);
            continue;
        case PsOp::TexCoord:
            if (v14) {
                const PsSrc& s = ins.src[0];
                coords(s.index, v);
                if (s.modifier == PsMod::Dz || s.modifier == PsMod::Dw) {
                    const float q = v[2] != 0 ? 1.0f / v[2] : 0.0f;
                    v[0] *= q;
                    v[1] *= q;
                }
                if (s.swizzle[3] != 3)
                    v[3] = 1;
            } else {
                coords(ins.dst.index, v);
                for (float& x : v)
                    x = Saturate01(x);
            }
            write(ins.dst, v, false);
            continue;
        case PsOp::TexKill: {
            float c[4];
            if (ins.dst.file == PsFile::Texture)
                coords(ins.dst.index, c);
            else
                std::copy(r[ins.dst.index], r[ins.dst.index] + 4, c);
            if (c[0] < 0 || c[1] < 0 || c[2] < 0)
                return false;
            continue;
        }
        case PsOp::TexBem:
        case PsOp::TexBemL: {
            const int n = ins.dst.index;
            const float* m = bump_[n];
            const float* d = t[ins.src[0].index];
            const float* c = in.coords[n];
            const float iq = c[2] != 0 ? 1.0f / c[2] : 0.0f;
            const float u = c[0] * iq + m[0] * d[0] + m[2] * d[1];
            const float w = c[1] * iq + m[1] * d[0] + m[3] * d[1];
            sample(n, u, w, 1, n, v);
            if (ins.op == PsOp::TexBemL) {
                const float l = Saturate01(d[2] * m[4] + m[5]);
                v[0] *= l;
                v[1] *= l;
                v[2] *= l;
            }
            write(ins.dst, v, false);
            continue;
        }
        case PsOp::TexReg2Ar:
        case PsOp::TexReg2Gb:
        case PsOp::TexReg2Rgb: {
            const float* d = t[ins.src[0].index];
            const float u = ins.op == PsOp::TexReg2Ar ? d[3] : ins.op == PsOp::TexReg2Gb ? d[1] : d[0];
            const float w = ins.op == PsOp::TexReg2Ar ? d[0] : ins.op == PsOp::TexReg2Gb ? d[2] : d[1];
            sample(ins.dst.index, u, w, 1, -1, v);
            write(ins.dst, v, false);
            continue;
        }
        case PsOp::TexM3x2Pad:
        case PsOp::TexM3x2Tex: {
            const float* c = in.coords[ins.dst.index];
            const float* d = t[ins.src[0].index];
            const float dot = c[0] * d[0] + c[1] * d[1] + c[2] * d[2];
            if (ins.op == PsOp::TexM3x2Pad) {
                pad = dot;
                continue;
            }
            sample(ins.dst.index, pad, dot, 1, -1, v);
            write(ins.dst, v, false);
            continue;
        }
        default:
            break;
        }
        // Arithmetic; a co-issued pair reads its sources before either writes.
        compute(ins, v);
        if (i + 1 < code.size() && code[i + 1].coissue) {
            float w[4];
            compute(code[i + 1], w);
            write(ins.dst, v, true);
            write(code[i + 1].dst, w, true);
            ++i;
            continue;
        }
        write(ins.dst, v, true);
    }
    for (int k = 0; k < 4; ++k)
        out[k] = Saturate01(r[0][k]);
    return true;
}

} // namespace d3d9
