#include "ai/runtime/vector3.h"

#include <cmath>

constinit const CVector3 CVector3::Zero(0.0f, 0.0f, 0.0f);
constinit const CVector3 CVector3::UnitX(1.0f, 0.0f, 0.0f);
constinit const CVector3 CVector3::UnitY(0.0f, 1.0f, 0.0f);
constinit const CVector3 CVector3::UnitZ(0.0f, 0.0f, 1.0f);

CVector3 CVector3::Add(const CVector3& a, const CVector3& b) { return CVector3(a.x + b.x, a.y + b.y, a.z + b.z); }

CVector3 CVector3::Subtract(const CVector3& a, const CVector3& b) { return CVector3(a.x - b.x, a.y - b.y, a.z - b.z); }

CVector3 CVector3::Scale(float s, const CVector3& v) { return CVector3(s * v.x, s * v.y, s * v.z); }

CVector3 CVector3::Divide(const CVector3& v, float s) { return Scale(1.0f / s, v); }

CVector3 CVector3::Cross(const CVector3& a, const CVector3& b) {
    return CVector3(a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x);
}

float CVector3::Dot(const CVector3& a, const CVector3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

float CVector3::DistanceSquared(const CVector3& a, const CVector3& b) { return Subtract(b, a).LengthSquared(); }

CVector3 CVector3::GetNormalized(const CVector3& v) { return Divide(v, v.Length()); }

float CVector3::WrapAngle180(float angle) {
    if (angle > 180.0f) {
        return angle - 360.0f;
    }
    if (angle < -180.0f) {
        return angle + 360.0f;
    }
    return angle;
}

float CVector3::WrapAngleFully180(float angle) {
    if (!std::isfinite(angle)) {
        return 0.0f;
    }
    while (angle > 180.0f) {
        angle -= 360.0f;
    }
    while (angle < -180.0f) {
        angle += 360.0f;
    }
    return angle;
}

void CVector3::ScaleInPlace(float s) {
    x *= s;
    y *= s;
    z *= s;
}

float CVector3::LengthSquared() const { return x * x + y * y + z * z; }

float CVector3::Length() const { return std::sqrt(LengthSquared()); }

namespace Vusk {

float CosDeg(float degrees) { return std::cos(degrees * kDegToRad); }

float SinDeg(float degrees) { return std::sin(degrees * kDegToRad); }

CVector3 AnglesToDirection(float pitch, float yaw) {
    CVector3 direction;
    AnglesToDirection(pitch, yaw, direction);
    return direction;
}

void AnglesToDirection(float pitch, float yaw, CVector3& direction) {
    float cosPitch = CosDeg(pitch);
    direction.Set(SinDeg(yaw) * cosPitch, SinDeg(pitch), CosDeg(yaw) * cosPitch);
}

CVector3 DirectionToAngle(const CVector3& direction) {
    if (direction.LengthSquared() == 0.0f) {
        return CVector3(0.0f, 0.0f, 0.0f);
    }
    CVector3 n = CVector3::GetNormalized(direction);
    float yaw;
    if (n.z != 0.0f) {
        yaw = std::atan2(n.x / n.z, 1.0f);
        if (n.z < 0.0f) {
            yaw += kPi;
        }
    } else if (n.x == 0.0f) {
        yaw = 0.0f;
    } else {
        yaw = n.x < 0.0f ? kPi * -0.5f : kHalfPi;
    }
    // Rounding may leave |n.y| a hair above 1.
    float pitch = std::asin(std::fmax(-1.0f, std::fmin(1.0f, n.y)));
    return CVector3(pitch / kDegToRad, yaw / kDegToRad, 0.0f);
}

bool IsInVisionCone(const CVector3& target, const CVector3& eye, const CVector3& viewDirection, float halfAngle,
                    float range) {
    CVector3 d = CVector3::Subtract(target, eye);
    float distanceSquared = d.LengthSquared();
    if (range >= 0.0f && range * range < distanceSquared) {
        return false;
    }
    float dot = CVector3::Dot(d, viewDirection);
    float c = CosDeg(halfAngle);
    if (dot >= 0.0f) {
        return c < 0.0f || dot * dot >= c * c * distanceSquared;
    }
    return c < 0.0f && dot * dot <= c * c * distanceSquared;
}

} // namespace Vusk
