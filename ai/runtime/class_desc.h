#pragma once
// Class descriptors and their registries.
//
// Everything the configuration names by a "Class" value is created through a class
// descriptor: a static object, one per class, that carries the class name, a create function
// and a parent descriptor, and registers itself in the registry of its family while the
// program starts. Creating an object from configuration is a lookup of the name (exact,
// case-sensitive) in the family's registry followed by a call of the create function.
// The parent links give the is-kind-of relation used by service look-ups.
//
// Each family's registry is a function-local static with constant initialisation, so
// descriptors may register from any static initialiser. Descriptors can also be registered
// in a registry of the caller's own (for classes that must not appear in the engine-wide
// tables, such as test classes); a descriptor leaves its registry slot when it is destroyed.

#include <cstddef>
#include <cstdint>

class CAgent;
class CAction;
class CActionClass;
class CBrain;
class CConstraint;
class CEntity;
class CEntityAttribute;
class CGlobalService;
class CGraphData;
class CGraphWrapper;
class CHeuristic;
class CService;
class CSpatialGraph;
class CTeam;
class CClassDescBase;

// Hands out class bits 2, 4, 8, ..., 2^31, then 0 for ever; keeps the mask of the bits that
// classes asked to add (it starts at 1).
class CClassBitAllocator {
public:
    constexpr CClassBitAllocator() = default;

    std::uint32_t Next();
    void AddToMask(std::uint32_t bit) { m_mask |= bit; }
    std::uint32_t GetMask() const { return m_mask; }

private:
    std::uint32_t m_state = 1; // last bit handed out (1 before the first)
    std::uint32_t m_mask = 1;  // engine-wide class-bit mask
};

// 256 descriptor slots of one family.
class CClassRegistry {
public:
    static constexpr std::uint32_t kSlotCount = 256;

    constexpr CClassRegistry() = default;

    // Takes the slot of a registered descriptor of the same name, else the next free slot.
    // Returns the slot, or -1 when the registry is full.
    std::int32_t Register(CClassDescBase* desc);
    // Clears desc's slot when desc still holds it.
    void Unregister(const CClassDescBase* desc);
    // First descriptor whose name equals name exactly; null when none (or name is null).
    CClassDescBase* Find(const char* name) const;

    std::uint32_t GetCount() const { return m_count; }
    // Descriptor in slot i; null for an empty slot or i >= GetCount().
    CClassDescBase* GetAt(std::uint32_t i) const { return i < m_count ? m_slots[i] : nullptr; }

private:
    CClassDescBase* m_slots[kSlotCount] = {}; // descriptors by slot
    std::uint32_t m_count = 0;                // slots taken
};

class CClassDescBase {
public:
    // Names are at most 255 characters; longer names are cut.
    static constexpr std::size_t kNameSize = 256;

    CClassDescBase(const CClassDescBase&) = delete;
    CClassDescBase& operator=(const CClassDescBase&) = delete;
    virtual ~CClassDescBase();

    std::int32_t GetIndex() const { return m_index; }
    const char* GetName() const { return m_name; }
    const CClassDescBase* GetParentDesc() const { return m_parent; }
    std::uint32_t GetClassBit() const { return m_classBit; }

    // true when desc is this descriptor or one of its ancestors through the parent links.
    bool IsKindOf(const CClassDescBase* desc) const;

protected:
    // Copies the name and registers the descriptor in registry.
    CClassDescBase(CClassRegistry& registry, const char* name, const CClassDescBase* parent);
    // Requests a class bit when wanted; ORs it into the allocator's mask when addToMask.
    void TakeClassBit(CClassBitAllocator& bits, bool wanted, bool addToMask);

private:
    CClassRegistry* m_registry;     // registry the descriptor registered in
    std::int32_t m_index = -1;      // registry slot, -1 when the registry was full
    char m_name[kNameSize] = {};    // class name, NUL-terminated
    const CClassDescBase* m_parent; // parent class's descriptor or null
    std::uint32_t m_classBit = 0;   // class bit, 0 when the class has none
};

// Shape shared by every family: the create function type and the family's registry.
template <class Desc, class CreateFn> class CClassDescT : public CClassDescBase {
public:
    using CreateFunction = CreateFn;

    // Null for an abstract class: it can be found but creates nothing.
    CreateFn GetCreateFunction() const { return m_create; }
    const Desc* GetParent() const { return static_cast<const Desc*>(GetParentDesc()); }

    // The family's engine-wide registry.
    static CClassRegistry& GetRegistry() {
        static constinit CClassRegistry registry;
        return registry;
    }
    // Looks name up in the family's engine-wide registry.
    static Desc* Find(const char* name) { return Find(GetRegistry(), name); }
    static Desc* Find(const CClassRegistry& registry, const char* name) {
        return static_cast<Desc*>(registry.Find(name));
    }

protected:
    CClassDescT(CClassRegistry& registry, const char* name, CreateFn create, const Desc* parent)
        : CClassDescBase(registry, name, parent), m_create(create) {}

private:
    CreateFn m_create; // makes a new object of the class, or null
};

