#include "ai/runtime/config_node.h"

#include <cstring>
#include <utility>

#include "ai/runtime/allocator.h"
#include "ai/runtime/engine_arrays.h"
#include "platform/crt.h"

namespace {

constexpr std::uint32_t kFirstChildCapacity = 8;

// Replaces *slot by a copy of text (null clears it); false, *slot unchanged, when the copy
// cannot be allocated. The copy is made before the old text is released, so text may be
// the old text itself.
bool ReplaceText(char** slot, const char* text) {
    char* copy = nullptr;
    if (text != nullptr) {
        std::size_t length = std::strlen(text);
        copy = static_cast<char*>(Vusk::EngineAllocate(length + 1));
        if (copy == nullptr) {
            return false;
        }
        std::memcpy(copy, text, length + 1);
    }
    Vusk::EngineFree(*slot);
    *slot = copy;
    return true;
}

bool SameText(const char* a, const char* b) { return a != nullptr && b != nullptr && _stricmp(a, b) == 0; }

} // namespace

CConfigNode::CConfigNode(const CConfigNode& other) : CEngineObject() { CopyFrom(&other); }

CConfigNode::~CConfigNode() {
    DeleteChildren();
    Vusk::EngineFree(m_children);
    Vusk::EngineFree(m_label);
    Vusk::EngineFree(m_name);
    Vusk::EngineFree(m_value);
}

bool CConfigNode::SetLabel(const char* text) { return ReplaceText(&m_label, text); }

bool CConfigNode::SetName(const char* text) { return ReplaceText(&m_name, text); }

bool CConfigNode::SetValue(const char* text) { return ReplaceText(&m_value, text); }

bool CConfigNode::HasName(const char* name) const { return SameText(m_name, name); }

CConfigNode* CConfigNode::GetChild(std::uint32_t i) const { return i < m_childCount ? m_children[i] : nullptr; }

CConfigNode* CConfigNode::FindChild(const char* name) const {
    if (name == nullptr) {
        return nullptr;
    }
    for (std::uint32_t i = 0; i < m_childCount; ++i) {
        if (m_children[i]->HasName(name)) {
            return m_children[i];
        }
    }
    return nullptr;
}

const char* CConfigNode::GetChildValue(const char* name) const {
    const CConfigNode* child = FindChild(name);
    return child != nullptr ? child->m_value : nullptr;
}

CConfigNode* CConfigNode::FindChildWithLabel(const char* name, const char* label) const {
    if (name == nullptr || label == nullptr) {
        return nullptr;
    }
    for (std::uint32_t i = 0; i < m_childCount; ++i) {
        CConfigNode* child = m_children[i];
        if (child->HasName(name) && SameText(child->m_label, label)) {
            return child;
        }
    }
    return nullptr;
}

bool CConfigNode::AppendChild(CConfigNode* child) {
    if (!Vusk::MakeRoom(m_children, m_childCount, m_childCapacity, kFirstChildCapacity)) {
        return false;
    }
    m_children[m_childCount++] = child;
    return true;
}

CConfigNode* CConfigNode::AddChild() {
    auto* child = new CConfigNode();
    if (child != nullptr && !AppendChild(child)) {
        delete child;
        child = nullptr;
    }
    return child;
}

CConfigNode* CConfigNode::AddChildCopy(const CConfigNode* node) {
    if (node == nullptr) {
        return nullptr;
    }
    auto* child = new CConfigNode();
    if (child == nullptr) {
        return nullptr;
    }
    if (!child->CopyFrom(node) || !AppendChild(child)) {
        delete child;
        return nullptr;
    }
    return child;
}

bool CConfigNode::CopyFrom(const CConfigNode* node) {
    if (node == this) {
        return true;
    }
    if (node == nullptr) {
        return false;
    }
    // Build the whole copy first: node may lie inside this node's subtree, which is released
    // only once the copy is complete.
    CConfigNode copy;
    if (!copy.SetLabel(node->m_label) || !copy.SetName(node->m_name) || !copy.SetValue(node->m_value)) {
        return false;
    }
    for (std::uint32_t i = 0; i < node->m_childCount; ++i) {
        if (copy.AddChildCopy(node->m_children[i]) == nullptr) {
            return false;
        }
    }
    copy.SetRawData(node->m_rawData, node->m_rawDataSize);
    SwapContents(copy);
    return true; // copy now holds the old contents and releases them
}

void CConfigNode::DeleteChildren() {
    for (std::uint32_t i = 0; i < m_childCount; ++i) {
        delete m_children[i];
    }
    m_childCount = 0;
}

void CConfigNode::SwapContents(CConfigNode& other) {
    std::swap(m_rawDataSize, other.m_rawDataSize);
    std::swap(m_rawData, other.m_rawData);
    std::swap(m_label, other.m_label);
    std::swap(m_name, other.m_name);
    std::swap(m_value, other.m_value);
    std::swap(m_children, other.m_children);
    std::swap(m_childCapacity, other.m_childCapacity);
    std::swap(m_childCount, other.m_childCount);
}
