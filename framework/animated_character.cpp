#include "framework/animated_character.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "framework/framework.h"
#include "framework/read_faults.h"
#include "graphics/core/frame.h"
#include "graphics/plugins/anim.h"
#include "graphics/plugins/anim_hierarchy.h"
#include "graphics/plugins/skin.h"
#include "graphics/plugins/skin_d3d9.h"
#include "graphics/world/clump.h"
#include "graphics/world/geometry.h"

namespace {

CAnimationCommandPool* g_pool = nullptr;
// Every animator alive, whose commands come from the pool.
std::vector<CCharacterAnimator*> g_animators;

// Depth-first over the frames below `parent`: a frame holding a hierarchy is taken and ends the
// walk of its own sibling list (its subtree is not searched); a frame without one is searched
// before its next sibling. The last hierarchy taken wins.
void FindInChildren(OvFrame* parent, OvAnimHierarchy** found) {
    struct Walk {
        static OvFrame* Visit(OvFrame* child, void* data) {
            auto** out = static_cast<OvAnimHierarchy**>(data);
            if (OvAnimHierarchy* h = OvFrameGetAnimHierarchy(child)) {
                *out = h;
                return nullptr; // stops this sibling list
            }
            FindInChildren(child, out);
            return child;
        }
    };
    OvFrameForAllChildren(parent, Walk::Visit, found);
}

// The hierarchy drives the atomic's skin; a skinned atomic is drawn (and skinned) by the
// skinned-atomic pipeline.
OvAtomic* SetSkinHierarchy(OvAtomic* atomic, void* data) {
    OvSkinAtomicSetHierarchy(atomic, static_cast<OvAnimHierarchy*>(data));
    OvGeometry* g = atomic->geometry;
    if (g != nullptr && OvSkinGeometryGetSkin(g) != nullptr && OvSkinGetAtomicPipeline() != nullptr) {
        atomic->pipeline = OvSkinGetAtomicPipeline();
    }
    return atomic;
}

OvAnimInterpolator* Interp(const CSkeletonBinding* binding) { return binding->Hierarchy()->currentAnim; }

} // namespace

// Skeleton binding.

CSkeletonBinding::CSkeletonBinding(const CSkeletonBinding& source) {
    const OvAnimHierarchy* from = source.hierarchy_;
    if (from == nullptr) {
        return;
    }
    OvAnimHierarchy* h = OvAnimHierarchyCreateFromHierarchy(from, from->flags & ~ovANIMHIERARCHYSUBHIERARCHY,
                                                            from->currentAnim->maxInterpKeyFrameSize);
    if (h == nullptr) {
        return;
    }
    h->parentFrame = from->parentFrame;
    h->parentHierarchy = from->parentHierarchy;
    h->rootParentOffset = from->rootParentOffset;
    // The scheme's callbacks, so that the copy can be blended into before it plays anything.
    h->currentAnim->keyFrameApplyCB = from->currentAnim->keyFrameApplyCB;
    h->currentAnim->keyFrameBlendCB = from->currentAnim->keyFrameBlendCB;
    h->currentAnim->keyFrameInterpolateCB = from->currentAnim->keyFrameInterpolateCB;
    h->currentAnim->keyFrameAddCB = from->currentAnim->keyFrameAddCB;
    h->currentAnim->currentInterpKeyFrameSize = from->currentAnim->currentInterpKeyFrameSize;
    hierarchy_ = h;
    owned_ = true;
}

CSkeletonBinding::~CSkeletonBinding() { Release(); }

bool CSkeletonBinding::FindHierarchy(OvClump* clump) {
    OvAnimHierarchy* found = nullptr;
    if (clump != nullptr) {
        FindInChildren(OvClumpGetFrame(clump), &found);
    }
    if (found == nullptr) {
        return false;
    }
    // The flags become 0x1000; a hierarchy made without a matrix array (or as a part of another's
    // arrays) keeps saying so, or its updates would write matrices it does not have.
    found->flags = kFoundHierarchyFlags | (found->flags & (ovANIMHIERARCHYSUBHIERARCHY | ovANIMHIERARCHYNOMATRICES));
    hierarchy_ = found;
    owned_ = false;
    return true;
}

