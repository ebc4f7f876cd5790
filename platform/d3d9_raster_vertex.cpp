// The rasteriser's vertex step: fetches each vertex of a draw from its declaration, FVF or user
// memory (MakeFetch, MakeShaderFetch), then transforms, lights and fogs it under the fixed-function
// state (MakeVertexSetup, Process). Reads the device's streams and state; writes ClipVertex, the
// clip-space vertex that clipping and the viewport take from here.

#include "platform/d3d9_raster_internal.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace d3d9::raster_detail {

namespace {

D3DMATRIX Multiply(const D3DMATRIX& a, const D3DMATRIX& b) {
    D3DMATRIX r{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            float s = 0;
            for (int k = 0; k < 4; ++k)
                s += a.m[i][k] * b.m[k][j];
            r.m[i][j] = s;
        }
    return r;
}

// The inverse transpose of the upper 3x3 of `m`, for normals (the matrix itself when singular).
D3DMATRIX NormalMatrix(const D3DMATRIX& m) {
    const auto& a = m.m;
    const float c00 = a[1][1] * a[2][2] - a[1][2] * a[2][1];
    const float c01 = a[1][2] * a[2][0] - a[1][0] * a[2][2];
    const float c02 = a[1][0] * a[2][1] - a[1][1] * a[2][0];
    const float det = a[0][0] * c00 + a[0][1] * c01 + a[0][2] * c02;
    D3DMATRIX r{};
    r.m[3][3] = 1;
    if (!(std::fabs(det) > 1e-30f) || !std::isfinite(det)) {
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                r.m[i][j] = a[i][j];
        return r;
    }
    const float inv = 1.0f / det;
    // Rows of the inverse transpose are the cofactor rows divided by the determinant.
    r.m[0][0] = c00 * inv;
    r.m[0][1] = c01 * inv;
    r.m[0][2] = c02 * inv;
    r.m[1][0] = (a[0][2] * a[2][1] - a[0][1] * a[2][2]) * inv;
    r.m[1][1] = (a[0][0] * a[2][2] - a[0][2] * a[2][0]) * inv;
    r.m[1][2] = (a[0][1] * a[2][0] - a[0][0] * a[2][1]) * inv;
    r.m[2][0] = (a[0][1] * a[1][2] - a[0][2] * a[1][1]) * inv;
    r.m[2][1] = (a[0][2] * a[1][0] - a[0][0] * a[1][2]) * inv;
    r.m[2][2] = (a[0][0] * a[1][1] - a[0][1] * a[1][0]) * inv;
    return r;
}

} // namespace

Fetch MakeFetch(const Device& device, const DrawCall& call) {
    Fetch f;
    for (const D3DVERTEXELEMENT9& e : call.elements) {
        Fetch::Source s;
        if (call.userVertices != nullptr) {
            s.base = call.userVertices + e.Offset;
            s.stride = call.userStride;
        } else {
            const Stream& st = device.state.streams[e.Stream];
            if (st.buffer == nullptr)
                continue;
            s.base = st.buffer->store.bytes.data() + st.offset + e.Offset;
            s.stride = st.stride;
        }
        s.type = e.Type;
        switch (e.Usage) {
        case D3DDECLUSAGE_POSITION:
            if (e.UsageIndex == 0)
                f.position = s;
            break;
        case D3DDECLUSAGE_POSITIONT:
            f.position = s;
            f.transformed = true;
            break;
        case D3DDECLUSAGE_NORMAL:
            if (e.UsageIndex == 0) {
                f.normal = s;
                f.hasNormal = true;
            }
            break;
        case D3DDECLUSAGE_COLOR:
            if (e.UsageIndex < 2) {
                f.color[e.UsageIndex] = s;
                f.hasColor[e.UsageIndex] = true;
            }
            break;
        case D3DDECLUSAGE_TEXCOORD:
            if (e.UsageIndex < 8)
                f.tex[e.UsageIndex] = s;
            break;
        default:
            break;
        }
    }
    for (int i = 0; i < 8; ++i)
        if (f.tex[i].base != nullptr)
            f.texSets = i + 1;
    return f;
}

