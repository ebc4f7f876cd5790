// Reading a 50 MB file of chunks through a file stream, against plain fread of the same bytes
// in the same pattern (a 12-byte header, then the body) and against one fread of the whole file.
//
// The file is generated in the temporary folder on first use. Two shapes: chunk bodies of
// 16 bytes to 4 KB (typical model and texture data) and of 4 to 64 bytes (value-sized records,
// the worst case for per-call costs). The figure to watch is BM_FileStream's time over
// BM_Fread's for the same shape (goal: at most 1.5).

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "graphics/core/chunk.h"
#include "graphics/core/stream.h"
#include "graphics/core/testkit/engine_fixture.h"

namespace {

constexpr std::size_t kFileBytes = 50u * 1024u * 1024u;

struct Shape {
    const char* name;
    std::uint32_t minBody;
    std::uint32_t maxBody;
};

const Shape kShapes[] = {{"large", 16, 4096}, {"small", 4, 64}};

std::string FilePath(const Shape& shape) {
    return (std::filesystem::temp_directory_path() / (std::string("gfx_core_bench_chunks_") + shape.name + ".bin"))
        .string();
}

void MakeFile(const Shape& shape) {
    const std::string path = FilePath(shape);
    if (std::filesystem::exists(path) && std::filesystem::file_size(path) >= kFileBytes) {
        return;
    }
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::uint32_t seed = 7;
    std::vector<std::uint8_t> body(shape.maxBody);
    std::size_t written = 0;
    while (written < kFileBytes) {
        seed = seed * 1664525u + 1013904223u;
        const std::uint32_t length = shape.minBody + (seed >> 8) % (shape.maxBody - shape.minBody + 1);
        const std::uint32_t header[3] = {1, length, 0x1C020016u};
        std::fwrite(header, 4, 3, f);
        for (std::uint32_t i = 0; i < length; ++i) {
            body[i] = static_cast<std::uint8_t>(seed + i);
        }
        std::fwrite(body.data(), 1, length, f);
        written += 12 + length;
    }
    std::fclose(f);
}

std::uint64_t ReadWithStream(const std::string& path, std::vector<std::uint8_t>& body) {
    OvStream* s = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, path.c_str());
    std::uint64_t sum = 0;
    OvUInt32 type = 0;
    OvUInt32 length = 0;
    while (OvStreamReadChunkHeader(s, &type, &length, nullptr, nullptr)) {
        if (length > body.size() || OvStreamReadStrict(s, body.data(), length) == nullptr) {
            break;
        }
        sum += body[0] + length;
    }
    OvStreamClose(s, nullptr);
    return sum;
}

std::uint64_t ReadWithFread(const std::string& path, std::vector<std::uint8_t>& body) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    std::uint64_t sum = 0;
    std::uint32_t header[3];
    while (std::fread(header, 4, 3, f) == 3) {
        const std::uint32_t length = header[1];
        if (length > body.size() || std::fread(body.data(), 1, length, f) != length) {
            break;
        }
        sum += body[0] + length;
    }
    std::fclose(f);
    return sum;
}

void BM_ChunkFile(benchmark::State& state, bool useStream) {
    const Shape& shape = kShapes[state.range(0)];
    MakeFile(shape);
    const std::string path = FilePath(shape);
    OvTestEngineUp();
    std::vector<std::uint8_t> body(shape.maxBody);
    for (auto _ : state) {
        benchmark::DoNotOptimize(useStream ? ReadWithStream(path, body) : ReadWithFread(path, body));
    }
    OvTestEngineDown();
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(std::filesystem::file_size(path)));
    state.SetLabel(shape.name);
}

void BM_FileStream(benchmark::State& state) { BM_ChunkFile(state, true); }
void BM_Fread(benchmark::State& state) { BM_ChunkFile(state, false); }

void BM_FreadWholeFile(benchmark::State& state) {
    const Shape& shape = kShapes[state.range(0)];
    MakeFile(shape);
    const std::string path = FilePath(shape);
    std::vector<std::uint8_t> all(std::filesystem::file_size(path));
    for (auto _ : state) {
        std::FILE* f = std::fopen(path.c_str(), "rb");
        benchmark::DoNotOptimize(std::fread(all.data(), 1, all.size(), f));
        std::fclose(f);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(all.size()));
    state.SetLabel(shape.name);
}

BENCHMARK(BM_FileStream)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Fread)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FreadWholeFile)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
