#include "ai/runtime/entity_attribute.h"

#include "ai/runtime/action.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/world.h"

#include <cmath>

CEntityAttributeDesc CEntityEyePosition::s_desc("CEntityEyePosition", &CEntityEyePosition::Create);
CEntityAttributeDesc CEntityGunPosition::s_desc("CEntityGunPosition", &CEntityGunPosition::Create);
CEntityAttributeDesc CEntityKneePosition::s_desc("CEntityKneePosition", &CEntityKneePosition::Create);
CEntityAttributeDesc CEntityHeadDirection::s_desc("CEntityHeadDirection", &CEntityHeadDirection::Create);
CEntityAttributeDesc CEntityHeight::s_desc("CEntityHeight", &CEntityHeight::Create);
CEntityAttributeDesc CEntityWidth::s_desc("CEntityWidth", &CEntityWidth::Create);
CEntityAttributeDesc CEntityMaxSpeed::s_desc("CEntityMaxSpeed", &CEntityMaxSpeed::Create);
CEntityAttributeDesc CEntityVisualAcuteness::s_desc("CEntityVisualAcuteness", &CEntityVisualAcuteness::Create);
CEntityAttributeDesc CEntityHearingAcuteness::s_desc("CEntityHearingAcuteness", &CEntityHearingAcuteness::Create);
CEntityAttributeDesc CEntityTeamSide::s_desc("CEntityTeamSide", &CEntityTeamSide::Create);
CEntityAttributeDesc CEntityHealth::s_desc("CEntityHealth", &CEntityHealth::Create);

CEntityHeight::CEntityHeight() { value = 1.8f * Vusk::GetCurrentOneMeter(); }

CEntityWidth::CEntityWidth() { value = 0.7f * Vusk::GetCurrentOneMeter(); }

CEntityMaxSpeed::CEntityMaxSpeed() { value = 0.5f * Vusk::GetCurrentOneMeter(); }

CEntityVisualAcuteness::CEntityVisualAcuteness() {
    range = 100.0f * Vusk::GetCurrentOneMeter();
    angle = 60.0f;
}

void CEntityVisualAcuteness::SetAngle(float degrees) {
    if (degrees < 0.0f)
        angle = 0.0f;
    else if (degrees <= 360.0f)
        angle = degrees;
    else
        angle = 360.0f; // above 360, or not a number
}

void CEntityVisualAcuteness::Assign(const CEntityVisualAcuteness& other) {
    range = other.range >= 0.0f ? other.range : 0.0f;
    SetAngle(other.angle);
}

void CEntityHearingAcuteness::Assign(const CEntityHearingAcuteness& other) {
    value = other.value >= 0.0f ? other.value : 0.0f;
}

bool Vusk::CheckActionAndAttributeClasses() {
    const CClassDescBase* classes[] = {
        &CActionTorsoRotate::s_desc,     &CActionHeadRotate::s_desc,
        &CActionRotate::s_desc,          &CActionSpeed::s_desc,
        &CActionAcceleration::s_desc,    &CActionSteering::s_desc,
        &CActionCrouch::s_desc,          &CActionJump::s_desc,
        &CActionActivate::s_desc,        &CActionShoot::s_desc,
        &CEntityEyePosition::s_desc,     &CEntityHeadDirection::s_desc,
        &CEntityGunPosition::s_desc,     &CEntityHearingAcuteness::s_desc,
        &CEntityHeight::s_desc,          &CEntityKneePosition::s_desc,
        &CEntityMaxSpeed::s_desc,        &CEntityTeamSide::s_desc,
        &CEntityVisualAcuteness::s_desc, &CEntityWidth::s_desc,
    };
    for (const CClassDescBase* desc : classes)
        if (desc->GetIndex() == -1)
            return false;
    return true;
}

bool Vusk::IsPointInEntityView(const CVector3& point, const CEntity* entity) {
    if (entity == nullptr)
        return false;
    const auto* eye = entity->FindAttribute<CEntityEyePosition>();
    const auto* head = entity->FindAttribute<CEntityHeadDirection>();
    const auto* vision = entity->FindAttribute<CEntityVisualAcuteness>();
    const CVector3& viewpoint = eye != nullptr ? eye->value : entity->GetPosition();
    const CVector3& direction = head != nullptr ? head->value : entity->GetDirection();
    const float angle = vision != nullptr ? vision->angle : 180.0f;
    return Vusk::IsInVisionCone(point, viewpoint, direction, angle, -1.0f);
}
