#pragma once
// The engine's vector (three 32-bit floats) and its angle functions. Angles are degrees
// everywhere in the engine's data and interfaces; y is the vertical axis.

#include "ai/runtime/engine_object.h"

namespace Vusk {
// The engine's pi and the two constants derived from it.
inline constexpr float kPi = 3.1415927f;
inline constexpr float kHalfPi = kPi * 0.5f;
inline constexpr float kDegToRad = kPi * 0.0055555557f;
} // namespace Vusk

class CVector3 : public CEngineObject {
public:
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;

    constexpr CVector3() = default;
    constexpr CVector3(float xValue, float yValue, float zValue) : x(xValue), y(yValue), z(zValue) {}
    constexpr CVector3(const CVector3& other) : CEngineObject(), x(other.x), y(other.y), z(other.z) {}
    CVector3& operator=(const CVector3& other) {
        x = other.x;
        y = other.y;
        z = other.z;
        return *this;
    }
    ~CVector3() override = default;

    static const CVector3 Zero;
    static const CVector3 UnitX;
    static const CVector3 UnitY;
    static const CVector3 UnitZ;

    void Set(float xValue, float yValue, float zValue) {
        x = xValue;
        y = yValue;
        z = zValue;
    }

    static CVector3 Add(const CVector3& a, const CVector3& b);
    static CVector3 Subtract(const CVector3& a, const CVector3& b);
    static CVector3 Scale(float s, const CVector3& v);
    // v times (1 / s).
    static CVector3 Divide(const CVector3& v, float s);
    static CVector3 Cross(const CVector3& a, const CVector3& b);
    static float Dot(const CVector3& a, const CVector3& b);
    static float DistanceSquared(const CVector3& a, const CVector3& b);
    // v divided by its length; a zero vector gives non-finite components.
    static CVector3 GetNormalized(const CVector3& v);
    // One step towards (-180, 180]: a - 360 when a > 180, a + 360 when a < -180.
    static float WrapAngle180(float angle);
    // The angle brought into [-180, 180] by whole turns; a non-finite angle gives 0.
    static float WrapAngleFully180(float angle);

    void ScaleInPlace(float s);
    float LengthSquared() const;
    float Length() const;

    CVector3 operator+(const CVector3& other) const { return Add(*this, other); }
    CVector3 operator-(const CVector3& other) const { return Subtract(*this, other); }
    CVector3 operator*(float s) const { return Scale(s, *this); }
    CVector3& operator+=(const CVector3& other) {
        x += other.x;
        y += other.y;
        z += other.z;
        return *this;
    }
    CVector3& operator-=(const CVector3& other) {
        x -= other.x;
        y -= other.y;
        z -= other.z;
        return *this;
    }
};

namespace Vusk {
float CosDeg(float degrees);
float SinDeg(float degrees);

// Unit direction of pitch and yaw (degrees): (sin yaw cos pitch, sin pitch, cos yaw cos pitch).
CVector3 AnglesToDirection(float pitch, float yaw);
void AnglesToDirection(float pitch, float yaw, CVector3& direction);

// (pitch, yaw, 0) in degrees of a direction: yaw 0 along +z, 90 along +x, 180 along -z;
// pitch 90 straight up. The zero vector has no direction and gives (0, 0, 0).
CVector3 DirectionToAngle(const CVector3& direction);

// Whether target is seen from eye looking along viewDirection (unit length) within a cone of
// halfAngle degrees and at most range away (range < 0: unlimited). Works on squares only.
bool IsInVisionCone(const CVector3& target, const CVector3& eye, const CVector3& viewDirection, float halfAngle,
                    float range);
} // namespace Vusk
