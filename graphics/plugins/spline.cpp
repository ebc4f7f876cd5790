#include "graphics/plugins/spline.h"

#include <cmath>
#include <cstring>

#include "graphics/core/chunk.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/stream.h"

namespace {

constexpr OvUInt32 kHintSpline = 0x3000C;    // a spline lives as long as its object
constexpr OvUInt32 kHintTables = 0x40102;    // the basis tables live from open to close
constexpr OvUInt32 kHintTemporary = 0x10102; // points read from a file, within one call

constexpr int kTableSteps = 256;            // table entries per unit of t (257 entries)
constexpr int kTableSize = kTableSteps + 1; // entries of one weight table
constexpr int kMinExact = 4;                // smallest open spline with an exact inverse
constexpr int kMaxExact = 10;               // largest; longer open splines use windows of it
constexpr int kEdgeRows = kMaxExact / 2;    // control points at each end that use the edge rows
constexpr int kClosedReach = 12;            // |offset| beyond which a closed weight is below 1e-7

// Weight tables: position B0..B3, first derivative D0..D3, second derivative E0..E3.
enum Table { kB0, kB1, kB2, kB3, kD0, kD1, kD2, kD3, kE0, kE1, kE2, kE3, kNumTables };

struct PluginState {
    OvInt32 opens = 0;       // engine opens not yet closed
    float* tables = nullptr; // kNumTables x kTableSize weights, one allocation
    // Inverse of the open interpolation matrix of size s at inverse[s - kMinExact], s x s, row major.
    float inverse[kMaxExact - kMinExact + 1][kMaxExact * kMaxExact] = {};
};

PluginState gState;

// The open system of size n: rows (1, 4, 1) / 6 with the end conditions C(0) = C(2) and
// C(n + 1) = C(n - 1) folded in (first row 4, 2; last row 2, 4). Inverted by Gauss-Jordan
// elimination in double precision; the system is diagonally dominant, so no pivoting is needed.
void InvertOpenSystem(int n, float* out) {
    double a[kMaxExact][2 * kMaxExact] = {};
    for (int i = 0; i < n; ++i) {
        a[i][i] = 4.0 / 6.0;
        if (i > 0) {
            a[i][i - 1] = (i == n - 1 ? 2.0 : 1.0) / 6.0;
        }
        if (i < n - 1) {
            a[i][i + 1] = (i == 0 ? 2.0 : 1.0) / 6.0;
        }
        a[i][n + i] = 1.0;
    }
    for (int c = 0; c < n; ++c) {
        const double pivot = a[c][c];
        for (int j = 0; j < 2 * n; ++j) {
            a[c][j] /= pivot;
        }
        for (int r = 0; r < n; ++r) {
            if (r != c && a[r][c] != 0.0) {
                const double k = a[r][c];
                for (int j = 0; j < 2 * n; ++j) {
                    a[r][j] -= k * a[c][j];
                }
            }
        }
    }
    for (int r = 0; r < n; ++r) {
        for (int c = 0; c < n; ++c) {
            out[r * n + c] = static_cast<float>(a[r][n + c]);
        }
    }
}

void* SplineOpen(void* instance, OvInt32 /*offset*/, OvInt32 /*size*/) {
    if (gState.opens++ > 0) {
        return instance;
    }
    auto* tables = static_cast<float*>(OvMalloc(sizeof(float) * kNumTables * kTableSize, kHintTables));
    if (tables == nullptr) {
        --gState.opens;
        OvErrorReport(ovPLUGINIDSPLINE, OvErrorCode(ovERRNOMEMORY, sizeof(float) * kNumTables * kTableSize));
        return nullptr;
    }
    for (int i = 0; i < kTableSize; ++i) {
        const double t = static_cast<double>(i) / kTableSteps;
        const double t2 = t * t, t3 = t2 * t, u = 1.0 - t;
        const double w[kNumTables] = {
            t3 / 6.0,
            (-3.0 * t3 + 3.0 * t2 + 3.0 * t + 1.0) / 6.0,
            (3.0 * t3 - 6.0 * t2 + 4.0) / 6.0,
            u * u * u / 6.0,
            t2 / 2.0,
            (-3.0 * t2 + 2.0 * t + 1.0) / 2.0,
            (3.0 * t2 - 4.0 * t) / 2.0,
            -u * u / 2.0,
            t,
            1.0 - 3.0 * t,
            3.0 * t - 2.0,
            1.0 - t,
        };
        for (int k = 0; k < kNumTables; ++k) {
            tables[k * kTableSize + i] = static_cast<float>(w[k]);
        }
    }
    gState.tables = tables;
    for (int n = kMinExact; n <= kMaxExact; ++n) {
        InvertOpenSystem(n, gState.inverse[n - kMinExact]);
    }
    return instance;
}

void* SplineClose(void* instance, OvInt32 /*offset*/, OvInt32 /*size*/) {
    if (gState.opens > 0 && --gState.opens == 0) {
        OvFree(gState.tables);
        gState.tables = nullptr;
    }
    return instance;
}

void AddScaled(OvV3d* sum, const OvV3d& p, float w) {
    sum->x += p.x * w;
    sum->y += p.y * w;
    sum->z += p.z * w;
}

// Control points 1..n of an open spline: exact inverses up to 10 points; beyond, the first and
// last five come from the edge rows of the 10 x 10 inverse on the first and last ten points and
// every other one from its middle row on the ten points around it.
void SolveOpen(const OvV3d* p, int n, OvV3d* c) {
    if (n <= kMaxExact) {
        const float* inv = gState.inverse[n - kMinExact];
        for (int i = 0; i < n; ++i) {
            OvV3d sum = {0.0f, 0.0f, 0.0f};
            for (int j = 0; j < n; ++j) {
                AddScaled(&sum, p[j], inv[i * n + j]);
            }
            c[i + 1] = sum;
        }
        return;
    }
    const float* inv = gState.inverse[kMaxExact - kMinExact];
    for (int i = 0; i < n; ++i) {
        int row, first;
        if (i < kEdgeRows) {
            row = i, first = 0;
        } else if (i >= n - kEdgeRows) {
            row = kMaxExact - (n - i), first = n - kMaxExact;
        } else {
            row = kEdgeRows - 1, first = i - (kEdgeRows - 1);
        }
        OvV3d sum = {0.0f, 0.0f, 0.0f};
        for (int j = 0; j < kMaxExact; ++j) {
            AddScaled(&sum, p[first + j], inv[row * kMaxExact + j]);
        }
        c[i + 1] = sum;
    }
}

// Control points 1..n of a closed spline: the inverse of the cyclic (1, 4, 1) / 6 system is a
// circulant whose weight at offset k is 6 ((-r)^k + (-r)^(n - k)) / ((1 - (-r)^n) 2 sqrt 3),
// r = 2 - sqrt 3. Weights fall by r (about 0.27) per step, so offsets beyond 12 are dropped.
void SolveClosed(const OvV3d* p, int n, OvV3d* c) {
    const double r = -(2.0 - std::sqrt(3.0));
    const double scale = 6.0 / (2.0 * std::sqrt(3.0) * (1.0 - std::pow(r, n)));
    const int reach = n <= 2 * kClosedReach + 1 ? n - 1 : kClosedReach;
    const int low = n <= 2 * kClosedReach + 1 ? 0 : -kClosedReach;
    float weight[2 * kClosedReach + 1] = {};
    for (int d = low; d <= reach; ++d) {
        const int k = ((d % n) + n) % n;
        weight[d - low] = static_cast<float>(scale * (std::pow(r, k) + std::pow(r, n - k)));
    }
    for (int i = 0; i < n; ++i) {
        OvV3d sum = {0.0f, 0.0f, 0.0f};
        for (int d = low; d <= reach; ++d) {
            AddScaled(&sum, p[(((i + d) % n) + n) % n], weight[d - low]);
        }
        c[i + 1] = sum;
    }
}

// Weight k at table entry i, fraction f: (1 - f) w(i) + f w(i + 1), exact at both entries.
float Weight(int k, int i, float f) {
    const float* w = gState.tables + k * kTableSize;
    return w[i] * (1.0f - f) + w[i + 1] * f;
}

} // namespace

