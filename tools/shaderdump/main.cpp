// shaderdump: the vertex shader the world's Direct3D 9 pipelines generate for a descriptor, and the
// constant registers it reads.
//   shaderdump [DESCRIPTOR] [--lights dir=N,point=N,spot=N] [--bones N] [--texsets N] [--morph]
//              [--fog none|linear|exp|exp2|0-3] [--color] [--material] [--no-normals] [--normalize]
//              [--effect K] [--profile vs_1_1|vs_2_0|vs_2_x] [--limit N] [--wfog]

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "graphics/world/d3d9_vertex_shader.h"
#include "platform/d3dx9.h"

namespace {

void Usage(std::FILE* out) {
    std::fprintf(out, "usage: shaderdump [DESCRIPTOR] [options]\n"
                      "  Prints the vertex-shader text generated for a descriptor, its constant-register layout\n"
                      "  and whether the text assembles. DESCRIPTOR is the 32-bit key in hexadecimal (0x...);\n"
                      "  the options set (or override) its fields:\n"
                      "    --lights dir=N,point=N,spot=N   lights of each kind, 0-15 (kinds left out: 0)\n"
                      "    --bones N                       bones a vertex, 0-7 (0: not skinned)\n"
                      "    --texsets N                     texture-coordinate sets, 0-15\n"
                      "    --morph                         two positions (and normals) blended\n"
                      "    --fog none|linear|exp|exp2      or 0-3\n"
                      "    --color                         a prelit vertex colour\n"
                      "    --material                      multiply by the material-colour constant\n"
                      "    --no-normals                    the vertex has no normals (default: it has)\n"
                      "    --normalize                     renormalise transformed normals\n"
                      "    --effect K                      effect kind, 0-11\n"
                      "    --profile vs_1_1|vs_2_0|vs_2_x  (default vs_2_0)\n"
                      "    --limit N                       constant registers of the device, 1-256 (default 256)\n"
                      "    --wfog                          the device has W-fog (no fog register)\n"
                      "  Exit status 0 when the text assembles, 1 when no shader comes of the descriptor,\n"
                      "  2 on bad usage.\n");
}

int Bad(const std::string& what) {
    std::fprintf(stderr, "shaderdump: %s\n", what.c_str());
    Usage(stderr);
    return 2;
}

// A decimal number in [0, max].
bool Number(const char* text, unsigned max, unsigned* out) {
    if (text == nullptr || *text == 0)
        return false;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (*end != 0 || v > max || text[0] == '-')
        return false;
    *out = static_cast<unsigned>(v);
    return true;
}

void Field(OvUInt8* byte, unsigned shift, unsigned bits, unsigned value) {
    const unsigned mask = ((1u << bits) - 1) << shift;
    *byte = static_cast<OvUInt8>((*byte & ~mask) | ((value << shift) & mask));
}

void Range(int first, int count, const char* what) {
    if (count <= 0)
        return;
    char label[32];
    if (count == 1)
        std::snprintf(label, sizeof label, "c%d", first);
    else
        std::snprintf(label, sizeof label, "c%d-c%d", first, first + count - 1);
    std::printf("; %-10s%s\n", label, what);
}

void PrintLayout(const OvD3D9VertexShaderDesc& d, const OvD3D9VertexShaderLayout& l, const char* profile) {
    std::printf("; descriptor 0x%08X  profile %s  constant limit %u  constants %u\n",
                static_cast<unsigned>(OvD3D9VertexShaderDescKey(&d)), profile,
                static_cast<unsigned>(OvD3D9VertexShaderGetConstantLimit()),
                static_cast<unsigned>(OvD3D9VertexShaderDescGetNumConstants(&d)));
    Range(0, 4, "world x view x projection, transposed");
    Range(4, 1, "ambient colour");
    int r = 5;
    char what[96];
    for (unsigned i = 0; i < OvD3D9VertexShaderDescDirectional(&d); ++i, r += 2) {
        std::snprintf(what, sizeof what, "directional light %u: direction, colour", i);
        Range(r, 2, what);
    }
    const unsigned kinds[2] = {OvD3D9VertexShaderDescPoint(&d), OvD3D9VertexShaderDescSpot(&d)};
    for (int kind = 0; kind < 2; ++kind) {
        const int per = kind == 0 ? 2 : 4;
        for (unsigned g = 0; g < kinds[kind]; g += 4) {
            std::snprintf(what, sizeof what, "%s group %u: 1/radius of each light", kind == 0 ? "point" : "spot",
                          g / 4);
            Range(r++, 1, what);
            for (unsigned i = g; i < kinds[kind] && i < g + 4; ++i, r += per) {
                std::snprintf(what, sizeof what, "%s light %u: %s", kind == 0 ? "point" : "spot", i,
                              kind == 0 ? "position, colour" : "position, direction, cone, colour");
                Range(r, per, what);
            }
        }
    }
    if (l.materialColor != 0xFF)
        Range(l.materialColor, 1, "material colour");
    if (l.fog != 0xFF)
        Range(l.fog, 1, "fog (x scale, y offset)");
    if (l.morph != 0xFF)
        Range(l.morph, 1, "morph weights (x first, y second)");
    if (l.bones != 0xFF)
        std::printf("; c%-8d bones from here, three rows a bone\n", l.bones);
    if (l.effect != 0xFF)
        Range(l.effect, static_cast<int>(OvD3D9VertexShaderEffectConstants(OvD3D9VertexShaderDescEffect(&d))),
              "effect constants");
}

} // namespace

