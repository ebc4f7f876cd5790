// AI data files: a text magic without NUL, a u32 version (always 1), then a little-endian body.
//
// Writers go through the host's file callbacks (mode "wb"). Readers take their bytes from one
// abstraction, `CDataReader`, so that a file opened through the host ("rb"), a "RawData" block of the
// world definition and a plain memory block are read by the same loader code.
#pragma once

#include <cstddef>
#include <cstdint>

class CAisReader;
class CConfigNode;

namespace Vusk {

// Sequential byte source. Open, then Read until done, then Close (Close is safe after a failed Open).
class CDataReader {
public:
  virtual ~CDataReader();
  virtual bool Open() = 0;
  // Copies up to `bytes` bytes into `buffer`; answers the number of bytes read.
  virtual size_t Read(void* buffer, size_t bytes) = 0;
  virtual void Close() = 0;
  // Bytes left to read when the source knows it; false when it cannot tell (host files).
  virtual bool GetRemaining(uint64_t* remaining) const;

  bool ReadU32(uint32_t* value);
  bool ReadI32(int32_t* value);
  bool ReadU16(uint16_t* value);
  bool ReadF32(float* value);
  bool ReadBytes(void* buffer, size_t bytes) { return Read(buffer, bytes) == bytes; }
  // Reads `count` little-endian 32-bit words into `out`.
  bool ReadU32Array(uint32_t* out, size_t count);
  // Reads `count` little-endian 16-bit words into `out`.
  bool ReadU16Array(uint16_t* out, size_t count);
  // Reads the magic (exactly its length) and the version; true when both match.
  bool ReadHeader(const char* magic);
  // Largest element count of `recordSize` bytes that can still follow: the remaining size divided by the
  // record size when known, else `fallback`.
  uint64_t BoundCount(uint64_t recordSize, uint64_t fallback) const;
};

// A block of memory (not owned).
class CMemoryReader : public CDataReader {
public:
  CMemoryReader(const void* data, size_t size);
  bool Open() override;
  size_t Read(void* buffer, size_t bytes) override;
  void Close() override;
  bool GetRemaining(uint64_t* remaining) const override;

private:
  const uint8_t* m_data;  // block start
  size_t m_size;          // block size (bytes)
  size_t m_offset;        // read position (bytes)
  bool m_open;            // between Open and Close
};

// A file opened through the host's open callback with mode "rb".
class CHostFileReader : public CDataReader {
public:
  explicit CHostFileReader(const char* fileName);
  ~CHostFileReader() override;
  bool Open() override;
  size_t Read(void* buffer, size_t bytes) override;
  void Close() override;

private:
  const char* m_fileName;  // path handed to the host
  void* m_file;            // host file handle; null when closed
};

// Operations a raw-data provider (the world's world-file reader) offers for one "RawData" node.
class CRawDataProvider {
public:
  virtual ~CRawDataProvider();
  virtual bool OpenRawData(CConfigNode* node) = 0;
  virtual uint32_t ReadRawData(CConfigNode* node, void* buffer, uint32_t size) = 0;
  virtual void CloseRawData(CConfigNode* node) = 0;
  virtual uint32_t GetRawDataSize(CConfigNode* node) = 0;
  // Bytes of the open block that are really there to be read; false (the default) when the provider
  // cannot tell. Loaders bound their allocations by this answer, never by GetRawDataSize.
  virtual bool GetRawDataRemaining(CConfigNode* node, uint64_t* remaining);
};

// Installs a provider that serves "RawData" nodes in place of the world's file reader (null: the current
// world's reader, or the engine's reader when there is no world).
void SetRawDataProvider(CRawDataProvider* provider);
CRawDataProvider* GetRawDataProvider();

// The "RawData" block of a node, read through the installed provider or the world's file reader. The
// remaining size is what the source really holds (a block's declared size is the file's word); when the
// source cannot tell, loaders grow their allocations as the data arrives.
class CRawDataReader : public CDataReader {
public:
  explicit CRawDataReader(CConfigNode* rawDataNode);
  ~CRawDataReader() override;
  bool Open() override;
  size_t Read(void* buffer, size_t bytes) override;
  void Close() override;
  bool GetRemaining(uint64_t* remaining) const override;
  // The open block's size as the world file declares it (0 when not open): what a whole block must
  // deliver, not a bound for allocations.
  uint32_t GetDeclaredSize() const;

private:
  CConfigNode* m_node;           // the "RawData" node
  CRawDataProvider* m_provider;  // installed provider in use while open, or null
  CAisReader* m_reader;          // world file reader in use while open, or null
  bool m_open;                   // between Open and Close
};

// A file written through the host's callbacks (mode "wb"). Every write reports whether it was complete.
class CDataWriter {
public:
  CDataWriter();
  ~CDataWriter();
  bool Open(const char* fileName);
  void Close();
  bool IsOpen() const { return m_file != nullptr; }

  // Host write of `count` items of `itemSize` bytes; true when all were written.
  bool Write(const void* buffer, size_t itemSize, size_t count);
  bool WriteU32(uint32_t value);
  bool WriteI32(int32_t value) { return WriteU32(static_cast<uint32_t>(value)); }
  bool WriteU16(uint16_t value);
  bool WriteF32(float value);
  // Writes `count` 32-bit words (little-endian) as one host write of `count` 4-byte items.
  bool WriteU32Array(const uint32_t* values, size_t count);
  // Writes `count` 16-bit words (little-endian) as one host write of `count` 2-byte items.
  bool WriteU16Array(const uint16_t* values, size_t count);
  // Magic as 1-byte items, then the version 1 as one 4-byte item.
  bool WriteHeader(const char* magic);

private:
  void* m_file;  // host file handle; null when closed
};

// Little-endian helpers over byte buffers.
inline void StoreU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
inline uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
uint32_t FloatBits(float value);
float BitsToFloat(uint32_t bits);

}  // namespace Vusk
