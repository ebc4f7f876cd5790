// Named resources of the world definition: scripts, path ways and neural nets. Each kind is kept by a
// global service of the same shape, CResourceManager, which reads its entries from its definition
// (a child named by the manager's entry key, labelled with the resource's name, holding a "RawData"
// block), loads one resource per entry and answers look-ups by name (without regard to case).
#pragma once

#include <cstdint>

#include "ai/runtime/class_desc.h"
#include "ai/runtime/engine_object.h"
#include "ai/runtime/service.h"

class CConfigNode;

// A resource loaded from a "RawData" block.
class CNamedResource : public CEngineObject {
public:
  // Reads the resource from the block; false when the block cannot be read or is malformed.
  virtual bool Load(CConfigNode* rawData) = 0;
};

// One resource under its name; owns the resource.
class CResourceEntry : public CEngineObject {
public:
  static constexpr uint32_t kNameSize = 128;  // name field, NUL included

  // The name must fit the field (the manager checks).
  CResourceEntry(const char* name, CNamedResource* resource);
  ~CResourceEntry() override;  // deletes the resource

  char m_name[kNameSize];
  CNamedResource* m_resource;
};

// Shape shared by the script, path-way and neural-net managers.
class CResourceManager : public CGlobalService {
public:
  static constexpr uint32_t kFirstCapacity = 8;

  // The entry array starts with room for 8 entries (no room when memory runs out: the first
  // AddResource then tries again).
  CResourceManager();
  ~CResourceManager() override;  // every entry, then the array

  // False for a null definition; else every child goes to ReadParam, the first refusal answers false.
  bool Init(CConfigNode* definition) override;
  // A child named by the entry key (without regard to case) with a label (the name) and a
  // "RawData" child; anything else is refused.
  bool ReadParam(CConfigNode* node) override;

  // Creates a resource, loads it from the block and keeps it under name. False when the name is null
  // or too long for an entry, a resource of that name is held already, the load fails or
  // memory runs out (nothing is kept then). A full array doubles its capacity, keeping the order.
  bool AddResource(const char* name, CConfigNode* rawData);
  // The first resource whose name equals name without regard to case; null when none.
  CNamedResource* FindResource(const char* name) const;

  uint32_t GetEntryCount() const { return m_entryCount; }
  uint32_t GetCapacity() const { return m_capacity; }
  const CResourceEntry* GetEntry(uint32_t i) const { return i < m_entryCount ? m_entries[i] : nullptr; }

protected:
  // The name of the definition children that hold resources ("Script", "PathWay", "NeuralNet").
  virtual const char* GetEntryKey() const = 0;
  // A new, empty resource of the manager's kind; null when memory runs out.
  virtual CNamedResource* CreateResource() = 0;

private:
  CResourceEntry** m_entries;  // owned entries in the order added
  uint32_t m_entryCount;       // entries held
  uint32_t m_capacity;         // entries m_entries has room for
};

// A script: the text of its block, with a NUL after it.
class CScript : public CNamedResource {
public:
  ~CScript() override;  // frees the text
  // Reads the whole block; false when it cannot be opened or delivers fewer bytes than its size.
  bool Load(CConfigNode* rawData) override;

  const char* GetText() const { return m_text != nullptr ? m_text : ""; }
  uint32_t GetSize() const { return m_size; }

private:
  static constexpr uint32_t kFirstTextPiece = 4096;  // bytes of the first text buffer

  char* m_text = nullptr;  // NUL-terminated copy of the block; null for an empty block
  uint32_t m_size = 0;     // bytes without the NUL
};

class CScriptManager : public CResourceManager {
public:
  static CGlobalServiceDesc s_classDesc;  // "CScriptManager"
  static CGlobalService* Create();
  const CGlobalServiceDesc* GetClassDesc() const override;
  CScript* FindScript(const char* name) const { return static_cast<CScript*>(FindResource(name)); }

protected:
  const char* GetEntryKey() const override { return "Script"; }
  CNamedResource* CreateResource() override;
};