OvBool OvSplinePluginAttach() { return OvEngineRegisterPlugin(0, ovPLUGINIDSPLINE, SplineOpen, SplineClose) >= 0; }

OvSpline* OvSplineCreate(OvInt32 numPoints, OvInt32 type, const OvV3d* points) {
    if (type != ovSPLINEOPEN && type != ovSPLINECLOSED) {
        OvErrorReport(ovPLUGINIDSPLINE, OvErrorCode(ovERRSPLINEBADCODE, "spline type must be 1 or 2"));
        return nullptr;
    }
    // An open spline needs the smallest exact inverse; a closed one solves for any count, but
    // without a point it has no segment to evaluate.
    const OvInt32 least = type == ovSPLINEOPEN ? kMinExact : 1;
    if (points == nullptr || numPoints < least || numPoints > ovSPLINEMAXPOINTS) {
        OvErrorReport(ovPLUGINIDSPLINE, OvErrorCode(ovERRNULLARGUMENT, "too few spline points"));
        return nullptr;
    }
    if (gState.tables == nullptr) {
        OvErrorReport(ovPLUGINIDSPLINE, OvErrorCode(ovERRBADENGINESTATE, "spline plugin not open"));
        return nullptr;
    }
    const OvInt32 m = numPoints + (type == ovSPLINEOPEN ? 2 : 3);
    const std::size_t head = (sizeof(OvSpline) + alignof(OvV3d) - 1) / alignof(OvV3d) * alignof(OvV3d);
    const std::size_t bytes = head + sizeof(OvV3d) * static_cast<std::size_t>(m);
    auto* spline = static_cast<OvSpline*>(OvMalloc(bytes, kHintSpline));
    auto* copy = static_cast<OvV3d*>(OvMalloc(sizeof(OvV3d) * static_cast<std::size_t>(numPoints), kHintSpline));
    if (spline == nullptr || copy == nullptr) {
        OvFree(spline);
        OvFree(copy);
        OvErrorReport(ovPLUGINIDSPLINE, OvErrorCode(ovERRNOMEMORY, bytes));
        return nullptr;
    }
    std::memset(spline, 0, head);
    spline->object.type = ovSPLINEOBJECTTYPE;
    spline->numCtrlPoints = m;
    spline->splineType = type;
    spline->numPoints = numPoints;
    spline->ctrlPoints = reinterpret_cast<OvV3d*>(reinterpret_cast<char*>(spline) + head);
    std::memcpy(copy, points, sizeof(OvV3d) * static_cast<std::size_t>(numPoints));
    spline->points = copy;
    OvV3d* c = spline->ctrlPoints;
    if (type == ovSPLINEOPEN) {
        SolveOpen(points, numPoints, c);
        c[0] = c[2];
        c[numPoints + 1] = c[numPoints - 1];
    } else {
        SolveClosed(points, numPoints, c);
        c[0] = c[numPoints];
        c[numPoints + 1] = c[1];
        c[numPoints + 2] = c[2];
    }
    return spline;
}