ShaderFetch MakeShaderFetch(const Device& device, const DrawCall& call, const ShaderProgram& program) {
    ShaderFetch f;
    for (const ShaderDecl& d : program.decls) {
        ShaderFetch::Input in{d.reg, {}};
        for (const D3DVERTEXELEMENT9& e : call.elements) {
            if (e.Usage != d.usage || e.UsageIndex != d.usageIndex)
                continue;
            if (call.userVertices != nullptr) {
                in.source.base = call.userVertices + e.Offset;
                in.source.stride = call.userStride;
            } else {
                const Stream& st = device.state.streams[e.Stream];
                if (st.buffer == nullptr)
                    break;
                in.source.base = st.buffer->store.bytes.data() + st.offset + e.Offset;
                in.source.stride = st.stride;
            }
            in.source.type = e.Type;
            break;
        }
        f.inputs.push_back(in);
    }
    return f;
}

namespace {

int ComponentsOf(BYTE type) {
    switch (type) {
    case D3DDECLTYPE_FLOAT1:
        return 1;
    case D3DDECLTYPE_FLOAT2:
    case D3DDECLTYPE_SHORT2:
    case D3DDECLTYPE_SHORT2N:
    case D3DDECLTYPE_USHORT2N:
    case D3DDECLTYPE_FLOAT16_2:
        return 2;
    case D3DDECLTYPE_FLOAT3:
    case D3DDECLTYPE_UDEC3:
    case D3DDECLTYPE_DEC3N:
        return 3;
    default:
        return 4;
    }
}

} // namespace

VertexSetup MakeVertexSetup(const State& s, const Fetch& fetch, int stages) {
    VertexSetup v;
    v.transformed = fetch.transformed;
    const auto& r = s.render;
    v.lighting = !fetch.transformed && r[D3DRS_LIGHTING] != 0;
    v.normalize = r[D3DRS_NORMALIZENORMALS] != 0;
    v.specular = r[D3DRS_SPECULARENABLE] != 0;
    v.localViewer = r[D3DRS_LOCALVIEWER] != 0;
    v.colorVertex = r[D3DRS_COLORVERTEX] != 0;
    // A colour comes from the vertex when colour vertex is on and the vertex has the colour the
    // source names, from the material otherwise.
    const DWORD sources[4] = {r[D3DRS_DIFFUSEMATERIALSOURCE], r[D3DRS_AMBIENTMATERIALSOURCE],
                              r[D3DRS_SPECULARMATERIALSOURCE], r[D3DRS_EMISSIVEMATERIALSOURCE]};
    const D3DCOLORVALUE* materials[4] = {&s.material.Diffuse, &s.material.Ambient, &s.material.Specular,
                                         &s.material.Emissive};
    for (int i = 0; i < 4; ++i) {
        const DWORD source = sources[i];
        if (v.colorVertex && (source == D3DMCS_COLOR1 || source == D3DMCS_COLOR2) && fetch.hasColor[source - 1])
            v.colorSource[i] = static_cast<int>(source) - 1;
        v.materialColor[i] = FromValue(*materials[i]);
    }
    v.power = s.material.Power;
    const D3DMATRIX& view = s.transform[D3DTS_VIEW];
    v.worldView = Multiply(s.transform[D3DTS_WORLD], view);
    v.worldViewProjection = Multiply(v.worldView, s.transform[D3DTS_PROJECTION]);
    v.normal = NormalMatrix(v.worldView);
    v.ambient = FromColor(r[D3DRS_AMBIENT]);
    v.eyePosition = v.specular && v.localViewer;
    if (v.lighting)
        for (const auto& [index, light] : s.lights) {
            if (!light.enabled || v.lightCount == 8)
                continue;
            const D3DLIGHT9& l = light.light;
            LightSetup& o = v.lights[v.lightCount++];
            o.type = l.Type;
            o.diffuse = FromValue(l.Diffuse);
            o.specular = FromValue(l.Specular);
            o.ambient = FromValue(l.Ambient);
            o.position = MulPoint(Vec3{l.Position.x, l.Position.y, l.Position.z}, view);
            o.direction = Normalize(MulDirection(Vec3{l.Direction.x, l.Direction.y, l.Direction.z}, view));
            o.range = l.Range;
            o.falloff = l.Falloff;
            o.a0 = l.Attenuation0;
            o.a1 = l.Attenuation1;
            o.a2 = l.Attenuation2;
            o.cosTheta = std::cos(l.Theta * 0.5f);
            o.cosPhi = std::cos(l.Phi * 0.5f);
            v.eyePosition = v.eyePosition || o.type != D3DLIGHT_DIRECTIONAL;
        }
    v.stages = stages;
    for (int i = 0; i < stages; ++i) {
        auto& c = v.coords[i];
        const DWORD tci = s.stage[i][D3DTSS_TEXCOORDINDEX];
        c.index = tci & 7;
        c.texgen = tci & 0xFFFF0000u;
        c.flags = s.stage[i][D3DTSS_TEXTURETRANSFORMFLAGS];
        c.matrix = s.transform[D3DTS_TEXTURE0 + i];
        c.inputCount = fetch.tex[c.index].base != nullptr ? ComponentsOf(fetch.tex[c.index].type) : 2;
    }
    return v;
}

