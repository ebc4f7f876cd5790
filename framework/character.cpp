#include "framework/character.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>

#include "framework/camera_manager.h"
#include "framework/config_checks.h"
#include "framework/projectiles.h"
#include "framework/framework.h"
#include "framework/read_faults.h"
#include "framework/input_manager.h"
#include "framework/world_manager.h"
#include "graphics/core/frame.h"
#include "graphics/plugins/anim.h"
#include "graphics/shared/skel/win/skeleton.h"
#include "platform/crt.h"

bool g_lastShotSet = false;
OvV3d g_lastShotPosition = {0.0f, 0.0f, 0.0f};

namespace {

bool Is(const char* a, const char* b) { return _stricmp(a, b) == 0; }

void CopyText(char* out, std::size_t size, const char* text) { std::snprintf(out, size, "%s", text); }

// The walking group in the order the end-of-"Animations" check reports it, with the names its
// messages use; the alert group follows the same order from its own base.
constexpr int kCheckOrder[9] = {kAnimWalk,     kAnimForwardLeft,  kAnimForwardRight,
                                kAnimIdle,     kAnimStrafeLeft,   kAnimStrafeRight,
                                kAnimBackward, kAnimBackwardLeft, kAnimBackwardRight};
constexpr const char* kWalkMessageNames[9] = {"Walk",         "WalkLeft",         "WalkRight",
                                              "Idle",         "StrafeLeft",       "StrafeRight",
                                              "WalkBackward", "WalkBackwardLeft", "WalkBackwardRight"};
constexpr const char* kAlertMessageNames[9] = {"WalkAlert",         "WalkAlertLeft",         "WalkAlertRight",
                                               "IdleAlert",         "StrafeAlertLeft",       "StrafeAlertRight",
                                               "WalkAlertBackward", "WalkAlertBackwardLeft", "WalkAlertBackwardRight"};

// The cache: slots in order of first use; emptied slots stay empty.
CachedAnimation* g_cache[kMaxCachedAnimations] = {};
int g_cacheCount = 0;

CCharacterProfile* g_profiles[kMaxCharacterProfiles] = {};
int g_profileCount = 0;

CCharacter* g_characters[kMaxCharacters] = {};
int g_characterCount = 0;

bool IsCharacterBody(const OvpObj* object) {
    for (int i = 0; i < g_characterCount; ++i) {
        if (g_characters[i]->Body() == object) {
            return true;
        }
    }
    return false;
}

// Whether every standard key of an animation has a finite time, rotation and translation within
// sensible bounds (keys of other schemes are not looked at).
bool KeysSensible(const OvAnimation* animation) {
    if (animation->interpInfo == nullptr) {
        return true;
    }
    if (!std::isfinite(animation->duration)) {
        return false;
    }
    if (animation->interpInfo->animKeyFrameSize != static_cast<OvInt32>(sizeof(OvAnimKeyFrame))) {
        return true;
    }
    const auto* keys = static_cast<const OvAnimKeyFrame*>(animation->pFrames);
    for (OvInt32 i = 0; i < animation->numFrames; ++i) {
        const OvAnimKeyFrame& k = keys[i];
        for (float v : {k.time, k.q.x, k.q.y, k.q.z, k.q.w, k.t.x, k.t.y, k.t.z}) {
            if (!WithinReach(v)) {
                return false;
            }
        }
    }
    return true;
}

float Dot(const OvV3d& a, const OvV3d& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

OvV3d Normalised(const OvV3d& v) {
    const float n = std::sqrt(Dot(v, v));
    return n > 0.0f ? OvV3d{v.x / n, v.y / n, v.z / n} : OvV3d{0.0f, 0.0f, 0.0f};
}

float Clamp(float v, float lo, float hi) { return v < lo ? lo : (v > hi ? hi : v); }

constexpr float kDegrees = 180.0f * 0.31830996f;
constexpr float kPerAimDegree = 0.022222223f; // 1 / 45

} // namespace

const char* CharacterAnimationName(int index) {
    return index >= 0 && index < kProfileAnimationCount ? kProfileAnimationNames[index] : "";
}

int CharacterAnimationFromName(const char* name) {
    for (int i = 0; name != nullptr && i < kProfileAnimationCount; ++i) {
        if (Is(name, kProfileAnimationNames[i])) {
            return i;
        }
    }
    return kAnimNone;
}

// Animation cache.

CachedAnimation* CAnimationCache::Get(const char* fileName) {
    if (g_cacheCount >= kMaxCachedAnimations) {
        ErrorBox("Too much animations ; please increase __ZUNAGE_ANIMATION_MAX_ANIMATIONS value");
        return nullptr;
    }
    for (int i = 0; i < g_cacheCount; ++i) {
        if (g_cache[i] != nullptr && Is(g_cache[i]->name.c_str(), fileName)) {
            ++g_cache[i]->references;
            return g_cache[i];
        }
    }
    char* path = SkelPathCreate(fileName);
    OvAnimation* animation = path != nullptr ? OvAnimationLoad(path) : nullptr;
    SkelPathDestroy(path);
    if (animation == nullptr) {
        return nullptr;
    }
    // Keys whose numbers are not finite, or far beyond any pose, would throw the character out
    // of the level: the file is damaged.
    if (!KeysSensible(animation)) {
        OvAnimationDestroy(animation);
        return nullptr;
    }
    auto* entry = new CachedAnimation;
    entry->name = fileName;
    entry->references = 1;
    entry->animation = animation;
    g_cache[g_cacheCount++] = entry;
    return entry;
}

void CAnimationCache::Release(CachedAnimation* entry) {
    for (int i = 0; entry != nullptr && i < g_cacheCount; ++i) {
        if (g_cache[i] == entry) {
            if (--entry->references == 0) {
                OvAnimationDestroy(entry->animation);
                delete entry;
                g_cache[i] = nullptr;
            }
            return;
        }
    }
}

int CAnimationCache::Count() { return g_cacheCount; }

void CAnimationCache::Clear() {
    for (int i = 0; i < g_characterCount; ++i) {
        g_characters[i]->CCharacterAnimator::Release();
    }
    for (int i = 0; i < g_profileCount; ++i) {
        for (CachedAnimation*& a : g_profiles[i]->animations) {
            a = nullptr;
        }
    }
    for (int i = 0; i < g_cacheCount; ++i) {
        if (g_cache[i] != nullptr) {
            OvAnimationDestroy(g_cache[i]->animation);
            delete g_cache[i];
            g_cache[i] = nullptr;
        }
    }
    g_cacheCount = 0;
}

// Profiles.

CCharacterProfile::CCharacterProfile(const char* profileName, float profileScale)
    : place(ConfigPlace()), scale(profileScale) {
    CopyText(name, sizeof name, profileName != nullptr ? profileName : "");
}

CCharacterProfile::~CCharacterProfile() {
    for (int i = 0; i < g_profileCount; ++i) {
        if (g_profiles[i] == this) {
            std::copy(g_profiles + i + 1, g_profiles + g_profileCount, g_profiles + i);
            g_profiles[--g_profileCount] = nullptr;
            break;
        }
    }
    // A character of the profile stops playing the animations the profile may have been the last
    // to hold.
    for (int i = 0; i < g_characterCount; ++i) {
        if (g_characters[i]->profile_ == this) {
            g_characters[i]->profile_ = nullptr;
            g_characters[i]->CCharacterAnimator::Release();
        }
    }
    for (CachedAnimation*& a : animations) {
        CAnimationCache::Release(a);
        a = nullptr;
    }
}

CCharacterProfile* CCharacterProfile::Find(const char* profileName) {
    for (int i = 0; profileName != nullptr && i < g_profileCount; ++i) {
        if (Is(g_profiles[i]->name, profileName)) {
            return g_profiles[i];
        }
    }
    return nullptr;
}

bool CCharacterProfile::Add(CCharacterProfile* profile) {
    if (g_profileCount >= kMaxCharacterProfiles) {
        ErrorBox("Too much character profiles.\nPlease increase MAX_CHARACTER_PROFILES value");
        return false;
    }
    g_profiles[g_profileCount++] = profile;
    return true;
}

int CCharacterProfile::Count() { return g_profileCount; }

CCharacterProfile* CCharacterProfile::Get(int i) { return i >= 0 && i < g_profileCount ? g_profiles[i] : nullptr; }

void CCharacterProfile::DestroyAll() {
    // Each profile leaves the table as it is deleted.
    while (g_profileCount > 0) {
        delete g_profiles[g_profileCount - 1];
    }
}

OvAnimation* CCharacterProfile::Animation(int index) const {
    if (index < 0 || index >= kProfileAnimationCount || animations[index] == nullptr) {
        return nullptr;
    }
    return animations[index]->animation;
}

bool CCharacterProfile::StartElement(const char* element, const char** attributes) {
    // Reads float attributes in order; the first missing one shows its message.
    auto floats = [&](const char* section, std::initializer_list<std::pair<const char*, float*>> wanted, int first,
                      bool noBlank) {
        int position = first;
        for (const auto& [attribute, out] : wanted) {
            if (!ReadFloatAttribute(attribute, attributes, position++, out)) {
                std::string text = MissingAttributeMessage(attribute, section);
                if (noBlank) {
                    const std::string spaced = "' section.";
                    if (const auto at = text.find(spaced); at != std::string::npos) {
                        text.replace(at, spaced.size(), "'section.");
                    }
                }
                ErrorBox(text.c_str());
                return false;
            }
            // A size or speed outside its range stops the game: the box says which.
            if (LastNumberFate() == NumberFate::Refused) {
                return false;
            }
        }
        return true;
    };
    if (!inActions) {
        if (Is(element, "Geometry")) {
            const char* file = ReadTextAttribute("clump", attributes, 0);
            if (file == nullptr) {
                ConfigWarning("a 'Geometry' without its 'clump' first is left out: the character has no model");
                return false;
            }
            clump = file;
            NoteConfigFile(file, "clump");
            // The AI sees and places a character by its height and width (each above 0).
            return floats("Geometry", {{"heigth", &height}, {"width", &width}}, 1, false);
        }
        if (Is(element, "GlobalAnimator")) {
            if (!ReadFloatAttribute("transitionSpeed", attributes, 0, &transitionSpeed)) {
                ConfigWarning(
                    "a 'GlobalAnimator' without its 'transitionSpeed' is left out; the profile keeps its own");
                return false;
            }
            return true;
        }
        if (Is(element, "GlobalDynamics")) {
            if (!floats("GlobalDynamics",
                        {{"slideIntensity", &slideIntensity}, {"slideCreaseYComponent", &slideCreaseYComponent}}, 0,
                        true)) {
                return false;
            }
            if (!ReadIntAttribute("accuracy", attributes, 2, &accuracy)) {
                ErrorBox("'accuracy' attribute not found in 'GlobalDynamics'section.\nPlease update your XML file");
                return false;
            }
            if (!floats("GlobalDynamics", {{"sphereRadius", &sphereRadius}}, 3, true)) {
                return false;
            }
            const char* model = ReadTextAttribute("sphereModel", attributes, 4);
            if (model == nullptr) {
                ConfigWarning("a 'GlobalDynamics' without its 'sphereModel' at its place is read no further");
                return false;
            }
            sphereModel = model;
            NoteConfigFile(model, "sphereModel");
            return floats("GlobalDynamics", {{"gravity", &gravity}}, 5, false);
        }
        if (Is(element, "Actions")) {
            inActions = 1;
            if (actionsPlace.empty()) {
                actionsPlace = ConfigPlace();
            }
        }
        return true;
    }
    if (Is(element, "Animations")) {
        animationsPlace = ConfigPlace();
        return true;
    }
    if (Is(element, "Speeds")) {
        speedsRead = 1;
        // Each above 0: a character that does not move forward or sideways goes nowhere.
        return floats("Speeds",
                      {{"forwardRun", &forwardRun}, {"forwardWalk", &forwardWalk}, {"lateralWalk", &lateralWalk}}, 0,
                      false);
    }
    if (Is(element, "Animation")) {
        // Two attributes of any names: the animation's name and its file.
        const bool complete = attributes != nullptr && attributes[0] != nullptr && attributes[1] != nullptr &&
                              attributes[2] != nullptr && attributes[3] != nullptr;
        if (!complete) {
            ErrorBox("Attribute missing in 'Animation' definition\nPlease update your XML file");
            return false;
        }
        const int index = CharacterAnimationFromName(attributes[1]);
        if (index == kAnimNone) {
            // A name no character plays (a damaged name leaves the animation it stood for undefined).
            ConfigWarning(std::string("an 'Animation' named '") + attributes[1] +
                          "' is no animation a character plays; it is left out");
            return true;
        }
        animationFiles[index] = attributes[3];
        NoteConfigFile(attributes[3], attributes[2]);
        // A repeated name gives its earlier animation back to the cache.
        CAnimationCache::Release(animations[index]);
        TakeGraphicsReadCause(); // what an earlier read left
        animations[index] = CAnimationCache::Get(animationFiles[index].c_str());
        // An animation file both profiles name is said once.
        if (animations[index] == nullptr && FirstFaultOf(animationFiles[index])) {
            char text[200];
            std::snprintf(text, sizeof text, "Can not load '%s' animation\nPlease check your data",
                          kProfileAnimationNames[index]);
            FileErrorBox(animationFiles[index], std::string(text) + "\n" + FileReadFault(animationFiles[index]));
        }
        if (animations[index] == nullptr) {
            return false;
        }
    }
    return true;
}

std::string CCharacterProfile::NoAnimationText(int index) const {
    const std::string holder = !animationsPlace.empty() ? "its 'Animations' (" + animationsPlace + ")"
                               : !place.empty()         ? "its 'Character' section (" + place + ")"
                                                        : "its 'Character' section in " + std::string(LastConfigFileName());
    return "The character profile '" + std::string(name) + "' has no '" + kProfileAnimationNames[index] +
           "' animation: " + holder + " names none.";
}

bool CCharacterProfile::EndElement(const char* element) {
    if (Is(element, "Actions")) {
        inActions = 0;
    } else if (Is(element, "Character")) {
        // Without its "Speeds" a character does not move, without its "Animations" it plays
        // nothing (both sit in its "Actions"): said with the start of the element that should
        // hold them, not the end of the section.
        const std::string holder = !actionsPlace.empty() ? " (" + actionsPlace + ")"
                                   : place.empty()       ? ""
                                                         : " (its 'Character' section (" + place + ") has none)";
        SetConfigPlace(nullptr, 0);
        for (const auto& [read, what] :
             {std::pair{speedsRead, "'Speeds' inside its 'Actions'" + holder + ": it does not move"},
              {animationsRead, "'Animations' inside its 'Actions'" + holder + ": it plays no animation"}}) {
            if (read == 0) {
                ErrorBox(("The character profile '" + std::string(name) + "' has no " + what +
                          ".\nPlease update your XML file")
                             .c_str());
            }
        }
    } else if (Is(element, "Animations")) {
        animationsRead = 1;
        // Said with the start of the 'Animations' that should name it, not its end.
        if (!animationsPlace.empty()) {
            SetConfigPlace(nullptr, 0);
        }
        auto report = [&](const char* messageName, int index) {
            char text[200];
            std::snprintf(text, sizeof text, "'%s' animation definition not found in XML\nPlease update your XML file",
                          messageName);
            ErrorBox((text + (animationsPlace.empty() ? std::string() : "\n" + NoAnimationText(index)))
                         .c_str());
        };
        // An animation whose definition is there but whose file did not load was reported as
        // it was read: only those with no definition are reported here.
        auto undefined = [this](int index) { return animations[index] == nullptr && animationFiles[index].empty(); };
        for (int group = 0; group < 2; ++group) {
            const int shift = group == 0 ? 0 : kAnimAlertWalk - kAnimWalk;
            for (int k = 0; k < 9; ++k) {
                if (undefined(kCheckOrder[k] + shift)) {
                    report(group == 0 ? kWalkMessageNames[k] : kAlertMessageNames[k], kCheckOrder[k] + shift);
                }
            }
        }
        for (int i = kAnimCrouchAimUpLeft; i < kProfileAnimationCount; ++i) {
            if (undefined(i)) {
                char messageName[64];
                std::snprintf(messageName, sizeof messageName, "%sAnimation", kProfileAnimationNames[i]);
                report(messageName, i);
            }
        }
    }
    return true;
}

// Characters.

CCharacter::CCharacter() {
    if (g_characterCount >= kMaxCharacters) {
        ErrorBox("Too much characters.\nPlease increase MAX_CHARACTERS value");
        return;
    }
    g_characters[g_characterCount++] = this;
}

CCharacter::~CCharacter() {
    delete projectiles_; // detaches a table the character was not released from
    projectiles_ = nullptr;
    for (int i = 0; i < g_characterCount; ++i) {
        if (g_characters[i] != this && g_characters[i]->projectiles_ != nullptr) {
            g_characters[i]->projectiles_->ForgetTarget(this);
        }
    }
    for (int i = 0; i < g_characterCount; ++i) {
        if (g_characters[i] == this) {
            std::copy(g_characters + i + 1, g_characters + g_characterCount, g_characters + i);
            g_characters[--g_characterCount] = nullptr;
            break;
        }
    }
}

int CCharacter::Count() { return g_characterCount; }

CCharacter* CCharacter::Get(int i) { return i >= 0 && i < g_characterCount ? g_characters[i] : nullptr; }

bool CCharacter::InitFromProfile(const char* profileName, const OvV3d& position, const std::string& usedBy) {
    profile_ = CCharacterProfile::Find(profileName);
    if (profile_ == nullptr) {
        char text[400];
        std::snprintf(text, sizeof text,
                      "Can not find character profile definition '%s'\nplease check the 'Characters' section in "
                      "your XML file",
                      profileName != nullptr ? profileName : "");
        const std::string misspelt = UnknownElementInPlaceOf("Character");
        ErrorBox((std::string(text) + "\n" + LastConfigFileName() + " has no 'Character' section named '" +
                  (profileName != nullptr ? profileName : "") + "'" +
                  (usedBy.empty() ? "" : ", the profile of " + usedBy) +
                  (ConfigRootPlace().empty() ? "" : ": " + ConfigRootPlace() + " has none of that name") + "." +
                  (misspelt.empty() ? "" : "\n" + misspelt + "."))
                     .c_str());
        return false;
    }
    // A profile whose "Geometry" had no model file was refused as it was read: say it here.
    if (profile_->clump.empty()) {
        const std::string misspelt = UnknownElementInPlaceOf("Geometry");
        ErrorBox(
            (std::string("Can not load clump in file \n please check your data\nThe character profile '") +
             profile_->name + "' names no model: its 'Character' section" +
             (profile_->place.empty() ? " in " + std::string(LastConfigFileName()) : " (" + profile_->place + ")") +
             " has no 'Geometry' with a 'clump' file." + (misspelt.empty() ? "" : "\n" + misspelt + "."))
                .c_str());
        return false;
    }
    const bool bound = LoadClump(profile_->clump.c_str());
    if (GetClump() == nullptr) {
        return false;
    }
    SetScale(profile_->scale);
    Setup(position);
    SetDynamics({profile_->sphereRadius, profile_->slideIntensity, profile_->slideCreaseYComponent, profile_->accuracy,
                 profile_->gravity});
    // With a character's body among the bodies, the physics steps stage by stage and drops the
    // pairs of two characters' bodies: characters pass through each other.
    if (g_worldManager != nullptr) {
        g_worldManager->SetCharacterBodyTest(IsCharacterBody);
        g_worldManager->SetCustomStep(true);
    }
    if (projectiles_ == nullptr) {
        projectiles_ = new CProjectileTable;
        projectiles_->Attach(this);
    }
    return bound;
}

void CCharacter::SetPosition(const OvV3d& point) {
    CharacterMotionBody::SetPosition(point);
    CClumpObject::SetPosition(point);
}

OvV3d CCharacter::GetPosition() const {
    OvFrame* frame = GetFrame();
    return frame != nullptr ? OvFrameGetMatrix(frame)->pos : OvV3d{0.0f, 0.0f, 0.0f};
}

void CCharacter::Hit() {
    health_ -= inputControlled_ ? 1.5f : 5.0f;
    if (health_ < 0.0f) {
        health_ = 0.0f;
    }
}

void CCharacter::SetAimPoint(const OvV3d& point) {
    aimPoint_ = point;
    if (projectiles_ != nullptr) {
        projectiles_->SetAim(projectiles_->AimEnabled(), &point);
    }
}

bool CCharacter::GetMuzzle(OvV3d* position, OvV3d* right, OvV3d* up, OvV3d* at) const {
    const OvMatrix* bone = GetBoneMatrix(kHandBone);
    if (bone == nullptr) {
        return false;
    }
    const OvV3d r = Normalised(bone->right), u = Normalised(bone->up), a = Normalised(bone->at);
    const OvV3d p = bone->pos;
    *position = {p.x + r.x * 0.05f + u.x * 0.11f + a.x * 0.6f, p.y + r.y * 0.05f + u.y * 0.11f + a.y * 0.6f,
                 p.z + r.z * 0.05f + u.z * 0.11f + a.z * 0.6f};
    *right = r;
    *up = u;
    *at = a;
    return true;
}

void CCharacter::RenderProjectiles() {
    if (projectiles_ != nullptr) {
        projectiles_->Render();
    }
}

float CCharacter::GetSpeed() const {
    if (profile_ == nullptr) {
        return 0.0f;
    }
    return movementState == kMoveWalk ? profile_->forwardWalk : movementState == kMoveRun ? profile_->forwardRun : 0.0f;
}

void CCharacter::RenderInfo(CFont* font) { CAnimatedCharacter::RenderInfo(font); }

bool CCharacter::Release() {
    if (projectiles_ != nullptr) {
        projectiles_->Detach();
        delete projectiles_;
        projectiles_ = nullptr;
    }
    return CAnimatedCharacter::Release();
}

const char* CCharacter::CurrentAnimationName() const {
    const CAnimationCommand* c = CurrentCommand();
    if (c == nullptr) {
        return "";
    }
    if (c->count == 4) {
        return "AimPose";
    }
    for (int i = 0; profile_ != nullptr && i < kProfileAnimationCount; ++i) {
        if (profile_->Animation(i) != nullptr && profile_->Animation(i) == c->entries[0].animation) {
            return kProfileAnimationNames[i];
        }
    }
    return "";
}

CCharacter::WalkSector CCharacter::WalkSectorFor(float side, float ahead, std::int32_t state) {
    const float length = std::sqrt(side * side + ahead * ahead);
    float a = std::acos(Clamp(length > 0.0f ? side / length : 1.0f, -1.0f, 1.0f));
    if (ahead < 0.0f) {
        a = -a;
    }
    constexpr float k1 = 0.392699f, k3 = 1.178097f, k5 = 1.963495f, k7 = 2.748893f;
    WalkSector s{kAnimWalk, true, true, false};
    if (a >= k1 && a < k3) {
        s.animation = kAnimForwardLeft;
    } else if (a >= k3 && a < k5) {
        s = {kAnimWalk, true, false, false};
    } else if (a >= k5 && a < k7) {
        s.animation = kAnimForwardRight;
    } else if (a >= k7 || a < -k7) {
        s = {kAnimStrafeLeft, false, true, true};
    } else if (a < -k5) {
        s.animation = kAnimBackwardRight;
    } else if (a < -k3) {
        s.animation = kAnimBackward;
    } else if (a < -k1) {
        s.animation = kAnimBackwardLeft;
    } else {
        s = {kAnimStrafeRight, false, true, true};
    }
    if (state == kMoveAlert) {
        s.animation += kAnimAlertWalk - kAnimWalk;
    }
    return s;
}

CCharacter::AimBlend CCharacter::AimBlendFor(float yaw, float pitch) {
    const float a = Clamp(std::fabs(yaw) * kPerAimDegree, 0.01f, 0.99f);
    const float b = Clamp(std::fabs(pitch) * kPerAimDegree, 0.01f, 0.99f);
    const int side = yaw >= 0.0f ? kAimMiddleRight : kAimMiddleLeft;
    const float w0 = (1 - a) * b, w1 = a * b;
    AimBlend blend{};
    blend.poses[0] = side;
    blend.poses[1] = kAimMiddleFront;
    blend.weights[0] = w0;
    blend.weights[1] = w1;
    if (yaw >= 0.0f && pitch >= 0.0f) {
        blend.poses[2] = kAimUpFront;
        blend.poses[3] = kAimUpRight;
        blend.weights[2] = a * (1 - b);
        blend.weights[3] = (1 - a) * (1 - b);
    } else {
        const bool up = pitch >= 0.0f;
        blend.poses[2] = yaw >= 0.0f ? kAimDownRight : (up ? kAimUpLeft : kAimDownLeft);
        blend.poses[3] = up ? kAimUpFront : kAimDownFront;
        blend.weights[2] = (1 - a) * (1 - b);
        blend.weights[3] = a * (1 - b);
    }
    return blend;
}

bool CCharacter::AimAngles(const OvMatrix& frame, float eyeHeight, const OvV3d& aim, float* yaw, float* pitch) {
    const OvV3d eye = {frame.pos.x, frame.pos.y + eyeHeight, frame.pos.z};
    const OvV3d at = Normalised(frame.at), right = Normalised(frame.right), up = frame.up;
    const OvV3d d = Normalised({aim.x - eye.x, aim.y - eye.y, aim.z - eye.z});
    if (!(Dot(at, d) > 0.72f)) {
        return false;
    }
    const OvV3d h = Normalised({d.x, 0.0f, d.z});
    float y = std::acos(Clamp(Dot(h, at), -1.0f, 1.0f));
    if (Dot(right, h) < 0.0f) {
        y = -y;
    }
    y = Clamp(y * kDegrees, -45.0f, 45.0f);
    const float along = Dot(d, right);
    const OvV3d q = Normalised({d.x - along * right.x, d.y - along * right.y, d.z - along * right.z});
    float p = std::acos(Clamp(Dot(q, at), -1.0f, 1.0f));
    if (Dot(up, q) < 0.0f) {
        p = -p;
    }
    *yaw = -y;
    *pitch = Clamp(p * kDegrees, -45.0f, 45.0f);
    return true;
}

bool CCharacter::StartAimCommand(const AimBlend& blend, int groupBase) {
    CAnimationCommandPool* pool = CAnimationCommandPool::Instance();
    CAnimationCommand* command = pool != nullptr ? pool->Take() : nullptr;
    if (command == nullptr) {
        ErrorBox("No more animation command in animation command pool\n increase MAX_ANIMATION_COMMANDS to \n(max "
                 "characters in game) * 3");
        return false;
    }
    for (int k = 0; k < 4; ++k) {
        command->SetEntry(k, profile_->Animation(groupBase + blend.poses[k]), blend.weights[k]);
    }
    command->loop = 1;
    command->speed = 1.0f;
    if (!Start(command)) {
        pool->GiveBack(command);
        return false;
    }
    return true;
}

bool CCharacter::ChooseAimPose(float dt, int* single, float* speed) {
    const int groupBase = movementState == kMoveStandAim ? kAnimIdleAimUpLeft : kAnimCrouchAimUpLeft;
    *single = groupBase + kAimMiddleFront;
    *speed = 1.0f;
    if (inputControlled_ && g_cameraManager != nullptr) {
        OvV3d picked;
        if (g_cameraManager->PickPoint(&picked)) {
            aimPoint_ = picked;
            if (projectiles_ != nullptr) {
                projectiles_->SetAim(true, &picked);
            }
        }
    }
    OvFrame* frame = GetFrame();
    float yaw = 0.0f, pitch = 0.0f;
    if (projectiles_ == nullptr || frame == nullptr || profile_ == nullptr ||
        !AimAngles(*OvFrameGetMatrix(frame), profile_->scale, aimPoint_, &yaw, &pitch)) {
        return false;
    }
    const AimBlend blend = AimBlendFor(yaw, pitch);
    if (inputControlled_) {
        CAnimationCommand* current = CurrentCommand();
        bool same = current != nullptr && current->count == 4;
        for (int k = 0; same && k < 4; ++k) {
            same = current->entries[k].animation == profile_->Animation(groupBase + blend.poses[k]);
        }
        if (same) {
            for (int k = 0; k < 4; ++k) {
                current->entries[k].weight = blend.weights[k];
            }
        } else {
            StartAimCommand(blend, groupBase);
        }
    } else {
        aimPoseTimer_ += dt;
        if (aimPoseTimer_ > kAimRechoose) {
            StartAimCommand(blend, groupBase);
            aimPoseTimer_ = 0.0f;
        }
    }
    return true;
}

void CCharacter::SwitchAnimation(int animation, float speed) {
    switchTimer_ = 0.0f;
    CAnimationCommandPool* pool = CAnimationCommandPool::Instance();
    CAnimationCommand* command = pool != nullptr ? pool->Take() : nullptr;
    if (command == nullptr) {
        ErrorBox("No more animation command in animation command pool\n increase MAX_ANIMATION_COMMANDS to \n(max "
                 "characters in game) * 3");
        return;
    }
    OvAnimation* chosen = profile_ != nullptr ? profile_->Animation(animation) : nullptr;
    if (chosen == nullptr) {
        pool->GiveBack(command);
        std::string text = "Animation is missing in character profile\n please check your .ANM data";
        std::string key = "animation";
        if (profile_ != nullptr && animation >= 0 && animation < kProfileAnimationCount) {
            text += "\n" + profile_->NoAnimationText(animation);
            key = std::string(profile_->name) + "#" + kProfileAnimationNames[animation];
        }
        // Said once for a profile, however many of its characters miss it.
        if (FirstFaultOf(key)) {
            ErrorBox(text.c_str());
        }
        return;
    }
    command->loop = 1;
    command->speed = speed;
    command->SetEntry(0, chosen, 1.0f);
    if (!Start(command)) {
        pool->GiveBack(command);
    }
}

void CCharacter::Update(float dt) {
    // Dying: the figure shrinks by 2% for every whole unit of progress, until the progress passes 100.
    if (health_ <= 0.0f && !dead_) {
        dying_ = 1;
        deathProgress_ += dt * 200.0f;
        const auto reached = static_cast<std::int32_t>(deathProgress_);
        if (OvFrame* frame = GetFrame()) {
            const OvV3d shrink = {0.98f, 0.98f, 0.98f};
            for (; deathSteps_ < reached; ++deathSteps_) {
                OvFrameScale(frame, &shrink, ovCOMBINEPRECONCAT);
            }
        }
        deathSteps_ = std::max(deathSteps_, reached);
        if (deathProgress_ > 100.0f) {
            dead_ = true;
        }
    }

    float tf = 1.0f;
    if (inputControlled_) {
        CInputManager* input = CInputManager::GetInstance();
        sideways = input->SidewaysAxis();
        forward = input->ForwardAxis();
        movementState = input->Run() ? kMoveRun : kMoveWalk;
        turnRate = input->TurnAxis();
        if (input->Aim()) {
            movementState = kMoveStandAim;
        }
        firing_ = input->Fire() ? 1 : 0;
        if (g_cameraManager != nullptr && g_cameraManager->Mode() == kCameraFps) {
            tf = 3.0f;
            firing_ = input->LeftButton() ? 1 : 0;
            movementState = kMoveWalk;
            if (throwingMode) {
                firing_ = 0;
                if (input->LeftButton() && throwTimer_ > 1.0f) {
                    throwRequest_ = 1;
                    throwTimer_ = 0.0f;
                }
            }
            throwTimer_ += dt;
        }
        if (input->TakeKeypad0()) {
            jumpRequest = 1;
        }
    }
    if (dying_) {
        forward = sideways = turnRate = 0.0f;
        firing_ = 0;
    }
    if (firing_) {
        g_lastShotSet = true;
        g_lastShotPosition = GetPosition();
    }

    const float scale = profile_ != nullptr ? profile_->scale : 1.0f;
    int chosen = kAnimNone;
    float speed = 1.0f, forwardMotion = 0.0f, sidewaysMotion = 0.0f;
    bool fourPose = false;
    if (movementState == kMoveCrouchAim || movementState == kMoveStandAim) {
        fourPose = ChooseAimPose(dt, &chosen, &speed);
    } else if (movementState == kMoveRun) {
        if (forward <= 0.33f) {
            chosen = kAnimIdle;
        } else {
            chosen = kAnimRun;
            speed = 2.0f * std::fabs(forward);
            forwardMotion = forward * scale * 9.0f;
        }
    } else if (std::fabs(sideways) < 0.05f && std::fabs(forward) < 0.05f) {
        chosen = movementState == kMoveAlert ? kAnimAlertIdle : kAnimIdle;
    } else {
        const WalkSector s = WalkSectorFor(sideways, forward, movementState);
        chosen = s.animation;
        speed = s.strafe ? 2.5f * tf * std::fabs(sideways) : 2.0f * tf * std::fabs(forward);
        forwardMotion = s.useForward ? 2.0f * tf * forward * scale : 0.0f;
        sidewaysMotion = s.useSideways ? 2.0f * tf * sideways * scale : 0.0f;
    }
    chosen_ = fourPose ? kAnimNone : chosen;

    // Switch to the chosen single animation, at most every 0.1 s.
    switchTimer_ += dt;
    if (!fourPose && chosen != kAnimNone) {
        const CAnimationCommand* current = CurrentCommand();
        const OvAnimation* wanted = profile_ != nullptr ? profile_->Animation(chosen) : nullptr;
        const bool playing =
            current != nullptr && current->count == 1 && wanted != nullptr && current->entries[0].animation == wanted;
        if (!playing && switchTimer_ > kSwitchDelay) {
            SwitchAnimation(chosen, speed);
        }
    }

    if (jumpRequest) {
        RequestJump();
    }
    const bool aiming = movementState == kMoveCrouchAim || movementState == kMoveStandAim;
    SetMotion(aiming ? 0.0f : forwardMotion, aiming ? 0.0f : sidewaysMotion, aiming ? 0.0f : turnRate * 200.0f);

    CAnimatedCharacter::Update(dt);

    if (projectiles_ != nullptr) {
        const bool fps = inputControlled_ && g_cameraManager != nullptr && g_cameraManager->Mode() == kCameraFps;
        if (fps) {
            // First person: the shots leave the eye towards the point under the pointer, for this
            // update only.
            OvV3d picked;
            if (g_cameraManager->PickPoint(&picked)) {
                aimPoint_ = picked;
            }
            projectiles_->SetAim(true, &aimPoint_);
            projectiles_->SetUseMuzzle(false);
            projectiles_->SetFiring(firing_ != 0);
            if (throwRequest_) {
                const OvV3d from = GetPosition();
                ThrowRock(this, {aimPoint_.x - from.x, aimPoint_.y - from.y - kRockLift, aimPoint_.z - from.z});
            }
        } else {
            projectiles_->SetFiring(firing_ != 0 && (movementState == kMoveAlert || aiming));
        }
        projectiles_->Update(dt);
        projectiles_->SetUseMuzzle(true);
    }

    firing_ = 0;
    jumpRequest = 0;
    throwRequest_ = 0;
}
