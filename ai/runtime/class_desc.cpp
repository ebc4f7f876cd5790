#include "ai/runtime/class_desc.h"

#include <cstring>

std::uint32_t CClassBitAllocator::Next() {
    // Once bit 31 has been handed out the state stays 0.
    m_state <<= 1;
    return m_state;
}

std::int32_t CClassRegistry::Register(CClassDescBase* desc) {
    for (std::uint32_t i = 0; i < m_count; ++i) {
        if (m_slots[i] != nullptr && std::strcmp(m_slots[i]->GetName(), desc->GetName()) == 0) {
            m_slots[i] = desc;
            return static_cast<std::int32_t>(i);
        }
    }
    if (m_count == kSlotCount) {
        return -1;
    }
    m_slots[m_count] = desc;
    return static_cast<std::int32_t>(m_count++);
}

void CClassRegistry::Unregister(const CClassDescBase* desc) {
    std::int32_t index = desc->GetIndex();
    if (index >= 0 && static_cast<std::uint32_t>(index) < m_count && m_slots[index] == desc) {
        m_slots[index] = nullptr;
    }
}

CClassDescBase* CClassRegistry::Find(const char* name) const {
    if (name == nullptr) {
        return nullptr;
    }
    for (std::uint32_t i = 0; i < m_count; ++i) {
        if (m_slots[i] != nullptr && std::strcmp(m_slots[i]->GetName(), name) == 0) {
            return m_slots[i];
        }
    }
    return nullptr;
}

CClassDescBase::CClassDescBase(CClassRegistry& registry, const char* name, const CClassDescBase* parent)
    : m_registry(&registry), m_parent(parent) {
    if (name != nullptr) {
        std::size_t length = 0;
        while (length < kNameSize - 1 && name[length] != '\0') {
            ++length;
        }
        std::memcpy(m_name, name, length);
        m_name[length] = '\0';
    }
    m_index = registry.Register(this);
}

CClassDescBase::~CClassDescBase() { m_registry->Unregister(this); }

void CClassDescBase::TakeClassBit(CClassBitAllocator& bits, bool wanted, bool addToMask) {
    m_classBit = wanted ? bits.Next() : 0;
    if (addToMask) {
        bits.AddToMask(m_classBit);
    }
}

bool CClassDescBase::IsKindOf(const CClassDescBase* desc) const {
    if (desc == nullptr) {
        return false;
    }
    for (const CClassDescBase* d = this; d != nullptr; d = d->m_parent) {
        if (d == desc) {
            return true;
        }
    }
    return false;
}

namespace Vusk {

CClassBitAllocator& GetClassBits() {
    static constinit CClassBitAllocator bits;
    return bits;
}

std::uint32_t GetClassBitMask() { return GetClassBits().GetMask(); }

bool IsKindOf(const CClassDescBase* objectDesc, const CClassDescBase* desc) {
    return objectDesc != nullptr && objectDesc->IsKindOf(desc);
}

} // namespace Vusk