bool CSkeletonBinding::Bind(OvClump* clump) {
    if (hierarchy_ == nullptr || clump == nullptr) {
        return false;
    }
    OvClumpForAllAtomics(clump, SetSkinHierarchy, hierarchy_);
    hierarchy_->flags |= kBoundHierarchyFlags;
    OvAnimHierarchyAttach(hierarchy_);
    return true;
}

bool CSkeletonBinding::Release() {
    if (owned_ && hierarchy_ != nullptr) {
        // A copy never sits in its parent frame's extension, and that frame may be gone with the
        // clump it came from: the copy forgets it before it goes.
        hierarchy_->parentFrame = nullptr;
        OvAnimHierarchyDestroy(hierarchy_);
    }
    hierarchy_ = nullptr;
    owned_ = false;
    return true;
}

// Animation commands and their pool.

void CAnimationCommand::Reset() {
    for (Entry& e : entries) {
        e.animation = nullptr;
        e.weight = 0.0f;
    }
    count = 0;
    loop = 1;
    speed = 1.0f;
}

void CAnimationCommand::SetEntry(int i, OvAnimation* animation, float weight) {
    if (i < 0 || i >= kCommandEntries) {
        return;
    }
    entries[i].animation = animation;
    entries[i].weight = weight;
    if (count < i + 1) {
        count = i + 1;
    }
}

CAnimationCommandPool* CAnimationCommandPool::Instance() { return g_pool; }

CAnimationCommand* CAnimationCommandPool::Take() {
    for (CAnimationCommand& c : records_) {
        if (c.free) {
            c.Reset();
            c.free = 0;
            return &c;
        }
    }
    return nullptr;
}

void CAnimationCommandPool::GiveBack(CAnimationCommand* command) {
    if (command >= records_ && command < records_ + kAnimationCommandPoolSize) {
        command->free = 1;
    }
}

int CAnimationCommandPool::FreeCount() const {
    int n = 0;
    for (const CAnimationCommand& c : records_) {
        n += c.free ? 1 : 0;
    }
    return n;
}

void CAnimationCommandPool::MakeWorkspaces(const CSkeletonBinding& skeleton) {
    if (workspacesMade_) {
        return;
    }
    workspacesMade_ = true;
    for (CAnimationCommand& c : records_) {
        for (CAnimationCommand::Entry& e : c.entries) {
            e.workspace = new CSkeletonBinding(skeleton);
        }
    }
}

CAnimationCommandPool::~CAnimationCommandPool() {
    for (CAnimationCommand& c : records_) {
        for (CAnimationCommand::Entry& e : c.entries) {
            if (e.workspace != nullptr) {
                e.workspace->Release();
                delete e.workspace;
                e.workspace = nullptr;
            }
        }
    }
}

void DestroyAnimationCommandPool() {
    for (CCharacterAnimator* animator : g_animators) {
        for (CCharacterAnimator::Channel& c : animator->channels_) {
            c.command = nullptr;
        }
    }
    delete g_pool;
    g_pool = nullptr;
}

// Animator.

CCharacterAnimator::CCharacterAnimator() {
    if (g_pool == nullptr) {
        g_pool = new CAnimationCommandPool;
    }
    g_animators.push_back(this);
}

CCharacterAnimator::~CCharacterAnimator() {
    DropWorkspaces();
    g_animators.erase(std::find(g_animators.begin(), g_animators.end(), this));
}