int main(int argc, char** argv) {
    OvD3D9VertexShaderDesc d{};
    d.flags = ovVSNORMALS;
    const char* profileName = "vs_2_0";
    OvInt32 profile = ovVSPROFILE20;
    unsigned limit = 256;
    bool wFog = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned v = 0;
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            return 0;
        } else if (a.rfind("0x", 0) == 0 || a.rfind("0X", 0) == 0) {
            char* end = nullptr;
            const unsigned long key = std::strtoul(a.c_str() + 2, &end, 16);
            if (a.size() < 3 || a.size() > 10 || *end != 0)
                return Bad("bad descriptor '" + a + "'");
            d = OvD3D9VertexShaderDescFromKey(static_cast<OvUInt32>(key));
        } else if (a == "--lights") {
            if (next == nullptr)
                return Bad("--lights needs dir=N,point=N,spot=N");
            d.lights = 0;
            Field(&d.spotsSets, 0, 4, 0);
            std::string list = next;
            ++i;
            std::size_t at = 0;
            while (at <= list.size()) {
                const std::size_t comma = std::min(list.find(',', at), list.size());
                const std::string item = list.substr(at, comma - at);
                const std::size_t eq = item.find('=');
                const std::string kind = item.substr(0, eq);
                if (eq == std::string::npos || !Number(item.c_str() + eq + 1, 15, &v))
                    return Bad("bad light count '" + item + "' in --lights (kind=N, N 0-15)");
                if (kind == "dir")
                    Field(&d.lights, 0, 4, v);
                else if (kind == "point")
                    Field(&d.lights, 4, 4, v);
                else if (kind == "spot")
                    Field(&d.spotsSets, 0, 4, v);
                else
                    return Bad("unknown light kind '" + kind + "' in --lights (dir, point, spot)");
                at = comma + 1;
            }
        } else if (a == "--bones" || a == "--texsets" || a == "--effect" || a == "--limit") {
            const unsigned max = a == "--bones" ? 7 : (a == "--texsets" ? 15 : (a == "--effect" ? 11 : 256));
            if (!Number(next, max, &v) || (a == "--limit" && v == 0))
                return Bad("bad value '" + std::string(next != nullptr ? next : "") + "' for " + a);
            ++i;
            if (a == "--bones")
                Field(&d.flags, 1, 3, v);
            else if (a == "--texsets")
                Field(&d.spotsSets, 4, 4, v);
            else if (a == "--effect")
                Field(&d.fogEffect, 2, 6, v);
            else
                limit = v;
        } else if (a == "--fog") {
            static const char* const modes[] = {"none", "linear", "exp", "exp2"};
            int mode = -1;
            for (int m = 0; m < 4 && next != nullptr; ++m)
                if (std::strcmp(next, modes[m]) == 0)
                    mode = m;
            if (mode < 0 && Number(next, 3, &v))
                mode = static_cast<int>(v);
            if (mode < 0)
                return Bad("bad fog mode '" + std::string(next != nullptr ? next : "") + "'");
            ++i;
            Field(&d.fogEffect, 0, 2, static_cast<unsigned>(mode));
        } else if (a == "--profile") {
            if (next != nullptr && std::strcmp(next, "vs_1_1") == 0)
                profile = ovVSPROFILE11;
            else if (next != nullptr && std::strcmp(next, "vs_2_0") == 0)
                profile = ovVSPROFILE20;
            else if (next != nullptr && std::strcmp(next, "vs_2_x") == 0)
                profile = ovVSPROFILE2X;
            else
                return Bad("bad profile '" + std::string(next != nullptr ? next : "") + "'");
            profileName = next;
            ++i;
        } else if (a == "--morph") {
            d.flags |= ovVSMORPH;
        } else if (a == "--color") {
            d.flags |= ovVSVERTEXCOLOR;
        } else if (a == "--material") {
            d.flags |= ovVSMATERIALCOLOR;
        } else if (a == "--no-normals") {
            d.flags &= static_cast<OvUInt8>(~ovVSNORMALS);
        } else if (a == "--normalize") {
            d.flags |= ovVSNORMALIZE;
        } else if (a == "--wfog") {
            wFog = true;
        } else {
            return Bad("unknown argument '" + a + "'");
        }
    }
    OvD3D9VertexShaderSetProfile(profile, limit, wFog ? TRUE : FALSE);
    OvD3D9VertexShaderLayout layout;
    OvD3D9VertexShaderMakeLayout(&d, &layout);
    PrintLayout(d, layout, profileName);
    const char* text = OvD3D9VertexShaderWriteText(&d, &layout);
    if (text == nullptr) {
        std::printf("; no text: the counts do not fit the profile's registers\n");
        return 1;
    }
    std::fputs(text, stdout);
    ID3DXBuffer* tokens = nullptr;
    ID3DXBuffer* errors = nullptr;
    const HRESULT hr = D3DXAssembleShader(text, static_cast<UINT>(std::strlen(text)), nullptr, nullptr,
                                          D3DXSHADER_SKIPOPTIMIZATION, &tokens, &errors);
    if (FAILED(hr)) {
        std::printf("; does not assemble: %s\n",
                    errors != nullptr ? static_cast<const char*>(errors->GetBufferPointer()) : "no message");
        if (errors != nullptr)
            errors->Release();
        return 1;
    }
    std::printf("; assembles: %u tokens\n", static_cast<unsigned>(tokens->GetBufferSize() / 4));
    tokens->Release();
    return 0;
}
