#include "demo/default_classes.h"

#include <algorithm>
#include <cmath>

#include "ai/runtime/action.h"
#include "ai/runtime/entity_attribute.h"
#include "ai/runtime/world.h"
#include "demo/demo_character.h"

CEntityClassDesc CDefaultEntityClass::s_desc("CDefaultEntityClass", &CDefaultEntityClass::Create, nullptr);
CActionClassDesc CDefaultActionClass::s_desc("CDefaultActionClass", &CDefaultActionClass::Create);

namespace {

float Clamp4(float value) { return std::clamp(value, -4.0f, 4.0f); }

float HeadingOf(const CVector3& direction) { return Vusk::DirectionToAngle(direction).y; }

} // namespace

// --- CDefaultEntityClass ---

CEntity* CDefaultEntityClass::Create(const char* name, void* hostObject) {
    return new CDefaultEntityClass(name, static_cast<IDemoCharacter*>(hostObject));
}

CDefaultEntityClass::CDefaultEntityClass(const char* name, IDemoCharacter* character)
    : CEntity(name, character), m_character(character) {
    auto* maxSpeed = static_cast<CEntityMaxSpeed*>(CreateAttribute(&CEntityMaxSpeed::s_desc));
    auto* width = static_cast<CEntityWidth*>(CreateAttribute(&CEntityWidth::s_desc));
    auto* height = static_cast<CEntityHeight*>(CreateAttribute(&CEntityHeight::s_desc));
    CreateAttribute(&CEntityHeadDirection::s_desc);
    CreateAttribute(&CEntityGunPosition::s_desc);
    CreateAttribute(&CEntityEyePosition::s_desc);
    auto* vision = static_cast<CEntityVisualAcuteness*>(CreateAttribute(&CEntityVisualAcuteness::s_desc));
    auto* health = static_cast<CEntityHealth*>(CreateAttribute(&CEntityHealth::s_desc));
    if (character == nullptr)
        return;
    if (maxSpeed != nullptr) {
        character->SetMovementState(IDemoCharacter::kRun);
        maxSpeed->value = 2.0f * character->GetSpeed();
    }
    if (width != nullptr)
        width->value = character->GetProfileWidth();
    if (height != nullptr)
        height->value = character->GetProfileHeight();
    if (vision != nullptr) {
        vision->SetAngle(90.0f);
        const float range = 60.0f * Vusk::GetCurrentOneMeter();
        vision->range = range < 0.0f ? 0.0f : range;
    }
    if (health != nullptr) {
        health->health = static_cast<std::int32_t>(character->GetHealth());
        health->maxHealth = health->health;
    }
}

bool CDefaultEntityClass::Init(CConfigNode*) { return true; }

const CEntityClassDesc* CDefaultEntityClass::GetClassDesc() const { return &s_desc; }

void CDefaultEntityClass::Update() { UpdateFromCharacter(); }

void CDefaultEntityClass::UpdateFromCharacter() {
    if (m_character == nullptr)
        return;
    const DemoCharacterFrame frame = m_character->GetFrame();
    const float halfHeight = 0.5f * m_character->GetProfileHeight();
    const CVector3 position = frame.position + CVector3(0.0f, halfHeight, 0.0f);
    SetPosition(position);

    float forward = m_character->GetForward();
    const float sideways = m_character->GetSideways();
    SetSpeed(std::sqrt(forward * forward + sideways * sideways) * m_character->GetSpeed());
    if (forward == 0.0f && sideways == 0.0f)
        forward = 1.0f; // standing: the direction is the way it faces
    CVector3 direction = frame.at * forward + frame.right * sideways;
    direction.y = 0.0f;
    // A character facing straight up or down has no horizontal direction: keep the last one.
    const float length = direction.Length();
    if (length > 0.0f) {
        direction = direction * (1.0f / length);
        SetDirection(direction);
        SetAngles(Vusk::DirectionToAngle(direction));
    }

    if (auto* gun = FindAttribute<CEntityGunPosition>())
        gun->value = m_character->GetMuzzle();
    if (auto* health = FindAttribute<CEntityHealth>())
        health->health = static_cast<std::int32_t>(m_character->GetHealth());
    if (auto* eye = FindAttribute<CEntityEyePosition>())
        eye->value = position + CVector3(0.0f, halfHeight, 0.0f);
    CVector3 up;
    // A skeleton without the head bone keeps the last head direction.
    if (auto* head = FindAttribute<CEntityHeadDirection>(); head != nullptr && m_character->GetBoneUp(kHeadBone, &up)) {
        const float upLength = up.Length();
        if (upLength > 0.0f)
            head->value = up * (1.0f / upLength);
    }
}

// --- CDefaultActionClass ---

