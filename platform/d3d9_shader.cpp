// Vertex shaders of the stand-in: assembler, checks, token codec and interpreter (see
// platform/d3d9_shader.h for the language).

#include "platform/d3d9_shader.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace d3d9 {

namespace {

struct OpInfo {
    const char* name;
    int sources;
    int slots;
};

const OpInfo& Info(ShaderOp op) {
    static const OpInfo kOps[kShaderOpCount + 1] = {
        {"", 0, 0},     {"mov", 1, 1},  {"mova", 1, 1}, {"add", 2, 1},  {"mul", 2, 1}, {"mad", 3, 1},
        {"dp3", 2, 1},  {"dp4", 2, 1},  {"max", 2, 1},  {"slt", 2, 1},  {"rsq", 1, 1}, {"rcp", 1, 1},
        {"expp", 1, 1}, {"m4x4", 2, 4}, {"m4x3", 2, 3}, {"m3x3", 2, 3},
    };
    return kOps[static_cast<int>(op)];
}

bool IsVs1(DWORD version) { return version == D3DVS_VERSION(1, 1); }

bool IsMatrix(ShaderOp op) { return op == ShaderOp::M4x4 || op == ShaderOp::M4x3 || op == ShaderOp::M3x3; }
bool IsScalar(ShaderOp op) { return op == ShaderOp::Rsq || op == ShaderOp::Rcp || op == ShaderOp::Expp; }
int MatrixRows(ShaderOp op) { return op == ShaderOp::M4x4 ? 4 : 3; }

std::string Where(const ShaderInstr& in, std::size_t i) {
    return in.line > 0 ? "line " + std::to_string(in.line) : "instruction " + std::to_string(i + 1);
}

const char kComp[] = "xyzw";

// Text parsing -------------------------------------------------------------------------------------

struct Cursor {
    const char* p;
    const char* end;