OvBool OvSplineDestroy(OvSpline* spline) {
    if (spline == nullptr) {
        return FALSE;
    }
    OvFree(spline->points);
    OvFree(spline);
    return TRUE;
}

OvSpline* OvSplineStreamRead(OvStream* stream, OvUInt32 length) {
    OvUInt8 header[ovSPLINEHEADERSIZE];
    if (length < ovSPLINEHEADERSIZE || OvStreamReadStrict(stream, header, ovSPLINEHEADERSIZE) == nullptr) {
        OvErrorReport(ovPLUGINIDSPLINE, OvErrorCode(ovERRREAD, "spline header"));
        return nullptr;
    }
    const auto n = static_cast<OvInt32>(OvChunkGetUInt32(header + ovSPLINENAMESIZE));
    const auto type = static_cast<OvInt32>(OvChunkGetUInt32(header + ovSPLINENAMESIZE + 4));
    // The points must fit in the body, which also bounds the allocation by the input; bytes
    // past them belong to a later writer and are skipped.
    if (n < 0 || static_cast<OvUInt32>(n) > (length - ovSPLINEHEADERSIZE) / 12 || n > ovSPLINEMAXPOINTS) {
        OvErrorReport(ovPLUGINIDSPLINE, OvErrorCode(ovERRREAD, "spline points overrun the chunk"));
        return nullptr;
    }
    if (type != ovSPLINEOPEN && type != ovSPLINECLOSED) {
        OvErrorReport(ovPLUGINIDSPLINE, OvErrorCode(ovERRSPLINEBADCODE, "spline type must be 1 or 2"));
        return nullptr;
    }
    const OvUInt32 bytes = static_cast<OvUInt32>(n) * 12;
    const OvUInt32 left = OvStreamGetBytesLeft(stream);
    if (left != 0xFFFFFFFFu && left < bytes) {
        OvErrorReport(ovPLUGINIDSPLINE, OvErrorCode(ovERRREAD, "spline points cut short"));
        return nullptr;
    }
    auto* points = static_cast<OvV3d*>(OvMalloc(bytes > 0 ? bytes : 1, kHintTemporary));
    if (points == nullptr) {
        OvErrorReport(ovPLUGINIDSPLINE, OvErrorCode(ovERRNOMEMORY, bytes));
        return nullptr;
    }
    static_assert(sizeof(OvV3d) == 12, "points are read as packed triples");
    const OvUInt32 rest = length - ovSPLINEHEADERSIZE - bytes;
    OvSpline* spline = nullptr;
    if ((bytes == 0 || OvStreamReadValues(stream, points, bytes) != nullptr) &&
        (rest == 0 || OvStreamSkip(stream, rest) != nullptr)) {
        spline = OvSplineCreate(n, type, points);
    }
    OvFree(points);
    if (spline != nullptr) {
        std::memcpy(spline->name, header, ovSPLINENAMESIZE);
        spline->name[ovSPLINENAMESIZE] = '\0';
    }
    return spline;
}