void CCharacterAnimator::SetUp(CSkeletonBinding* skeleton) {
    if (skeleton == nullptr || skeleton->Hierarchy() == nullptr) {
        return;
    }
    DropWorkspaces();
    skeleton_ = skeleton;
    for (int k = 0; k < 2; ++k) {
        Channel& c = channels_[(current_ + k) % 2];
        c.result = new CSkeletonBinding(*skeleton);
        c.blend1 = new CSkeletonBinding(*skeleton);
        c.blend2 = new CSkeletonBinding(*skeleton);
    }
    if (g_pool == nullptr) {
        g_pool = new CAnimationCommandPool;
    }
    g_pool->MakeWorkspaces(*skeleton);
}

bool CCharacterAnimator::Start(CAnimationCommand* command) {
    if (command == nullptr || command->Type() != CAnimationCommand::kAnimationCommandType) {
        return false;
    }
    bool playable = false;
    for (const CAnimationCommand::Entry& e : command->entries) {
        playable = playable || (e.weight != 0.0f && e.animation != nullptr);
    }
    if (!playable) {
        return false;
    }
    Channel& previous = channels_[1 - current_];
    if (previous.command != nullptr && previous.command != command && g_pool != nullptr) {
        g_pool->GiveBack(previous.command);
    }
    previous.command = nullptr;
    current_ = 1 - current_;
    Channel& now = channels_[current_];
    now.command = command;
    if (skeleton_ != nullptr && now.result != nullptr) {
        for (CAnimationCommand::Entry& e : command->entries) {
            if (e.weight == 0.0f || e.animation == nullptr) {
                continue;
            }
            if (e.workspace != nullptr && e.workspace->Hierarchy() != nullptr) {
                OvAnimInterpolatorSetCurrentAnim(Interp(e.workspace), e.animation);
            }
            OvAnimInterpolatorSetCurrentAnim(Interp(skeleton_), e.animation);
            OvAnimInterpolatorSetCurrentAnim(Interp(now.result), e.animation);
            OvAnimInterpolatorSetCurrentAnim(Interp(now.blend1), e.animation);
            OvAnimInterpolatorSetCurrentAnim(Interp(now.blend2), e.animation);
        }
    }
    blendWeight_ = 0.0f;
    return true;
}

void CCharacterAnimator::PoseCommand(const CAnimationCommand* command, CSkeletonBinding* result,
                                     CSkeletonBinding* blend1, CSkeletonBinding* blend2) {
    const CAnimationCommand::Entry* e[kCommandEntries] = {};
    int n = 0;
    for (const CAnimationCommand::Entry& entry : command->entries) {
        if (entry.animation != nullptr && entry.workspace != nullptr && entry.workspace->Hierarchy() != nullptr) {
            e[n++] = &entry;
        }
    }
    if (n == 1) {
        OvAnimInterpolatorCopy(Interp(result), Interp(e[0]->workspace));
    } else if (n == 2) {
        OvAnimInterpolatorBlend(Interp(result), Interp(e[0]->workspace), Interp(e[1]->workspace), e[0]->weight);
    } else if (n == 4) {
        const float first = e[0]->weight + e[1]->weight;
        const float second = e[2]->weight + e[3]->weight;
        // An all-zero pair takes its first entry.
        const float t1 = first != 0.0f ? e[0]->weight / first : 0.0f;
        const float t2 = second != 0.0f ? e[2]->weight / second : 0.0f;
        OvAnimInterpolatorBlend(Interp(blend1), Interp(e[0]->workspace), Interp(e[1]->workspace), t1);
        OvAnimInterpolatorBlend(Interp(blend2), Interp(e[2]->workspace), Interp(e[3]->workspace), t2);
        OvAnimInterpolatorBlend(Interp(result), Interp(blend1), Interp(blend2), first);
    }
    // Three entries leave the result as it was.
}

