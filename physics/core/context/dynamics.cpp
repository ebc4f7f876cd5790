#include "physics/core/context/dynamics.h"

#include <cfloat>
#include <cmath>

OvpDynDef* OvpDynDefInit(OvpDynDef* def, OvpVolume* volume) {
    def->volume = volume;
    def->centre = {0.0f, 0.0f, 0.0f};
    def->mass = 1.0f;
    def->inertia = {1.0f, 1.0f, 1.0f};
    def->orientation = {0.0f, 0.0f, 0.0f, 1.0f};
    def->scalarInertia = 1.0f;
    def->linearDamping = 0.01f;
    def->angularDamping = 0.01f;
    def->flags = 0;
    return def;
}

OvBool OvpDynDefRelease(OvpDynDef* def) {
    if (def->volume != nullptr) {
        OvpVolumeDeinit(def->volume);
    }
    return 1;
}

float OvpDynDefSetMassFromVolume(OvpDynDef* def, float mass, OvBool fullInertia) {
    OvpInertia inertia;
    OvV3d centre;
    const float volume = OvpVolumeGetMassProperties(def->volume, &inertia, &centre);
    if (mass < 0.0f) {
        mass = -mass * volume;
    }
    def->mass = mass;
    def->centre = centre;
    if (fullInertia) {
        if (mass >= FLT_MIN) {
            inertia.diagonal = OvpScale(inertia.diagonal, mass);
        }
        def->inertia = inertia.diagonal;
        def->orientation = inertia.orientation;
        def->flags |= ovpDYNDEF_FULLINERTIA;
    } else if (mass >= FLT_MIN) {
        const OvV3d& d = inertia.diagonal;
        def->scalarInertia = mass * std::fmin(d.x, std::fmin(d.y, d.z));
        def->flags &= ~static_cast<OvUInt32>(ovpDYNDEF_FULLINERTIA);
    }
    return volume >= FLT_MIN ? mass / volume : FLT_MAX;
}
