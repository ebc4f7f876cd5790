#include "ai/navigation/data_file.h"

#include <cstring>

#include "ai/runtime/ais_reader.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/world.h"

namespace Vusk {

namespace {

constexpr uint32_t kDataFileVersion = 1;
CRawDataProvider* g_rawDataProvider = nullptr;

// The host's file words (null when the host gave none).
void* OpenHostFile(const char* path, const char* mode) {
  const CEngineSettings& settings = GetEngineSettings();
  return settings.open != nullptr ? settings.open(path, mode) : nullptr;
}

void CloseHostFile(void* file) {
  const CEngineSettings& settings = GetEngineSettings();
  if (settings.close != nullptr) settings.close(file);
}

size_t ReadHostFile(void* buffer, size_t size, size_t count, void* file) {
  const CEngineSettings& settings = GetEngineSettings();
  return settings.read != nullptr ? settings.read(buffer, size, count, file) : 0;
}

size_t WriteHostFile(const void* buffer, size_t size, size_t count, void* file) {
  const CEngineSettings& settings = GetEngineSettings();
  return settings.write != nullptr ? settings.write(buffer, size, count, file) : 0;
}

}  // namespace

uint32_t FloatBits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

float BitsToFloat(uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// ---------------------------------------------------------------------------------------------------------
// Readers

CDataReader::~CDataReader() = default;

bool CDataReader::GetRemaining(uint64_t*) const { return false; }

bool CDataReader::ReadU32(uint32_t* value) {
  uint8_t bytes[4];
  if (Read(bytes, 4) != 4) return false;
  *value = LoadU32(bytes);
  return true;
}

bool CDataReader::ReadI32(int32_t* value) {
  uint32_t bits;
  if (!ReadU32(&bits)) return false;
  *value = static_cast<int32_t>(bits);
  return true;
}

bool CDataReader::ReadU16(uint16_t* value) {
  uint8_t bytes[2];
  if (Read(bytes, 2) != 2) return false;
  *value = static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
  return true;
}

bool CDataReader::ReadF32(float* value) {
  uint32_t bits;
  if (!ReadU32(&bits)) return false;
  *value = BitsToFloat(bits);
  return true;
}

bool CDataReader::ReadU16Array(uint16_t* out, size_t count) {
  if (Read(out, count * 2) != count * 2) return false;
  auto* bytes = reinterpret_cast<uint8_t*>(out);
  for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  return true;
}

bool CDataReader::ReadU32Array(uint32_t* out, size_t count) {
  if (Read(out, count * 4) != count * 4) return false;
  auto* bytes = reinterpret_cast<uint8_t*>(out);
  for (size_t i = 0; i < count; ++i) {
    uint8_t word[4];
    std::memcpy(word, bytes + i * 4, 4);
    out[i] = LoadU32(word);
  }
  return true;
}

bool CDataReader::ReadHeader(const char* magic) {
  size_t length = std::strlen(magic);
  char text[64];
  if (length >= sizeof text || Read(text, length) != length) return false;
  text[length] = '\0';
  uint32_t version = 0;
  return std::strcmp(text, magic) == 0 && ReadU32(&version) && version == kDataFileVersion;
}

uint64_t CDataReader::BoundCount(uint64_t recordSize, uint64_t fallback) const {
  uint64_t remaining = 0;
  if (!GetRemaining(&remaining) || recordSize == 0) return fallback;
  return remaining / recordSize;
}

CMemoryReader::CMemoryReader(const void* data, size_t size)
    : m_data(static_cast<const uint8_t*>(data)), m_size(data != nullptr ? size : 0), m_offset(0), m_open(false) {}

bool CMemoryReader::Open() {
  m_offset = 0;
  m_open = true;
  return true;
}

size_t CMemoryReader::Read(void* buffer, size_t bytes) {
  if (!m_open) return 0;
  size_t n = m_size - m_offset < bytes ? m_size - m_offset : bytes;
  if (n > 0) std::memcpy(buffer, m_data + m_offset, n);
  m_offset += n;
  return n;
}

void CMemoryReader::Close() { m_open = false; }

bool CMemoryReader::GetRemaining(uint64_t* remaining) const {
  *remaining = m_open ? m_size - m_offset : 0;
  return true;
}

CHostFileReader::CHostFileReader(const char* fileName) : m_fileName(fileName), m_file(nullptr) {}

CHostFileReader::~CHostFileReader() { Close(); }

bool CHostFileReader::Open() {
  Close();
  if (m_fileName == nullptr) return false;
  m_file = OpenHostFile(m_fileName, "rb");
  return m_file != nullptr;
}

size_t CHostFileReader::Read(void* buffer, size_t bytes) {
  if (m_file == nullptr || bytes == 0) return 0;
  return ReadHostFile(buffer, 1, bytes, m_file);
}

void CHostFileReader::Close() {
  if (m_file != nullptr) CloseHostFile(m_file);
  m_file = nullptr;
}

CRawDataProvider::~CRawDataProvider() = default;

bool CRawDataProvider::GetRawDataRemaining(CConfigNode*, uint64_t*) { return false; }

void SetRawDataProvider(CRawDataProvider* provider) { g_rawDataProvider = provider; }
CRawDataProvider* GetRawDataProvider() { return g_rawDataProvider; }

CRawDataReader::CRawDataReader(CConfigNode* rawDataNode)
    : m_node(rawDataNode), m_provider(nullptr), m_reader(nullptr), m_open(false) {}

CRawDataReader::~CRawDataReader() { Close(); }

bool CRawDataReader::Open() {
  Close();
  if (m_node == nullptr) return false;
  if (g_rawDataProvider != nullptr) {
    if (!g_rawDataProvider->OpenRawData(m_node)) return false;
    m_provider = g_rawDataProvider;
  } else {
    CWorld* world = GetCurrentWorld();
    CAisReader* reader = world != nullptr && world->GetReader() != nullptr ? world->GetReader() : GetAisReader();
    if (reader == nullptr || !reader->OpenRawData(m_node)) return false;
    m_reader = reader;
  }
  m_open = true;
  return true;
}

size_t CRawDataReader::Read(void* buffer, size_t bytes) {
  if (!m_open) return 0;
  size_t total = 0;
  auto* out = static_cast<uint8_t*>(buffer);
  while (total < bytes) {
    size_t want = bytes - total;
    uint32_t piece = want > 0x40000000u ? 0x40000000u : static_cast<uint32_t>(want);
    uint32_t got = m_provider != nullptr ? m_provider->ReadRawData(m_node, out + total, piece)
                                         : m_reader->ReadRawData(m_node, out + total, piece);
    if (got > piece) got = piece;  // never more than asked
    total += got;
    if (got < piece) break;
  }
  return total;
}

void CRawDataReader::Close() {
  if (m_open) {
    if (m_provider != nullptr) {
      m_provider->CloseRawData(m_node);
    } else {
      m_reader->CloseRawData(m_node);
    }
  }
  m_open = false;
  m_provider = nullptr;
  m_reader = nullptr;
}

bool CRawDataReader::GetRemaining(uint64_t* remaining) const {
  if (!m_open) return false;
  if (m_provider != nullptr) return m_provider->GetRawDataRemaining(m_node, remaining);
  uint32_t held = 0;
  if (!m_reader->GetRawDataHeld(m_node, &held)) return false;
  *remaining = held;
  return true;
}

uint32_t CRawDataReader::GetDeclaredSize() const {
  if (!m_open) return 0;
  return m_provider != nullptr ? m_provider->GetRawDataSize(m_node) : m_reader->GetRawDataSize(m_node);
}

// ---------------------------------------------------------------------------------------------------------
// Writer

CDataWriter::CDataWriter() : m_file(nullptr) {}

CDataWriter::~CDataWriter() { Close(); }

bool CDataWriter::Open(const char* fileName) {
  Close();
  if (fileName == nullptr) return false;
  m_file = OpenHostFile(fileName, "wb");
  return m_file != nullptr;
}

void CDataWriter::Close() {
  if (m_file != nullptr) CloseHostFile(m_file);
  m_file = nullptr;
}

bool CDataWriter::Write(const void* buffer, size_t itemSize, size_t count) {
  if (m_file == nullptr) return false;
  if (count == 0) return true;
  return WriteHostFile(buffer, itemSize, count, m_file) == count;
}

bool CDataWriter::WriteU32(uint32_t value) {
  uint8_t bytes[4];
  StoreU32(bytes, value);
  return Write(bytes, 4, 1);
}

bool CDataWriter::WriteU16(uint16_t value) {
  uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
  return Write(bytes, 2, 1);
}

bool CDataWriter::WriteF32(float value) { return WriteU32(FloatBits(value)); }

bool CDataWriter::WriteU16Array(const uint16_t* values, size_t count) {
  if (count == 0) return true;
  auto* copy = static_cast<uint8_t*>(EngineAllocate(count * 2));
  if (copy == nullptr) return false;
  for (size_t i = 0; i < count; ++i) {
    copy[2 * i] = static_cast<uint8_t>(values[i]);
    copy[2 * i + 1] = static_cast<uint8_t>(values[i] >> 8);
  }
  bool ok = Write(copy, 2, count);
  EngineFree(copy);
  return ok;
}

bool CDataWriter::WriteU32Array(const uint32_t* values, size_t count) {
  if (count == 0) return true;
  // Written from a little-endian copy, as one write of `count` 4-byte items.
  auto* copy = static_cast<uint8_t*>(EngineAllocate(count * 4));
  if (copy == nullptr) return false;
  for (size_t i = 0; i < count; ++i) StoreU32(copy + i * 4, values[i]);
  bool ok = Write(copy, 4, count);
  EngineFree(copy);
  return ok;
}

bool CDataWriter::WriteHeader(const char* magic) {
  return Write(magic, 1, std::strlen(magic)) && WriteU32(kDataFileVersion);
}

}  // namespace Vusk
