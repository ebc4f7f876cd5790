#pragma once
// Narrow phase for simple convex volumes: the separating-axis pair test (plane, sphere,
// capsule, triangle, box; convex and cylinder pairs go to GJK), the support features facing
// each other, and contact points from the two features: clipped polygons, closest points of
// edges and vertices, cut at the contact threshold and reduced to four.
//
// Conventions: the normal points from B towards A; separations are between the fat surfaces
// (negative when they overlap); the contact plane lies midway between the fat surfaces.

#include "physics/core/collision/gjk.h"
#include "physics/core/context/pipeline.h"

// Feature kinds of a contact side.
enum OvpFeatureKind : OvUInt8 {
    ovpFEATURE_VERTEX = 0,
    ovpFEATURE_EDGE = 1,
    ovpFEATURE_FACE = 2,
};

// Most vertices a feature takes from the shared point pool (a hull face of up to 16 corners),
// and the most points contact generation writes (two such features).
inline constexpr OvUInt16 ovpPOOLFEATURE = 16;
inline constexpr int ovpCONTACTMAXGENERATED = 2 * ovpPOOLFEATURE;

// The two support features of a pair and the shared point pool that holds the vertices of
// features larger than their own storage: A's feature starts at the pool's free point, B's
// behind A's when A took pool points. used counts the pool points the two took.
struct OvpCollisionFeatures {
    OvV3d normal; // from B towards A, the contact plane's offset along it and the separation,
    float offset; // as the pair test found them
    float separation;
    OvpSupportFeature side[2];
    OvpFeatureVertex* pool; // the pool's first free point, or null (features keep to their storage)
    OvUInt32 room;          // free points from there
    OvUInt32 used;
};

// A plane of one side's feature, against which each contact point's depth is measured.
struct OvpFeaturePlane {
    OvV3d normal;
    float offset;
};

// Separation along the direction with both intervals from the volumes: the normal becomes d
// or -d, whichever shows the larger separation; base = B's extreme along it.
float OvpGeneralPrimitiveAxisSeparation(const OvpCollisionPair* pair, const OvV3d* d, OvV3d* normal, float* base);
// The same rule along a face axis of A (FaceSeparationA: A's interval is the axis's own bound
// pair shifted by A's position along it, B's from its slot) or of B (FaceSeparationB, mirrored).
// -FLT_MAX when the other volume's slot gives no interval.
float OvpGeneralPrimitiveFaceSeparationA(const OvpCollisionPair* pair, const OvpFaceAxis* face, OvV3d* normal,
                                         float* base);
float OvpGeneralPrimitiveFaceSeparationB(const OvpCollisionPair* pair, const OvpFaceAxis* face, OvV3d* normal,
                                         float* base);
// The separating-axis test. Always answers (1).
OvBool OvpGeneralPrimitiveSeparate(const OvpCollisionPair* pair, float threshold, OvV3d* normal, float* offset,
                                   float* separation);

// The separating-axis test of two boxes: the same axes in the same order and with the same
// rounding as OvpGeneralPrimitiveSeparate, so the same answer, without the volume slots. 0 as
// soon as one axis parts the boxes by at least the threshold (the outputs are then unset).
OvBool OvpBoxBoxSeparate(const OvpCollisionPair* pair, float threshold, OvV3d* normal, float* offset,
                         float* separation);

// Where a vertex lies against a face, as OvpGeneralPrimitiveCollide found it for one normal:
// over the face, or else the closest point of the face's farthest outside edge, that edge and
// the point's kind (1 inside the edge, 0 at an end). valid is cleared by the caller whenever
// the features change.
struct OvpVertexFaceMemo {
    OvV3d normal;  // the normal the search was made along
    OvV3d onFace;  // the closest boundary point (vertex not over the face)
    OvV3d edge[2]; // the edge it lies on
    OvUInt8 kind;  // its kind
    bool inside;
    bool valid;
};

// Contact points of two features in world coordinates. separation holds the core separation
// (in and out: a closest pair of apart features refines normal, offset and separation).
// Writes up to nA + nB points on the contact plane, the two kinds and the feature planes.
// Kinds start from the feature sizes (one vertex 0, two 1, more 2); closest points take the
// kind of where they lie (1 inside an edge, 0 at its ends), a vertex over a face makes that side
// 2, and each side's feature plane follows its kind.
// With a memo, a vertex against a face is searched once per normal: a second call on the same
// features along the same normal takes the answer from it. With closest, each side's closest
// point is written there (meaningful for a side whose kind is below 2).
OvInt32 OvpGeneralPrimitiveCollide(const OvpSupportFeature* a, const OvpSupportFeature* b, float fatDifference,
                                   float* offset, OvV3d* normal, float* separation, OvV3d* points, OvUInt8 kinds[2],
                                   OvpFeaturePlane planes[2], OvBool refine, OvpVertexFaceMemo* memo = nullptr,
                                   OvV3d closest[2] = nullptr);

