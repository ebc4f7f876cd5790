#include "ai/navigation/resource_manager.h"

#include <cstring>

#include "ai/navigation/data_file.h"
#include "ai/runtime/allocator.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/engine_arrays.h"
#include "platform/crt.h"

CGlobalServiceDesc CScriptManager::s_classDesc("CScriptManager", &CScriptManager::Create, nullptr, false, false);

CResourceEntry::CResourceEntry(const char* name, CNamedResource* resource) : m_name{}, m_resource(resource) {
  std::strncpy(m_name, name, kNameSize - 1);
}

CResourceEntry::~CResourceEntry() { delete m_resource; }

CResourceManager::CResourceManager() : m_entries(nullptr), m_entryCount(0), m_capacity(0) {
  m_entries = static_cast<CResourceEntry**>(Vusk::EngineAllocate(kFirstCapacity * sizeof(CResourceEntry*)));
  if (m_entries != nullptr) m_capacity = kFirstCapacity;
}

CResourceManager::~CResourceManager() {
  for (uint32_t i = 0; i < m_entryCount; ++i) delete m_entries[i];
  Vusk::EngineFree(m_entries);
}

bool CResourceManager::Init(CConfigNode* definition) {
  if (definition == nullptr) return false;
  return CGlobalService::Init(definition);
}

bool CResourceManager::ReadParam(CConfigNode* node) {
  if (node == nullptr || !node->HasName(GetEntryKey()) || node->GetLabel() == nullptr) return false;
  CConfigNode* rawData = node->FindChild("RawData");
  return rawData != nullptr && AddResource(node->GetLabel(), rawData);
}

bool CResourceManager::AddResource(const char* name, CConfigNode* rawData) {
  if (name == nullptr || std::strlen(name) >= CResourceEntry::kNameSize) return false;
  if (FindResource(name) != nullptr) return false;
  if (!Vusk::MakeRoom(m_entries, m_entryCount, m_capacity, kFirstCapacity)) return false;
  CNamedResource* resource = CreateResource();
  if (resource == nullptr) return false;
  if (!resource->Load(rawData)) {
    delete resource;
    return false;
  }
  CResourceEntry* entry = new CResourceEntry(name, resource);
  if (entry == nullptr) {
    delete resource;
    return false;
  }
  m_entries[m_entryCount++] = entry;
  return true;
}

CNamedResource* CResourceManager::FindResource(const char* name) const {
  const CResourceEntry* entry = Vusk::FindNamed(m_entries, m_entryCount, name);
  return entry != nullptr ? entry->m_resource : nullptr;
}

CScript::~CScript() { Vusk::EngineFree(m_text); }

bool CScript::Load(CConfigNode* rawData) {
  Vusk::EngineFree(m_text);
  m_text = nullptr;
  m_size = 0;
  Vusk::CRawDataReader reader(rawData);
  if (!reader.Open()) return false;
  // The declared size is the file's own word, which a damaged file overstates, and a file read from disk
  // cannot say how much is really left. So the text grows as its bytes arrive (doubling), and the block
  // must deliver exactly its declared size.
  const uint32_t declared = reader.GetDeclaredSize();
  char* text = nullptr;
  uint32_t size = 0;
  uint32_t capacity = 0;
  while (size < declared) {
    if (size == capacity) {
      uint64_t grown = capacity == 0 ? kFirstTextPiece : uint64_t(capacity) * 2;
      capacity = static_cast<uint32_t>(grown < declared ? grown : declared);
      auto* fresh = static_cast<char*>(Vusk::EngineAllocate(size_t(capacity) + 1));
      if (fresh == nullptr) {
        Vusk::EngineFree(text);
        return false;
      }
      if (size > 0) std::memcpy(fresh, text, size);
      Vusk::EngineFree(text);
      text = fresh;
    }
    const size_t want = capacity - size;
    const size_t got = reader.Read(text + size, want);
    size += static_cast<uint32_t>(got);
    if (got < want) {
      Vusk::EngineFree(text);
      return false;
    }
  }
  if (text != nullptr) text[size] = '\0';
  m_text = text;
  m_size = size;
  return true;
}

CGlobalService* CScriptManager::Create() { return new CScriptManager(); }

const CGlobalServiceDesc* CScriptManager::GetClassDesc() const { return &s_classDesc; }

CNamedResource* CScriptManager::CreateResource() { return new CScript(); }
