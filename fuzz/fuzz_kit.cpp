#include "fuzz/fuzz_kit.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ai/runtime/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/stream.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "platform/process.h"
#include "tools/ais_format/ais_format.h"

namespace fuzzkit {

namespace {

// The fuzz builds' limit of a single allocation (DUN_FUZZ_MALLOC_LIMIT_MB in cmake/project.cmake).
constexpr std::uint64_t kMachineBytes = std::uint64_t{256} << 20;

void* HostAlloc(std::size_t size) { return std::malloc(size); }
void HostFree(void* block) { std::free(block); }
double HostClock(std::uint32_t) { return 1.0; }
std::string& ScratchPath();
void RemoveScratchFile();

// Inputs name files (a world file's output files): only the scratch file's siblings of this
// process may be written.
void* HostOpen(const char* path, const char* mode) {
    if (path == nullptr || mode == nullptr) {
        return nullptr;
    }
    if (std::strchr(mode, 'r') == nullptr || std::strchr(mode, '+') != nullptr) {
        const std::string& scratch = ScratchPath();
        if (std::strncmp(path, scratch.c_str(), scratch.size()) != 0 || std::strstr(path, "..") != nullptr) {
            return nullptr;
        }
    }
    return std::fopen(path, mode);
}
int HostClose(void* file) { return std::fclose(static_cast<FILE*>(file)); }
std::size_t HostRead(void* buffer, std::size_t size, std::size_t count, void* file) {
    return std::fread(buffer, size, count, static_cast<FILE*>(file));
}
std::size_t HostWrite(const void* buffer, std::size_t size, std::size_t count, void* file) {
    return std::fwrite(buffer, size, count, static_cast<FILE*>(file));
}

std::string& ScratchPath() {
    static std::string path;
    if (path.empty()) {
        // Memory-backed when there is such a folder: a file is written for every input.
        const char* folder = std::getenv("TMPDIR");
        if (folder == nullptr || *folder == '\0') {
            folder = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        }
        path = std::string(folder) + "/dun-fuzz-" + std::to_string(::getpid()) + ".bin";
        std::atexit(RemoveScratchFile);
    }
    return path;
}

void RemoveScratchFile() { std::remove(ScratchPath().c_str()); }

} // namespace

GraphicsEngine::GraphicsEngine(void (*registerPlugins)(), const OvDriver* driver) {
    // Started once per process (plugins are registered before the first input) and left
    // running: bringing it up for every input would cost more than most inputs.
    static const bool up = OvTestEngineUp(0, registerPlugins, driver) != FALSE;
    m_up = up;
    // What only the machine bounds (an image's pixels, an AI world's team and task tables, a path's
    // capacity) is bounded as on a machine of the largest single allocation a harness may make.
    PlatformSetPhysicalMemory(kMachineBytes);
    OvError ignored;
    OvErrorGet(&ignored);
}

GraphicsEngine::~GraphicsEngine() {
    OvError ignored;
    OvErrorGet(&ignored);
}

AiEngine::AiEngine() : m_up(false) {
    if (!m_graphics.Up()) {
        return;
    }
    CHostServices services;
    services.entityPoolSize = 64;
    services.alloc = HostAlloc;
    services.free = HostFree;
    services.allocatorChildCapacity = 10;
    services.clock = HostClock;
    services.open = HostOpen;
    services.close = HostClose;
    services.read = HostRead;
    services.write = HostWrite;
    m_up = Vusk::Initialise(&services);
}

AiEngine::~AiEngine() {
    if (m_up) {
        Vusk::ReleaseEngine();
    }
}

OvStream* OpenMemoryStream(const std::uint8_t* data, std::size_t size) {
    OvMemory memory{const_cast<std::uint8_t*>(data), static_cast<OvUInt32>(size)};
    return OvStreamOpen(ovSTREAMMEMORY, ovSTREAMREAD, &memory);
}

OvStream* ReadExtensionBody(OvStream* stream, std::int32_t length, void* object, std::int32_t offset,
                            std::int32_t size) {
    const std::int32_t kept = length < size ? length : size;
    if (length < 0 || (kept > 0 && OvStreamReadStrict(stream, static_cast<char*>(object) + offset,
                                                      static_cast<OvUInt32>(kept)) == nullptr)) {
        return nullptr;
    }
    return length > kept ? OvStreamSkip(stream, static_cast<OvUInt32>(length - kept)) : stream;
}

void QuietErrorBoxes() {
    setenv("PLATFORM_HEADLESS", "1", 0);
    unsetenv("PLATFORM_MSGBOX_LOG");
}

std::string WriteScratchFile(const std::uint8_t* data, std::size_t size) {
    const std::string& path = ScratchPath();
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return std::string();
    }
    bool ok = size == 0 || std::fwrite(data, 1, size, file) == size;
    ok = std::fclose(file) == 0 && ok;
    return ok ? path : std::string();
}

Bytes ReadWholeFile(const std::string& path) {
    Bytes bytes;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        int c;
        while ((c = std::fgetc(file)) != EOF) {
            bytes.push_back(static_cast<std::uint8_t>(c));
        }
        std::fclose(file);
    }
    return bytes;
}

void ExpectSavedAsRead(const std::function<bool(const char*)>& save, const std::uint8_t* data, std::size_t size) {
    const std::string path = WriteScratchFile(nullptr, 0);
    if (path.empty() || !save(path.c_str()))
        std::abort(); // what was loaded cannot be saved
    const Bytes saved = ReadWholeFile(path);
    if (saved.size() > size || !std::equal(saved.begin(), saved.end(), data))
        std::abort(); // the saved file differs from the bytes read
}

std::string ScratchFileName() { return ScratchPath(); }

Bytes WrapInWorldFile(const std::uint8_t* data, std::size_t size) {
    AisFormat::Document doc;
    AisFormat::Node raw;
    raw.kind = AisFormat::Kind::RawData;
    doc.root.children.push_back(raw);
    doc.blocks.emplace_back(data, data + size);
    Bytes file;
    std::string error;
    AisFormat::Encode(doc, file, error);
    return file;
}

} // namespace fuzzkit