// Per-point separations (dB - dA - fat sum, measured to the feature planes along the normal),
// the polygon cut where it leaves the threshold (cut points carry the threshold), and
// reduction to four points keeping the deepest. Appends to the record (whose normal is set);
// returns the points kept.
OvInt32 OvpCollisionWritePoints(const OvV3d* points, OvInt32 count, const OvpFeaturePlane planes[2], float threshold,
                                float fatSum, OvpContact* out);
// Appends a point (no material, no surface velocity, identity words 0) unless the record is
// full or the point repeats the first or the last one within the tolerance (sum of absolute
// coordinate differences; a negative tolerance checks nothing). 1 stored.
OvBool OvpCollisionAddRecordPoint(OvpContact* record, const OvV3d* point, float separation, float tolerance);

// The face normal of the triangle on the given side, turned towards the other volume unless
// the triangle is one-sided.
void OvpCollisionTriangleSide(const OvpCollisionPair* pair, int side, OvV3d* normal);

// A's support feature along -normal, then B's along +normal, in the pool when they are larger
// than their own storage. 1 when both were found.
OvBool OvpCollisionGetFeatures(const OvpCollisionPair* pair, const OvV3d* normal, OvpCollisionFeatures* features);

// The pair tests: the separating axes (OvpGeneralPrimitiveSeparate) or GJK (OvpGjkSeparate);
// when the separation is below the threshold, the normal, offset and separation and both
// features (OvpCollisionGetFeatures) go to the work record. 1 when the pair touches.
OvBool OvpGeneralPrimitivePairTest(const OvpCollisionPair* pair, float threshold, OvpCollisionFeatures* work,
                                   float lengthScale);
OvBool OvpGjkPairTest(const OvpCollisionPair* pair, float threshold, OvpCollisionFeatures* work, float lengthScale);
// The record of a pair that passed its pair test: contact points of the work record's features
// (a triangle's face normal for contacts on its shared edges or its face, the features fetched
// again along it), cut at the threshold and reduced to four. Writes the record's normal, kinds,
// points and count. 1 when it has points.
OvBool OvpCollisionMakeRecord(const OvpCollisionPair* pair, OvpCollisionFeatures* work, float threshold,
                              OvpContact* out);

// The whole pair: the pair test (GJK when either type asks for it), the features, contact
// points, and a triangle's face normal for contacts on its shared (unflagged) edges or on a
// one-sided face. Writes the record's normal, kinds, points and count (nothing else of it).
// 1 when it has points within the threshold. Features larger than their own storage (hull
// faces of more than eight corners) need the point pool: room free points at pool, of which
// *used (when not null) receives the count taken; without a pool they are taken as edges.
OvBool OvpCollideVolumes(const OvpCollisionPair* pair, float threshold, float lengthScale, OvpContact* out,
                         OvpFeatureVertex* pool = nullptr, OvUInt32 room = 0, OvUInt32* used = nullptr);

// Copies a record's collision fields, keeping the destination's block of solved values.
void OvpContactCopy(OvpContact* out, const OvpContact* record);

// Whether the other record's first point lies near the face record's plane: within half the
// smaller of the two first separations (absolute) plus a tenth of the length scale.
OvBool OvpGeneralPrimitiveNearFacePlane(const OvpContact* face, const OvpContact* other, float lengthScale);

// Whether two contact normals agree closely enough for their records to be merged.
inline bool OvpNormalsAgree(const OvV3d& a, const OvV3d& b) { return OvpDot(a, b) > 0.99f; }

// Records of one object pair that a merge looks at; further ones are dropped.
inline constexpr OvUInt32 ovpMERGERECORDS = 256;

// Merges and thins the records of one object pair into out (at most capacity records):
// among the pieces of a triangle list, an edge or vertex contact lying in the plane of a
// deeper face contact of the same piece on the other side is dropped; records whose normals
// and planes agree become one record of at most four points (the extremes when there are
// more). Returns the number of records written.
OvUInt32 OvpGeneralPrimitiveMergeContacts(OvpContact* records, OvUInt32 count, OvBool triangles, OvpContact* out,
                                          OvUInt32 capacity, float lengthScale);