OvSpline* OvSplineLoad(const char* fileName) {
    OvStream* stream = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, fileName);
    if (stream == nullptr) {
        return nullptr;
    }
    OvSpline* spline = nullptr;
    OvUInt32 length = 0;
    if (OvStreamFindChunk(stream, ovID_SPLINE, &length, nullptr)) {
        spline = OvSplineStreamRead(stream, length);
    }
    OvStreamClose(stream, nullptr);
    return spline;
}

OvV3d* OvSplineEvaluate(const OvSpline* spline, OvInt32 mode, float t, OvV3d* position, OvV3d* tangent) {
    if (mode != ovSPLINEPATHLINEAR && mode != ovSPLINEPATHEASE) {
        OvErrorReport(ovPLUGINIDSPLINE, OvErrorCode(ovERRSPLINEBADCODE, "spline mode must be 10 or 11"));
        return nullptr;
    }
    t = std::fabs(t);
    if (!(t == t)) {
        t = 0.0f;
    }
    if (t > 1.0f) {
        // A closed curve repeats; an open one has no curve beyond its last point.
        t = spline->splineType == ovSPLINECLOSED && std::isfinite(t) ? t - std::trunc(t) : 1.0f;
    }
    if (mode == ovSPLINEPATHEASE) {
        t = t < 0.5f ? 2.0f * t * t : -2.0f * t * t + 4.0f * t - 1.0f;
    }
    const OvInt32 last = spline->numCtrlPoints - 4;
    OvInt32 s, i;
    float f;
    if (t == 1.0f) {
        s = last, i = kTableSteps - 1, f = 1.0f;
    } else {
        const float a = static_cast<float>(spline->numCtrlPoints - 3) * t;
        s = static_cast<OvInt32>(a);
        const float u = (a - static_cast<float>(s)) * kTableSteps;
        i = static_cast<OvInt32>(u);
        f = u - static_cast<float>(i);
        if (s > last) { // t just below 1 rounded up to the end
            s = last, i = kTableSteps - 1, f = 1.0f;
        } else if (i > kTableSteps - 1) {
            i = kTableSteps - 1, f = 1.0f;
        }
    }
    const OvV3d* c = spline->ctrlPoints + s;
    OvV3d p = {0.0f, 0.0f, 0.0f};
    AddScaled(&p, c[0], Weight(kB3, i, f));
    AddScaled(&p, c[1], Weight(kB2, i, f));
    AddScaled(&p, c[2], Weight(kB1, i, f));
    AddScaled(&p, c[3], Weight(kB0, i, f));
    *position = p;
    if (tangent != nullptr) {
        OvV3d d = {0.0f, 0.0f, 0.0f};
        AddScaled(&d, c[0], Weight(kD3, i, f));
        AddScaled(&d, c[1], Weight(kD2, i, f));
        AddScaled(&d, c[2], Weight(kD1, i, f));
        AddScaled(&d, c[3], Weight(kD0, i, f));
        const float length = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
        if (length > 0.0f) {
            *tangent = {d.x / length, d.y / length, d.z / length};
        } else {
            *tangent = {0.0f, 1.0f, 0.0f};
        }
    }
    return position;
}