void CCharacterAnimator::Update(float dt) {
    if (!IsSetUp()) {
        return;
    }
    for (Channel& c : channels_) {
        if (c.command == nullptr) {
            continue;
        }
        const float step = dt * c.command->speed;
        for (CAnimationCommand::Entry& e : c.command->entries) {
            if (e.animation != nullptr && e.workspace != nullptr && e.workspace->Hierarchy() != nullptr) {
                OvAnimInterpolatorAddAnimTime(Interp(e.workspace), step);
            }
        }
    }
    blendWeight_ += dt * blendRate_;
    if (blendWeight_ > 1.0f) {
        blendWeight_ = 1.0f;
    }
    Channel& now = channels_[current_];
    Channel& before = channels_[1 - current_];
    if (now.command == nullptr) {
        return;
    }
    PoseCommand(now.command, now.result, now.blend1, now.blend2);
    if (blendWeight_ < 1.0f && before.command != nullptr) {
        PoseCommand(before.command, before.result, before.blend1, before.blend2);
        // The previous pose carries 1 - weight.
        OvAnimInterpolatorBlend(Interp(skeleton_), Interp(before.result), Interp(now.result), blendWeight_);
    } else {
        OvAnimInterpolatorCopy(Interp(skeleton_), Interp(now.result));
    }
    OvAnimHierarchyUpdateMatrices(skeleton_->Hierarchy());
}

void CCharacterAnimator::DropWorkspaces() {
    for (Channel& c : channels_) {
        for (CSkeletonBinding** w : {&c.result, &c.blend1, &c.blend2}) {
            delete *w;
            *w = nullptr;
        }
    }
}

bool CCharacterAnimator::Release() {
    for (Channel& c : channels_) {
        if (c.command != nullptr && g_pool != nullptr) {
            g_pool->GiveBack(c.command);
        }
        c.command = nullptr;
    }
    DropWorkspaces();
    skeleton_ = nullptr;
    return true;
}

// Animated character.

CAnimatedCharacter::CAnimatedCharacter() = default;

CAnimatedCharacter::~CAnimatedCharacter() {
    CCharacterAnimator::Release();
    ReleaseBody();
    for (CClumpObject*& o : attached_) {
        delete o;
        o = nullptr;
    }
}

void CAnimatedCharacter::SetPosition(const OvV3d& position) { CClumpObject::SetPosition(position); }

bool CAnimatedCharacter::LoadClump(const char* fileName) {
    if (!CClumpObject::LoadClump(fileName)) {
        return false;
    }
    if (!FindHierarchy(clump_)) {
        if (FirstFaultOf(fileName)) {
            FileErrorBox(fileName, std::string("Can not load clump in file ") + fileName +
                                       "\n please check your data\nThe model in '" + fileName +
                                       "' has no animation hierarchy for a character's skeleton: it is damaged or "
                                       "not a character's model.");
        }
        return false;
    }
    Bind(clump_);
    SetUp(this);
    return true;
}

bool CAnimatedCharacter::Setup(const OvV3d& position) {
    SetName(nullptr);
    return CharacterMotionBody::Setup(this, position);
}

void CAnimatedCharacter::Update(float dt) {
    CharacterMotionBody::Update(dt);
    if (animate_) {
        CCharacterAnimator::Update(dt);
    }
}

void CAnimatedCharacter::RenderInfo(CFont* /*font*/) {}

bool CAnimatedCharacter::Release() {
    // The animator goes first: its workspaces share the clump's frames.
    CCharacterAnimator::Release();
    Destroy();
    CSkeletonBinding::Release();
    ReleaseBody();
    for (CClumpObject*& o : attached_) {
        if (o != nullptr) {
            o->Destroy();
            delete o;
            o = nullptr;
        }
    }
    return true;
}

const OvMatrix* CAnimatedCharacter::GetBoneMatrix(int i) const {
    const OvAnimHierarchy* h = Hierarchy();
    if (h == nullptr || h->pMatrixArray == nullptr || i < 0 || i >= h->numNodes) {
        return nullptr;
    }
    return &h->pMatrixArray[i];
}

int CAnimatedCharacter::BoneCount() const { return Hierarchy() != nullptr ? Hierarchy()->numNodes : 0; }