    void Skip() {
        while (p < end && (*p == ' ' || *p == '\t'))
            ++p;
    }
    bool Eat(char c) {
        Skip();
        if (p < end && *p == c) {
            ++p;
            return true;
        }
        return false;
    }
    bool AtEnd() {
        Skip();
        return p == end;
    }
    // A decimal number below 100000.
    bool Number(int* out) {
        Skip();
        if (p == end || *p < '0' || *p > '9')
            return false;
        int v = 0;
        int digits = 0;
        while (p < end && *p >= '0' && *p <= '9') {
            v = v * 10 + (*p++ - '0');
            if (++digits > 5)
                return false;
        }
        *out = v;
        return true;
    }
    std::string Word() {
        Skip();
        const char* s = p;
        while (p < end &&
               ((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9') || *p == '_'))
            ++p;
        return std::string(s, p);
    }
};

// "xyzw" letters to component numbers; false for anything else.
bool Letters(const std::string& s, std::vector<int>* out) {
    out->clear();
    for (char c : s) {
        const char* f = std::strchr(kComp, c);
        if (c == 0 || f == nullptr)
            return false;
        out->push_back(static_cast<int>(f - kComp));
    }
    return true;
}

// "name<number>" with the number in [0, limit).
bool Indexed(const std::string& word, const char* name, int limit, int* index) {
    const std::size_t n = std::strlen(name);
    if (word.size() <= n || word.compare(0, n, name) != 0 || word.size() > n + 3)
        return false;
    int v = 0;
    for (std::size_t i = n; i < word.size(); ++i) {
        if (word[i] < '0' || word[i] > '9')
            return false;
        v = v * 10 + (word[i] - '0');
    }
    if (v >= limit)
        return false;
    *index = v;
    return true;
}

bool ParseDst(Cursor& c, ShaderDst* d, std::string* why) {
    const std::string w = c.Word();
    int i = 0;
    if (Indexed(w, "r", kShaderTemps, &i)) {
        *d = {ShaderFile::Temp, static_cast<std::uint8_t>(i), 0xF};
    } else if (w == "oPos") {
        *d = {ShaderFile::Position, 0, 0xF};
    } else if (w == "oFog") {
        *d = {ShaderFile::Fog, 0, 0x1};
    } else if (Indexed(w, "oD", 2, &i)) {
        *d = {ShaderFile::Color, static_cast<std::uint8_t>(i), 0xF};
    } else if (Indexed(w, "oT", kShaderTexCoords, &i)) {
        *d = {ShaderFile::TexCoord, static_cast<std::uint8_t>(i), 0xF};
    } else if (w == "a0") {
        *d = {ShaderFile::Address, 0, 0xF};
    } else {
        *why = "bad destination '" + w + "'";
        return false;
    }
    if (c.Eat('.')) {
        const std::string m = c.Word();
        std::vector<int> comps;
        if (m.empty() || m.size() > 4 || !Letters(m, &comps)) {
            *why = "bad write mask '" + m + "'";
            return false;
        }
        std::uint8_t mask = 0;
        int last = -1;
        for (int k : comps) {
            if (k <= last) {
                *why = "write mask '" + m + "' out of order";
                return false;
            }
            last = k;
            mask |= static_cast<std::uint8_t>(1 << k);
        }
        d->mask = mask;
    }
    return true;
}

// The inside of "c[...]": integer terms joined by '+', at most one of them "a0.<comp>".
bool ParseConstIndex(Cursor& c, ShaderSrc* s, std::string* why) {
    long sum = 0;
    bool first = true;
    while (true) {
        if (!first && !c.Eat('+'))
            break;
        first = false;
        c.Skip();
        int v = 0;
        if (c.Number(&v)) {
            sum += v;
        } else {
            const std::string w = c.Word();
            if (w != "a0" || s->relative || !c.Eat('.')) {
                *why = "bad constant index";
                return false;
            }
            const std::string comp = c.Word();
            std::vector<int> k;
            if (comp.size() != 1 || !Letters(comp, &k)) {
                *why = "bad address component '" + comp + "'";
                return false;
            }
            s->relative = true;
            s->relComponent = static_cast<std::uint8_t>(k[0]);
        }
        if (sum >= kShaderConstants) {
            *why = "constant index " + std::to_string(sum) + " past c255";
            return false;
        }
    }
    if (!c.Eat(']')) {
        *why = "missing ']'";
        return false;
    }
    s->index = static_cast<std::uint8_t>(sum);
    return true;
}

bool ParseSrc(Cursor& c, ShaderSrc* s, std::string* why) {
    *s = ShaderSrc{};
    s->negate = c.Eat('-');
    c.Skip();
    if (c.p < c.end && *c.p == 'c') {
        ++c.p;
        if (!c.Eat('[')) {
            *why = "constant without '['";
            return false;
        }
        s->file = ShaderFile::Const;
        if (!ParseConstIndex(c, s, why))
            return false;
    } else {
        const std::string w = c.Word();
        int i = 0;
        if (Indexed(w, "r", kShaderTemps, &i)) {
            s->file = ShaderFile::Temp;
        } else if (Indexed(w, "v", kShaderInputs, &i)) {
            s->file = ShaderFile::Input;
        } else {
            *why = "bad source '" + w + "'";
            return false;
        }
        s->index = static_cast<std::uint8_t>(i);
    }
    if (c.Eat('.')) {
        const std::string m = c.Word();
        std::vector<int> comps;
        if (m.empty() || m.size() > 4 || !Letters(m, &comps)) {
            *why = "bad swizzle '" + m + "'";
            return false;
        }
        for (int k = 0; k < 4; ++k)
            s->swizzle[k] = static_cast<std::uint8_t>(comps[std::min<std::size_t>(k, comps.size() - 1)]);
    }
    return true;
}

bool ParseDecl(const std::string& word, Cursor& c, ShaderDecl* d, std::string* why) {
    static const struct {
        const char* name;
        BYTE usage;
    } kUsages[] = {{"position", D3DDECLUSAGE_POSITION},
                   {"blendweight", D3DDECLUSAGE_BLENDWEIGHT},
                   {"blendindices", D3DDECLUSAGE_BLENDINDICES},
                   {"normal", D3DDECLUSAGE_NORMAL},
                   {"texcoord", D3DDECLUSAGE_TEXCOORD},
                   {"tangent", D3DDECLUSAGE_TANGENT},
                   {"color", D3DDECLUSAGE_COLOR}};
    const std::string rest = word.substr(4);
    for (const auto& u : kUsages) {
        const std::size_t n = std::strlen(u.name);
        if (rest.compare(0, n, u.name) != 0)
            continue;
        int index = 0;
        if (rest.size() > n && !Indexed(rest, u.name, 16, &index))
            continue;
        const std::string reg = c.Word();
        int r = 0;
        if (!Indexed(reg, "v", kShaderInputs, &r)) {
            *why = "bad input register '" + reg + "'";
            return false;
        }
        *d = {u.usage, static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(r), 0};
        return true;
    }
    *why = "unknown declaration '" + word + "'";
    return false;
}

} // namespace

int ShaderSlotLimit(DWORD version) { return IsVs1(version) ? 128 : 256; }

bool ShaderAssemble(const char* text, std::size_t length, ShaderProgram* program, std::string* error) {
    *program = ShaderProgram{};
    const char* p = text;
    const char* end = text + length;
    int line = 0;
    bool versioned = false;
    auto fail = [&](const std::string& why) {
        *error = "line " + std::to_string(line) + ": " + why;
        return false;
    };
    while (p < end) {
        const char* eol = p;
        while (eol < end && *eol != '\n')
            ++eol;
        ++line;
        const char* lineEnd = eol;
        if (lineEnd > p && lineEnd[-1] == '\r')
            --lineEnd;
        Cursor c{p, lineEnd};
        p = eol < end ? eol + 1 : end;
        if (c.AtEnd())
            continue;
        const std::string word = c.Word();
        if (word.empty())
            return fail("unexpected '" + std::string(1, *c.p) + "'");
        if (!versioned) {
            if (word == "vs_1_1")
                program->version = D3DVS_VERSION(1, 1);
            else if (word == "vs_2_0")
                program->version = D3DVS_VERSION(2, 0);
            else if (word == "vs_2_x")
                program->version = D3DVS_VERSION(2, 1);
            else
                return fail("expected a version line (vs_1_1, vs_2_0 or vs_2_x), got '" + word + "'");
            versioned = true;
        } else if (word.compare(0, 4, "dcl_") == 0) {
            if (!program->code.empty())
                return fail("declaration after the first instruction");
            ShaderDecl d;
            std::string why;
            if (!ParseDecl(word, c, &d, &why))
                return fail(why);
            d.line = line;
            program->decls.push_back(d);
        } else {
            ShaderInstr in;
            in.line = line;
            int op = 1;
            while (op <= kShaderOpCount && word != Info(static_cast<ShaderOp>(op)).name)
                ++op;
            if (op > kShaderOpCount)
                return fail("unknown instruction '" + word + "'");
            in.op = static_cast<ShaderOp>(op);
            std::string why;
            if (!ParseDst(c, &in.dst, &why))
                return fail(why);
            in.srcCount = static_cast<std::uint8_t>(Info(in.op).sources);
            for (int i = 0; i < in.srcCount; ++i) {
                if (!c.Eat(','))
                    return fail(std::string(Info(in.op).name) + " takes " + std::to_string(in.srcCount) + " sources");
                if (!ParseSrc(c, &in.src[i], &why))
                    return fail(why);
            }
            program->code.push_back(in);
        }
        if (!c.AtEnd())
            return fail("unexpected text '" + std::string(c.p, c.end) + "'");
    }
    if (!versioned) {
        *error = "line " + std::to_string(line) + ": no version line";
        return false;
    }
    return ShaderValidate(*program, error);
}

bool ShaderValidate(const ShaderProgram& program, std::string* error) {
    const DWORD v = program.version;
    if (v != D3DVS_VERSION(1, 1) && v != D3DVS_VERSION(2, 0) && v != D3DVS_VERSION(2, 1)) {
        *error = "line 1: unknown version";
        return false;
    }
    const bool vs1 = IsVs1(v);
    std::uint32_t declared = 0;
    for (std::size_t i = 0; i < program.decls.size(); ++i) {
        const ShaderDecl& d = program.decls[i];
        const bool usageOk = d.usage <= D3DDECLUSAGE_NORMAL || d.usage == D3DDECLUSAGE_TEXCOORD ||
                             d.usage == D3DDECLUSAGE_TANGENT || d.usage == D3DDECLUSAGE_COLOR;
        const std::string where =
            d.line > 0 ? "line " + std::to_string(d.line) : "declaration " + std::to_string(i + 1);
        if (!usageOk || d.usageIndex >= 16 || d.reg >= kShaderInputs) {
            *error = where + ": bad usage or register";
            return false;
        }
        if (declared & (1u << d.reg)) {
            *error = where + ": v" + std::to_string(d.reg) + " declared twice";
            return false;
        }
        for (std::size_t j = 0; j < i; ++j)
            if (program.decls[j].usage == d.usage && program.decls[j].usageIndex == d.usageIndex) {
                *error = where + ": usage declared twice";
                return false;
            }
        declared |= 1u << d.reg;
    }
    std::uint8_t temps[kShaderTemps] = {}; // components written
    std::uint8_t address = 0;
    std::uint8_t position = 0;
    int slots = 0;
    for (std::size_t i = 0; i < program.code.size(); ++i) {
        const ShaderInstr& in = program.code[i];
        auto fail = [&](const std::string& why) {
            *error = Where(in, i) + ": " + why;
            return false;
        };
        if (static_cast<int>(in.op) < 1 || static_cast<int>(in.op) > kShaderOpCount)
            return fail("unknown instruction");
        const OpInfo& info = Info(in.op);
        if (in.srcCount != info.sources)
            return fail("wrong number of sources");
        slots += info.slots;
        if (slots > ShaderSlotLimit(v))
            return fail("more than " + std::to_string(ShaderSlotLimit(v)) + " instruction slots");
        const ShaderDst& d = in.dst;
        if (d.mask == 0 || d.mask > 0xF)
            return fail("bad write mask");
        switch (d.file) {
        case ShaderFile::Temp:
            if (d.index >= kShaderTemps)
                return fail("no such temporary");
            break;
        case ShaderFile::Position:
        case ShaderFile::Fog:
            if (d.index != 0)
                return fail("bad output register");
            break;
        case ShaderFile::Color:
            if (d.index >= 2)
                return fail("bad colour output");
            break;
        case ShaderFile::TexCoord:
            if (d.index >= kShaderTexCoords)
                return fail("bad texture output");
            break;
        case ShaderFile::Address:
            if (d.index != 0)
                return fail("bad address register");
            break;
        default:
            return fail("register cannot be written");
        }
        if (in.op == ShaderOp::Mova && vs1)
            return fail("mova needs vs_2_0 or later");
        if (in.op == ShaderOp::Mova && d.file != ShaderFile::Address)
            return fail("mova writes a0 only");
        if (d.file == ShaderFile::Address && in.op != (vs1 ? ShaderOp::Mov : ShaderOp::Mova))
            return fail(vs1 ? "a0 is loaded by mov alone" : "a0 is loaded by mova alone");
        if (d.file == ShaderFile::Address && vs1 && d.mask != 0x1)
            return fail("vs_1_1 has a0.x only");
        if (IsMatrix(in.op) && d.mask != (in.op == ShaderOp::M4x4 ? 0xF : 0x7))
            return fail(std::string(info.name) + " writes " + (in.op == ShaderOp::M4x4 ? "xyzw" : "xyz"));
        // What each source reads: the components the destination takes, or the dot's width.
        for (int s = 0; s < in.srcCount; ++s) {
            const ShaderSrc& src = in.src[s];
            const bool matrix = IsMatrix(in.op) && s == 1;
            std::uint8_t reads = 0; // components of the register, after the swizzle
            if (matrix) {
                reads = in.op == ShaderOp::M3x3 ? 0x7 : 0xF;
                if (src.negate || src.swizzle != std::array<std::uint8_t, 4>{0, 1, 2, 3})
                    return fail("a matrix takes no swizzle or negation");
            } else if (IsScalar(in.op)) {
                if (src.swizzle[0] != src.swizzle[1] || src.swizzle[0] != src.swizzle[2] ||
                    src.swizzle[0] != src.swizzle[3])
                    return fail(std::string(info.name) + " needs one replicated component");
                reads = static_cast<std::uint8_t>(1 << src.swizzle[0]);
            } else {
                int width = 0;
                if (in.op == ShaderOp::Dp3 || (IsMatrix(in.op) && in.op == ShaderOp::M3x3))
                    width = 3;
                else if (in.op == ShaderOp::Dp4 || IsMatrix(in.op))
                    width = 4;
                for (int k = 0; k < 4; ++k)
                    if (width > 0 ? k < width : (d.mask >> k) & 1)
                        reads |= static_cast<std::uint8_t>(1 << (src.swizzle[k] & 3));
            }
            for (int k = 0; k < 4; ++k)
                if (src.swizzle[k] > 3)
                    return fail("bad swizzle");
            const int rows = matrix ? MatrixRows(in.op) : 1;
            switch (src.file) {
            case ShaderFile::Temp:
                if (src.relative || src.index + rows > kShaderTemps)
                    return fail("no such temporary");
                for (int r = 0; r < rows; ++r)
                    for (int k = 0; k < 4; ++k)
                        if (((reads >> k) & 1) && !((temps[src.index + r] >> k) & 1))
                            return fail("r" + std::to_string(src.index + r) + "." + kComp[k] + " read before written");
                if (d.file == ShaderFile::Temp && IsMatrix(in.op) && d.index >= src.index && d.index < src.index + rows)
                    return fail("a matrix macro cannot write its own source");
                break;
            case ShaderFile::Input:
                if (src.relative || src.index >= kShaderInputs || !(declared & (1u << src.index)))
                    return fail("v" + std::to_string(src.index) + " is not declared");
                break;
            case ShaderFile::Const:
                if (src.relative) {
                    if (src.relComponent > 3 || (vs1 && src.relComponent != 0))
                        return fail("bad address component");
                    if (!((address >> src.relComponent) & 1))
                        return fail(std::string("a0.") + kComp[src.relComponent] + " read before written");
                } else if (src.index + rows > kShaderConstants) {
                    return fail("constant past c255");
                }
                break;
            default:
                return fail("register cannot be read");
            }
        }
        if (d.file == ShaderFile::Temp)
            temps[d.index] |= d.mask;
        else if (d.file == ShaderFile::Address)
            address |= d.mask;
        else if (d.file == ShaderFile::Position)
            position |= d.mask;
    }
    if (position != 0xF) {
        *error = (program.code.empty() ? std::string("line 1") : Where(program.code.back(), program.code.size() - 1)) +
                 ": oPos is not written whole";
        return false;
    }
    return true;
}

// Tokens ---------------------------------------------------------------------------------------------
//
// Every token after the version keeps bit 15 clear, so none reads as the end token or a comment.
//   instruction: op (bits 0-7, 0x1F for a declaration), source count (bits 8-9)
//   declaration: usage (0-7), usage index (16-23), register (24-31)
//   destination: file (0-3), mask (4-7), register (16-23)
//   source:      file (0-3), relative (4), address component (5-6), negate (7), swizzle (16-23),
//                register (24-31)

namespace {
constexpr DWORD kDeclOp = 0x1F;
constexpr DWORD kEnd = 0x0000FFFFu;
} // namespace

std::vector<DWORD> ShaderEncode(const ShaderProgram& program) {
    std::vector<DWORD> t;
    t.push_back(program.version);
    for (const ShaderDecl& d : program.decls) {
        t.push_back(kDeclOp);
        t.push_back(DWORD{d.usage} | DWORD{d.usageIndex} << 16 | DWORD{d.reg} << 24);
    }
    for (const ShaderInstr& in : program.code) {
        t.push_back(static_cast<DWORD>(in.op) | DWORD{in.srcCount} << 8);
        t.push_back(static_cast<DWORD>(in.dst.file) | DWORD{in.dst.mask} << 4 | DWORD{in.dst.index} << 16);
        for (int s = 0; s < in.srcCount; ++s) {
            const ShaderSrc& src = in.src[s];
            DWORD swz = 0;
            for (int k = 0; k < 4; ++k)
                swz |= DWORD{src.swizzle[k]} << (2 * k);
            t.push_back(static_cast<DWORD>(src.file) | DWORD{src.relative} << 4 | DWORD{src.relComponent} << 5 |
                        DWORD{src.negate} << 7 | swz << 16 | DWORD{src.index} << 24);
        }
    }
    t.push_back(kEnd);
    return t;
}

bool ShaderDecode(const DWORD* tokens, std::size_t count, ShaderProgram* program) {
    *program = ShaderProgram{};
    if (count == 0)
        return false;
    program->version = tokens[0];
    std::size_t i = 1;
    auto next = [&](DWORD* t) {
        if (i >= count)
            return false;
        *t = tokens[i++];
        return true;
    };
    while (true) {
        DWORD t;
        if (!next(&t))
            return false;
        if (t == kEnd)
            break;
        if (t == kDeclOp) {
            DWORD d;
            if (!next(&d) || (d & 0x0000FF00u) != 0 || !program->code.empty())
                return false;
            program->decls.push_back(ShaderDecl{static_cast<std::uint8_t>(d & 0xFF),
                                                static_cast<std::uint8_t>((d >> 16) & 0xFF),
                                                static_cast<std::uint8_t>(d >> 24), 0});
            continue;
        }
        ShaderInstr in;
        const DWORD op = t & 0xFF;
        if (op < 1 || op > kShaderOpCount || (t & ~0x3FFu) != 0)
            return false;
        in.op = static_cast<ShaderOp>(op);
        in.srcCount = static_cast<std::uint8_t>((t >> 8) & 3);
        DWORD d;
        if (!next(&d) || (d & 0xFF00FF00u) != 0)
            return false;
        in.dst.file = static_cast<ShaderFile>(d & 0xF);
        in.dst.mask = static_cast<std::uint8_t>((d >> 4) & 0xF);
        in.dst.index = static_cast<std::uint8_t>((d >> 16) & 0xFF);
        for (int s = 0; s < in.srcCount; ++s) {
            DWORD x;
            if (!next(&x) || (x & 0x0000FF00u) != 0)
                return false;
            ShaderSrc& src = in.src[s];
            src.file = static_cast<ShaderFile>(x & 0xF);
            src.relative = (x >> 4) & 1;
            src.relComponent = static_cast<std::uint8_t>((x >> 5) & 3);
            src.negate = (x >> 7) & 1;
            for (int k = 0; k < 4; ++k)
                src.swizzle[k] = static_cast<std::uint8_t>((x >> (16 + 2 * k)) & 3);
            src.index = static_cast<std::uint8_t>(x >> 24);
        }
        program->code.push_back(in);
    }
    std::string error;
    return ShaderValidate(*program, &error);
}

// Interpreter ------------------------------------------------------------------------------------------

ShaderMachine::ShaderMachine(const ShaderProgram& program) : program_(program) {
    scalarExpp_ = !IsVs1(program.version);
    std::memset(regs_, 0, sizeof regs_);
    auto reg = [](ShaderFile file, int index) -> std::uint16_t {
        switch (file) {
        case ShaderFile::Temp:
            return static_cast<std::uint16_t>(kTempBase + index);
        case ShaderFile::Input:
            return static_cast<std::uint16_t>(kInputBase + index);
        case ShaderFile::Const:
            return static_cast<std::uint16_t>(kConstBase + index);
        case ShaderFile::Position:
            return kOutBase;
        case ShaderFile::Fog:
            return kOutBase + 1;
        case ShaderFile::Color:
            return static_cast<std::uint16_t>(kOutBase + 2 + index);
        case ShaderFile::TexCoord:
            return static_cast<std::uint16_t>(kOutBase + 4 + index);
        default:
            return 0xFFFF;
        }
    };
    for (const ShaderInstr& in : program.code) {
        Step s{};
        s.op = in.op;
        s.dst = reg(in.dst.file, in.dst.index);
        s.mask = in.dst.mask;
        s.rowsInTemps = IsMatrix(in.op) && in.src[1].file == ShaderFile::Temp;
        for (int k = 0; k < in.srcCount; ++k) {
            const ShaderSrc& src = in.src[k];
            Operand& o = s.src[k];
            o.reg = src.relative ? src.index : reg(src.file, src.index);
            o.relative = src.relative ? static_cast<std::int8_t>(src.relComponent) : -1;
            for (int c = 0; c < 4; ++c)
                o.swizzle[c] = src.swizzle[c];
            o.sign = src.negate ? -1.0f : 1.0f;
            o.plain = !src.relative && !src.negate && src.swizzle == std::array<std::uint8_t, 4>{0, 1, 2, 3};
        }
        steps_.push_back(s);
    }
}

void ShaderMachine::SetConstants(const float (*constants)[4]) {
    std::memcpy(regs_[kConstBase], constants, sizeof(float) * 4 * kShaderConstants);
}

void ShaderMachine::SetConstants(const std::array<std::array<float, 4>, kShaderConstants>& constants) {
    for (int i = 0; i < kShaderConstants; ++i)
        std::memcpy(regs_[kConstBase + i], constants[i].data(), sizeof(float) * 4);
}

inline void ShaderMachine::Read(const Operand& o, float out[4]) const {
    if (o.plain) {
        std::memcpy(out, regs_[o.reg], sizeof(float) * 4);
        return;
    }
    int r = o.reg;
    if (o.relative >= 0) {
        const int c = o.reg + a0_[o.relative];
        r = c >= 0 && c < kShaderConstants ? kConstBase + c : kZero;
    }
    const float* p = regs_[r];
    out[0] = o.sign * p[o.swizzle[0]];
    out[1] = o.sign * p[o.swizzle[1]];
    out[2] = o.sign * p[o.swizzle[2]];
    out[3] = o.sign * p[o.swizzle[3]];
}

inline void ShaderMachine::Row(const Operand& m, int row, float out[4]) const {
    int r = m.reg + row;
    if (m.relative >= 0) {
        const int c = m.reg + row + a0_[m.relative];
        r = c >= 0 && c < kShaderConstants ? kConstBase + c : kZero;
    } else if (!(r < kZero)) {
        r = kZero;
    }
    std::memcpy(out, regs_[r], sizeof(float) * 4);
}

namespace {
inline float Dot3(const float* a, const float* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline float Dot4(const float* a, const float* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3]; }
inline int RoundAddress(float v) {
    if (!(v > -1e6f && v < 1e6f))
        return 0; // NaN or far outside any register file: reads land on the zero register
    return static_cast<int>(std::floor(v + 0.5f));
}
} // namespace

void ShaderMachine::Run(const std::array<std::array<float, 4>, kShaderInputs>& inputs, ShaderOutput* out) {
    // Temporaries need no clearing: the checks let no component be read before it is written.
    std::memcpy(regs_[kInputBase], inputs.data(), sizeof(float) * 4 * kShaderInputs);
    std::memset(regs_[kOutBase], 0, sizeof(float) * 4 * (4 + kShaderTexCoords));
    a0_[0] = a0_[1] = a0_[2] = a0_[3] = 0;
    for (const Step& s : steps_) {
        float a[4], b[4], c[4], r[4];
        switch (s.op) {
        case ShaderOp::Mov:
        case ShaderOp::Mova:
            Read(s.src[0], r);
            if (s.dst == 0xFFFF) {
                for (int k = 0; k < 4; ++k)
                    if ((s.mask >> k) & 1)
                        a0_[k] = RoundAddress(r[k]);
                continue;
            }
            break;
        case ShaderOp::Add:
            Read(s.src[0], a);
            Read(s.src[1], b);
            for (int k = 0; k < 4; ++k)
                r[k] = a[k] + b[k];
            break;
        case ShaderOp::Mul:
            Read(s.src[0], a);
            Read(s.src[1], b);
            for (int k = 0; k < 4; ++k)
                r[k] = a[k] * b[k];
            break;
        case ShaderOp::Mad:
            Read(s.src[0], a);
            Read(s.src[1], b);
            Read(s.src[2], c);
            for (int k = 0; k < 4; ++k)
                r[k] = a[k] * b[k] + c[k];
            break;
        case ShaderOp::Dp3:
            Read(s.src[0], a);
            Read(s.src[1], b);
            r[0] = r[1] = r[2] = r[3] = Dot3(a, b);
            break;
        case ShaderOp::Dp4:
            Read(s.src[0], a);
            Read(s.src[1], b);
            r[0] = r[1] = r[2] = r[3] = Dot4(a, b);
            break;
        case ShaderOp::Max:
            Read(s.src[0], a);
            Read(s.src[1], b);
            for (int k = 0; k < 4; ++k)
                r[k] = a[k] >= b[k] ? a[k] : b[k];
            break;
        case ShaderOp::Slt:
            Read(s.src[0], a);
            Read(s.src[1], b);
            for (int k = 0; k < 4; ++k)
                r[k] = a[k] < b[k] ? 1.0f : 0.0f;
            break;
        case ShaderOp::Rsq: {
            Read(s.src[0], a);
            const float x = std::fabs(a[0]);
            r[0] = r[1] = r[2] = r[3] = x == 0 ? std::numeric_limits<float>::infinity() : 1.0f / std::sqrt(x);
            break;
        }
        case ShaderOp::Rcp:
            Read(s.src[0], a);
            r[0] = r[1] = r[2] = r[3] = a[0] == 0 ? std::numeric_limits<float>::infinity() : 1.0f / a[0];
            break;
        case ShaderOp::Expp:
            Read(s.src[0], a);
            if (scalarExpp_) {
                r[0] = r[1] = r[2] = r[3] = std::exp2(a[0]);
            } else {
                const float f = std::floor(a[0]);
                r[0] = std::exp2(f);
                r[1] = a[0] - f;
                r[2] = std::exp2(a[0]);
                r[3] = 1.0f;
            }
            break;
        case ShaderOp::M4x4:
        case ShaderOp::M4x3:
        case ShaderOp::M3x3: {
            Read(s.src[0], a);
            const int rows = s.op == ShaderOp::M4x4 ? 4 : 3;
            r[3] = 0;
            for (int k = 0; k < rows; ++k) {
                if (s.rowsInTemps)
                    std::memcpy(b, regs_[s.src[1].reg + k], sizeof b);
                else
                    Row(s.src[1], k, b);
                r[k] = s.op == ShaderOp::M3x3 ? Dot3(a, b) : Dot4(a, b);
            }
            break;
        }
        }
        float* d = regs_[s.dst];
        if (s.mask == 0xF) {
            std::memcpy(d, r, sizeof r);
        } else {
            for (int k = 0; k < 4; ++k)
                if ((s.mask >> k) & 1)
                    d[k] = r[k];
        }
    }
    std::memcpy(out->position.data(), regs_[kOutBase], sizeof(float) * 4);
    out->fog = regs_[kOutBase + 1][0];
    for (int i = 0; i < 2; ++i)
        for (int k = 0; k < 4; ++k) {
            const float v = regs_[kOutBase + 2 + i][k];
            out->color[i][k] = v > 0 ? (v < 1 ? v : 1) : 0; // NaN gives 0
        }
    for (int i = 0; i < kShaderTexCoords; ++i)
        std::memcpy(out->tex[i].data(), regs_[kOutBase + 4 + i], sizeof(float) * 4);
}

} // namespace d3d9
