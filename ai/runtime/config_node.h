#pragma once
// Node of the engine's configuration tree: a name (the kind of thing, such as "Entity"), a
// label (which one, such as a definition's own name), a value text and owned children.
// "RawData" nodes also carry a raw-data record of the world file reader, which the node
// references but never owns.
//
// Names and labels are compared without regard to ASCII case.

#include <cstdint>

#include "ai/runtime/engine_object.h"

// Raw-data record of the world file reader (defined there).
struct CRawDataRecord;

class CConfigNode : public CEngineObject {
public:
    CConfigNode() = default;
    // Deep copy of other (an empty node when memory runs out).
    CConfigNode(const CConfigNode& other);
    CConfigNode& operator=(const CConfigNode&) = delete;
    ~CConfigNode() override;

    const char* GetLabel() const { return m_label; }
    const char* GetName() const { return m_name; }
    const char* GetValue() const { return m_value; }

    // Each setter copies the text (null clears it). false when the copy could not be
    // allocated; the old text is then kept.
    bool SetLabel(const char* text);
    bool SetName(const char* text);
    bool SetValue(const char* text);

    std::uint32_t GetRawDataSize() const { return m_rawDataSize; }
    CRawDataRecord* GetRawData() const { return m_rawData; }
    void SetRawData(CRawDataRecord* record, std::uint32_t size) {
        m_rawData = record;
        m_rawDataSize = size;
    }

    // true when the node's name equals name without regard to case (false when either is null).
    bool HasName(const char* name) const;

    std::uint32_t GetChildCount() const { return m_childCount; }
    std::uint32_t GetChildCapacity() const { return m_childCapacity; }
    // Child i, null when i is not below the child count.
    CConfigNode* GetChild(std::uint32_t i) const;
    // First child with that name; null when name is null or there is none.
    CConfigNode* FindChild(const char* name) const;
    // Value of the first child with that name; null when there is no such child or it has
    // no value.
    const char* GetChildValue(const char* name) const;
    // First child with that name and that label; null when either is null or none matches.
    CConfigNode* FindChildWithLabel(const char* name, const char* label) const;

    // Appends a new empty child; null when memory runs out.
    CConfigNode* AddChild();
    // Appends a deep copy of node; null when node is null or memory runs out.
    CConfigNode* AddChildCopy(const CConfigNode* node);
    // Makes this node a deep copy of node (texts, raw data reference and children). The copy
    // is built before anything of this node is released, so node may be one of this node's
    // descendants. Copying a node onto itself changes nothing. false (this node unchanged)
    // when node is null or memory runs out.
    bool CopyFrom(const CConfigNode* node);
    void DeleteChildren();

private:
    bool AppendChild(CConfigNode* child);
    void SwapContents(CConfigNode& other);

    std::uint32_t m_rawDataSize = 0;     // bytes of an in-memory raw data block
    CRawDataRecord* m_rawData = nullptr; // raw data record, not owned
    char* m_label = nullptr;             // owned text or null
    char* m_name = nullptr;              // owned text or null
    char* m_value = nullptr;             // owned text or null
    CConfigNode** m_children = nullptr;  // owned array of owned children
    std::uint32_t m_childCapacity = 0;   // entries in m_children
    std::uint32_t m_childCount = 0;      // children in use
};
