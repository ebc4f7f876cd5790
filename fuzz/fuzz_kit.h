#pragma once
// Shared pieces of the fuzz harnesses: the engines an input runs on, the input as a graphics
// stream or as a file, and the input wrapped in an AI world file.
//
// The graphics engine is started at the first input and kept; the AI engine is initialised for
// each input and shut down after it. Whatever an input leaves allocated is a leak of that input
// (libFuzzer compares the allocations and releases of each run).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct OvDriver;
struct OvStream;

namespace fuzzkit {

using Bytes = std::vector<std::uint8_t>;

// Error boxes go to standard error only: no display, no log file.
void QuietErrorBoxes();

// The graphics engine on the null driver (or the given one) with a file system that takes
// names as they are, started by the first instance (whose registerPlugins runs where plugins
// and object extensions are registered) and kept for the process. The error held is cleared on
// entry and exit. Sizes only the machine bounds are bounded as on a 256 MB machine.
class GraphicsEngine {
public:
    explicit GraphicsEngine(void (*registerPlugins)() = nullptr, const OvDriver* driver = nullptr);
    ~GraphicsEngine();
    GraphicsEngine(const GraphicsEngine&) = delete;
    GraphicsEngine& operator=(const GraphicsEngine&) = delete;
    bool Up() const { return m_up; }

private:
    bool m_up = false;
};

// The AI engine on a host of the C library's memory and files and a clock that stands still;
// files are written only where the scratch file's name continues (ScratchFileName() + "...").
// The graphics engine comes up first: world files are read through its streams.
class AiEngine {
public:
    AiEngine();
    ~AiEngine();
    AiEngine(const AiEngine&) = delete;
    AiEngine& operator=(const AiEngine&) = delete;
    bool Up() const { return m_up && m_graphics.Up(); }

private:
    GraphicsEngine m_graphics;
    bool m_up;
};

// A graphics read stream over the bytes (which must outlive it); null when it cannot be opened.
OvStream* OpenMemoryStream(const std::uint8_t* data, std::size_t size);

// Stream reader of an extension's chunk: copies what fits of the body into the extension data
// and passes over the rest.
OvStream* ReadExtensionBody(OvStream* stream, std::int32_t length, void* object, std::int32_t offset,
                            std::int32_t size);

// Writes the bytes to this process's scratch file and returns its path (empty on failure).
// Every call rewrites the same file; it is removed at exit.
std::string WriteScratchFile(const std::uint8_t* data, std::size_t size);
// The whole content of a file (empty when it cannot be read).
Bytes ReadWholeFile(const std::string& path);
// Saves what was loaded into the scratch file through `save` (which gets its path) and aborts
// unless that succeeds and writes back exactly the bytes that were read (or a prefix of them).
void ExpectSavedAsRead(const std::function<bool(const char*)>& save, const std::uint8_t* data, std::size_t size);
// Path of this process's scratch file; a harness may write files whose names continue it
// (and remove them).
std::string ScratchFileName();

// A world file whose root holds one "RawData" node and whose only block holds the bytes.
Bytes WrapInWorldFile(const std::uint8_t* data, std::size_t size);

} // namespace fuzzkit