namespace {

void Light(const VertexSetup& v, const InputVertex& in, Vec4 out[2]) {
    // The camera-space position only where a light or the viewer is local.
    const Vec3 p =
        v.eyePosition ? MulPoint(Vec3{in.position.x, in.position.y, in.position.z}, v.worldView) : Vec3{};
    Vec3 n = MulDirection(in.normal, v.normal);
    if (v.normalize)
        n = Normalize(n);
    auto source = [&](int i) -> const Vec4& {
        return v.colorSource[i] >= 0 ? in.color[v.colorSource[i]] : v.materialColor[i];
    };
    const Vec4& md = source(VertexSetup::kDiffuse);
    const Vec4& ma = source(VertexSetup::kAmbient);
    const Vec4& ms = source(VertexSetup::kSpecularColor);
    const Vec4& me = source(VertexSetup::kEmissive);
    Vec3 diffuse{}, ambient{v.ambient.x, v.ambient.y, v.ambient.z}, specular{};
    const Vec3 eye = v.specular && v.localViewer ? Normalize(Vec3{-p.x, -p.y, -p.z}) : Vec3{0, 0, 1};
    for (int i = 0; i < v.lightCount; ++i) {
        const LightSetup& l = v.lights[i];
        Vec3 dir;
        float scale = 1;
        if (l.type == D3DLIGHT_DIRECTIONAL) {
            dir = {-l.direction.x, -l.direction.y, -l.direction.z};
        } else {
            const Vec3 d = Sub(l.position, p);
            const float dist = std::sqrt(Dot(d, d));
            if (!(dist <= l.range))
                continue;
            dir = dist > 0 ? Vec3{d.x / dist, d.y / dist, d.z / dist} : Vec3{0, 0, 1};
            const float att = l.a0 + l.a1 * dist + l.a2 * dist * dist;
            scale = att > 0 ? 1.0f / att : 0.0f;
            if (l.type == D3DLIGHT_SPOT) {
                const float rho = -Dot(dir, l.direction);
                float spot;
                if (rho > l.cosTheta)
                    spot = 1;
                else if (rho <= l.cosPhi)
                    spot = 0;
                else {
                    spot = (rho - l.cosPhi) / (l.cosTheta - l.cosPhi);
                    if (l.falloff != 1.0f)
                        spot = std::pow(spot, l.falloff);
                }
                scale *= spot;
            }
        }
        if (scale == 0)
            continue;
        ambient.x += l.ambient.x * scale;
        ambient.y += l.ambient.y * scale;
        ambient.z += l.ambient.z * scale;
        const float ndl = Dot(n, dir);
        if (ndl > 0) {
            diffuse.x += l.diffuse.x * ndl * scale;
            diffuse.y += l.diffuse.y * ndl * scale;
            diffuse.z += l.diffuse.z * ndl * scale;
            if (v.specular) {
                const Vec3 h = Normalize(Vec3{dir.x + eye.x, dir.y + eye.y, dir.z + eye.z});
                const float ndh = Dot(n, h);
                if (ndh > 0) {
                    const float s = std::pow(ndh, v.power) * scale;
                    specular.x += l.specular.x * s;
                    specular.y += l.specular.y * s;
                    specular.z += l.specular.z * s;
                }
            }
        }
    }
    out[0] = {Saturate(me.x + ma.x * ambient.x + md.x * diffuse.x),
              Saturate(me.y + ma.y * ambient.y + md.y * diffuse.y),
              Saturate(me.z + ma.z * ambient.z + md.z * diffuse.z), Saturate(md.w)};
    out[1] = v.specular ? Vec4{Saturate(ms.x * specular.x), Saturate(ms.y * specular.y), Saturate(ms.z * specular.z),
                               Saturate(ms.w)}
                        : Vec4{0, 0, 0, 0};
}

} // namespace