// Families built with (name, create, parent, class-bit-wanted, add-to-mask).
template <class Desc, class CreateFn> class CClassDescWithBit : public CClassDescT<Desc, CreateFn> {
public:
    CClassDescWithBit(const char* name, CreateFn create, const Desc* parent, bool wantClassBit, bool addToMask);
    CClassDescWithBit(CClassRegistry& registry, CClassBitAllocator& bits, const char* name, CreateFn create,
                      const Desc* parent, bool wantClassBit, bool addToMask)
        : CClassDescT<Desc, CreateFn>(registry, name, create, parent) {
        this->TakeClassBit(bits, wantClassBit, addToMask);
    }
};

// Families built with (name, create, parent); no class bit.
template <class Desc, class CreateFn> class CClassDescWithParent : public CClassDescT<Desc, CreateFn> {
public:
    CClassDescWithParent(const char* name, CreateFn create, const Desc* parent)
        : CClassDescWithParent(CClassDescT<Desc, CreateFn>::GetRegistry(), name, create, parent) {}
    CClassDescWithParent(CClassRegistry& registry, const char* name, CreateFn create, const Desc* parent)
        : CClassDescT<Desc, CreateFn>(registry, name, create, parent) {}
};

// Families built with (name, create); no parent, no class bit.
template <class Desc, class CreateFn> class CClassDescSimple : public CClassDescT<Desc, CreateFn> {
public:
    CClassDescSimple(const char* name, CreateFn create)
        : CClassDescSimple(CClassDescT<Desc, CreateFn>::GetRegistry(), name, create) {}
    CClassDescSimple(CClassRegistry& registry, const char* name, CreateFn create)
        : CClassDescT<Desc, CreateFn>(registry, name, create, nullptr) {}
};

class CActionClassDesc;

class CAgentDesc : public CClassDescWithBit<CAgentDesc, CAgent* (*)(CBrain* owner)> {
public:
    using CClassDescWithBit::CClassDescWithBit;
};
class CServiceDesc : public CClassDescWithBit<CServiceDesc, CService* (*)(CBrain* owner)> {
public:
    using CClassDescWithBit::CClassDescWithBit;
};
class CGlobalServiceDesc : public CClassDescWithBit<CGlobalServiceDesc, CGlobalService* (*)()> {
public:
    using CClassDescWithBit::CClassDescWithBit;
};
class CBrainDesc
    : public CClassDescWithBit<CBrainDesc, CBrain* (*)(CEntity* owner, const CActionClassDesc* actionClass)> {
public:
    using CClassDescWithBit::CClassDescWithBit;
};
class CTeamDesc : public CClassDescWithParent<CTeamDesc, CTeam* (*)(std::uint32_t memberCapacity, const char* name)> {
public:
    using CClassDescWithParent::CClassDescWithParent;
};
class CEntityClassDesc
    : public CClassDescWithParent<CEntityClassDesc, CEntity* (*)(const char* name, void* hostObject)> {
public:
    using CClassDescWithParent::CClassDescWithParent;
};
class CConstraintDesc : public CClassDescWithParent<CConstraintDesc, CConstraint* (*)()> {
public:
    using CClassDescWithParent::CClassDescWithParent;
};
class CGraphWrapperDesc : public CClassDescWithParent<CGraphWrapperDesc, CGraphWrapper* (*)()> {
public:
    using CClassDescWithParent::CClassDescWithParent;
};
class CHeuristicDesc : public CClassDescWithParent<CHeuristicDesc, CHeuristic* (*)()> {
public:
    using CClassDescWithParent::CClassDescWithParent;
};
class CActionClassDesc : public CClassDescSimple<CActionClassDesc, CActionClass* (*)()> {
public:
    using CClassDescSimple::CClassDescSimple;
};
class CActionDesc : public CClassDescSimple<CActionDesc, CAction* (*)()> {
public:
    using CClassDescSimple::CClassDescSimple;
};
class CEntityAttributeDesc : public CClassDescSimple<CEntityAttributeDesc, CEntityAttribute* (*)()> {
public:
    using CClassDescSimple::CClassDescSimple;
};
class CGraphDataDesc : public CClassDescSimple<CGraphDataDesc, CGraphData* (*)(CSpatialGraph* owner)> {
public:
    using CClassDescSimple::CClassDescSimple;
};

namespace Vusk {
// The engine-wide class-bit allocator, shared by every family.
CClassBitAllocator& GetClassBits();
// The engine-wide class-bit mask (bit 0 and the bits classes added).
std::uint32_t GetClassBitMask();
// true when objectDesc is desc or derives from it through the parent links.
bool IsKindOf(const CClassDescBase* objectDesc, const CClassDescBase* desc);
} // namespace Vusk

template <class Desc, class CreateFn>
CClassDescWithBit<Desc, CreateFn>::CClassDescWithBit(const char* name, CreateFn create, const Desc* parent,
                                                     bool wantClassBit, bool addToMask)
    : CClassDescWithBit(CClassDescT<Desc, CreateFn>::GetRegistry(), Vusk::GetClassBits(), name, create, parent,
                        wantClassBit, addToMask) {}