CActionClass* CDefaultActionClass::Create() { return new CDefaultActionClass(); }

CDefaultActionClass::CDefaultActionClass() {
    m_rotate = static_cast<CActionRotate*>(CreateAction(&CActionRotate::s_desc));
    m_speed = static_cast<CActionSpeed*>(CreateAction(&CActionSpeed::s_desc));
    m_torsoRotate = static_cast<CActionTorsoRotate*>(CreateAction(&CActionTorsoRotate::s_desc));
    m_shoot = static_cast<CActionShoot*>(CreateAction(&CActionShoot::s_desc));
    m_crouch = static_cast<CActionCrouch*>(CreateAction(&CActionCrouch::s_desc));
}

const CActionClassDesc* CDefaultActionClass::GetClassDesc() const { return &s_desc; }

void CDefaultActionClass::Apply(CEntity* entity) {
    if (entity == nullptr || entity->GetClassDesc() != &CDefaultEntityClass::s_desc)
        return;
    IDemoCharacter* c = static_cast<CDefaultEntityClass*>(entity)->GetCharacter();
    if (c == nullptr || m_speed == nullptr || m_rotate == nullptr || m_torsoRotate == nullptr || m_shoot == nullptr ||
        m_crouch == nullptr)
        return;
    const float h = entity->GetAngles().y;
    const float oneMeter = Vusk::GetCurrentOneMeter();
    auto aim = [&] { c->SetAimPoint(entity->GetPosition() + m_shoot->direction * (100.0f * oneMeter)); };

    const float s = m_speed->set ? m_speed->value : 0.0f;
    c->SetMovementState(IDemoCharacter::kRun);
    // Against twice the running speed; a profile that cannot run gives no speed at all.
    const float running = c->GetSpeed();
    float ratio = running > 0.0f ? s / (2.0f * running) : 0.0f;
    const bool torso = m_torsoRotate->set != 0;
    if (torso && ratio >= 0.5f) {
        ratio = 0.49f;
    } else if (ratio == 0.0f && m_shoot->set) {
        // Standing to shoot: aim when facing the target within 45 degrees, else turn on the spot
        // (and, once turning, until within 5 degrees).
        const float a = HeadingOf(m_shoot->direction);
        const float e = std::fabs(CVector3::WrapAngle180(a - h));
        bool turnOnSpot = false;
        if (m_turning) {
            if (e < 5.0f)
                m_turning = 0;
            turnOnSpot = m_turning && e > 5.0f;
        }
        if (!turnOnSpot && e > 45.0f)
            turnOnSpot = true;
        if (turnOnSpot) {
            c->SetMovementState(IDemoCharacter::kTurnToAim);
            c->SetForward(0.0f);
            c->SetSideways(0.0f);
            c->SetTurnRate(Clamp4(CVector3::WrapAngle180(a - h) / 30.0f));
            m_turning = 1;
            return;
        }
        c->SetMovementState(m_crouch->set && m_crouch->value ? IDemoCharacter::kCrouchedAim
                                                             : IDemoCharacter::kStandingAim);
        aim();
        if (m_shoot->fire)
            c->SetFiring();
        return;
    } else if (ratio == 0.0f || ratio >= 0.5f) {
        if (ratio == 0.0f) {
            c->SetMovementState(IDemoCharacter::kWalk);
            c->SetForward(0.0f);
        } else {
            c->SetMovementState(IDemoCharacter::kRun);
            c->SetForward(0.5f);
        }
        c->SetSideways(0.0f);
        const float target = m_rotate->set ? m_rotate->value : h;
        c->SetTurnRate(Clamp4(CVector3::WrapAngle180(target - h) * 0.1f));
        return;
    }

    // Walking: slowly, or with the torso turned towards torsoRotate while the legs go the way of
    // the rotate action.
    const float target = m_rotate->set ? m_rotate->value : h;
    c->SetMovementState(IDemoCharacter::kWalk);
    if (torso) {
        const float t = m_torsoRotate->angle1;
        const float b = HeadingOf(c->GetFrame().at);
        c->SetTurnRate(Clamp4(CVector3::WrapAngle180(t - b) * 0.1f));
        const float m = CVector3::WrapAngle180(target - t) * (3.141592f / 180.0f);
        c->SetForward(std::cos(m) * ratio * 4.0f);
        c->SetSideways(std::sin(m) * ratio * 4.0f);
        if (m_shoot->set && m_shoot->fire) {
            c->SetMovementState(IDemoCharacter::kTurnToAim);
            aim();
            c->SetFiring();
        }
        return;
    }
    c->SetForward(0.75f);
    c->SetSideways(0.0f);
    c->SetTurnRate(Clamp4(CVector3::WrapAngle180(target - h) * 0.05f));
}