void Process(const VertexSetup& v, const Fetch& fetch, const InputVertex& in, ClipVertex* out) {
    out->clip = ClipPosition(v, in.position);
    Attributes(v, fetch, in, out);
}

void Attributes(const VertexSetup& v, const Fetch& fetch, const InputVertex& in, ClipVertex* out) {
    out->fog = 1;
    if (v.fogFromSpecular) {
        out->fog = fetch.hasColor[1] ? Saturate(in.color[1].w) : 1.0f;
    } else if (v.fog.mode != D3DFOG_NONE) {
        const Vec3 p = MulPoint(Vec3{in.position.x, in.position.y, in.position.z}, v.worldView);
        out->fog = v.fog.Factor(v.rangeFog ? std::sqrt(Dot(p, p)) : p.z);
    }
    if (v.lighting) {
        Light(v, in, out->color);
    } else {
        out->color[0] = in.color[0];
        out->color[1] = in.color[1];
    }
    for (int i = 0; i < v.stages; ++i) {
        const auto& c = v.coords[i];
        Vec4 t;
        int count = c.inputCount;
        if (c.texgen == D3DTSS_TCI_PASSTHRU) {
            t = static_cast<int>(c.index) < fetch.texSets ? in.tex[c.index] : Vec4{0, 0, 0, 1};
        } else {
            const Vec3 p = MulPoint(Vec3{in.position.x, in.position.y, in.position.z}, v.worldView);
            Vec3 n = Normalize(MulDirection(in.normal, v.normal));
            Vec3 g;
            if (c.texgen == D3DTSS_TCI_CAMERASPACENORMAL) {
                g = n;
            } else if (c.texgen == D3DTSS_TCI_CAMERASPACEPOSITION) {
                g = p;
            } else { // reflection of the eye vector about the normal
                const Vec3 e = v.localViewer ? Normalize(p) : Vec3{0, 0, 1};
                const float d = 2 * Dot(e, n);
                g = {e.x - d * n.x, e.y - d * n.y, e.z - d * n.z};
            }
            t = {g.x, g.y, g.z, 1};
            count = 3;
        }
        const DWORD outCount = c.flags & 0xFF;
        float q = 1;
        if (outCount != D3DTTFF_DISABLE) {
            // The coordinate after the last one given reads as 1, the rest as 0.
            float in4[4] = {t.x, t.y, t.z, t.w};
            for (int k = count; k < 4; ++k)
                in4[k] = k == count ? 1.0f : 0.0f;
            t = Mul(Vec4{in4[0], in4[1], in4[2], in4[3]}, c.matrix);
            if ((c.flags & D3DTTFF_PROJECTED) && outCount >= 2) {
                const float comps[4] = {t.x, t.y, t.z, t.w};
                q = comps[std::min<DWORD>(outCount, 4) - 1];
            }
        }
        out->tex[i][0] = t.x;
        out->tex[i][1] = t.y;
        out->tex[i][2] = q;
    }
}

} // namespace d3d9::raster_detail
