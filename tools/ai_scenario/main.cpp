// ai_scenario: runs AI scenarios headless on the fake host and reports where the bots ended.
//
//   ai_scenario hide [--bots N] [--seconds T] [--csv FILE] [--plot FILE.png]

#include <png.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ai/behaviours/hide_agent.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/engine.h"
#include "testing/fake_ai_host.h"
#include "tools/ai_scenario/hide_scenario.h"

namespace {

void PrintHelp()
{
    std::printf(
        "usage: ai_scenario hide [options]\n"
        "\n"
        "Runs the hide scenario: a floor with boxes, a navigation graph over it, one threat in the\n"
        "middle and N hiders that look for cover from it and walk there, at a fixed step of 0.05 s.\n"
        "Prints one line per hider (\"hider <i> vertex <v> visible <0|1>\") and \"hidden <k>/<N>\".\n"
        "\n"
        "options:\n"
        "  --bots N        hiders (default 8)\n"
        "  --seconds T     simulated seconds (default 30)\n"
        "  --csv FILE      write every entity's position per frame (frame,time,entity,x,y,z)\n"
        "  --plot FILE     draw a top view as PNG: boxes, graph, paths, final positions, the threat\n"
        "  --help          this text\n");
}

struct Rgb {
    uint8_t r, g, b;
};

// A top view of the floor, 20 pixels per metre.
class TopView {
public:
    static constexpr float kHalf = 15.5f;
    static constexpr int kScale = 20;
    static constexpr int kSize = static_cast<int>(2 * kHalf * kScale);

    TopView() : m_pixels(static_cast<size_t>(kSize) * kSize, Rgb{250, 250, 250}) {}

    int Column(float x) const { return static_cast<int>((x + kHalf) * kScale); }
    int Row(float z) const { return static_cast<int>((kHalf - z) * kScale); }

    void Put(int c, int r, Rgb colour)
    {
        if (c >= 0 && c < kSize && r >= 0 && r < kSize)
            m_pixels[static_cast<size_t>(r) * kSize + c] = colour;
    }
    void Line(float x0, float z0, float x1, float z1, Rgb colour)
    {
        int c0 = Column(x0), r0 = Row(z0);
        const int c1 = Column(x1), r1 = Row(z1);
        const int dc = std::abs(c1 - c0), dr = -std::abs(r1 - r0);
        const int sc = c0 < c1 ? 1 : -1, sr = r0 < r1 ? 1 : -1;
        int error = dc + dr;
        for (;;) {
            Put(c0, r0, colour);
            if (c0 == c1 && r0 == r1)
                break;
            const int twice = 2 * error;
            if (twice >= dr) {
                error += dr;
                c0 += sc;
            }
            if (twice <= dc) {
                error += dc;
                r0 += sr;
            }
        }
    }
    void Rectangle(float x0, float z0, float x1, float z1, Rgb colour)
    {
        for (int r = Row(z1); r <= Row(z0); ++r)
            for (int c = Column(x0); c <= Column(x1); ++c)
                Put(c, r, colour);
    }
    void Dot(float x, float z, int radius, Rgb colour)
    {
        for (int dr = -radius; dr <= radius; ++dr)
            for (int dc = -radius; dc <= radius; ++dc)
                if (dr * dr + dc * dc <= radius * radius)
                    Put(Column(x) + dc, Row(z) + dr, colour);
    }
    bool Save(const char* path) const
    {
        FILE* file = std::fopen(path, "wb");
        if (file == nullptr)
            return false;
        png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
        bool ok = info != nullptr;
        if (ok && setjmp(png_jmpbuf(png)) != 0)
            ok = false;
        else if (ok) {
            png_init_io(png, file);
            png_set_IHDR(png, info, kSize, kSize, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                         PNG_FILTER_TYPE_DEFAULT);
            png_write_info(png, info);
            for (int r = 0; r < kSize; ++r)
                png_write_row(png, reinterpret_cast<png_const_bytep>(&m_pixels[static_cast<size_t>(r) * kSize]));
            png_write_end(png, nullptr);
        }
        png_destroy_write_struct(&png, &info);
        return std::fclose(file) == 0 && ok;
    }

private:
    std::vector<Rgb> m_pixels; // row-major, top row = largest z
};

const Rgb kPathColours[] = {{31, 119, 180}, {255, 127, 14}, {44, 160, 44}, {148, 103, 189},
                            {140, 86, 75},  {227, 119, 194}, {127, 127, 127}, {188, 189, 34}};

bool Plot(const char* path, scenario::HideScenario& scene, const std::vector<std::vector<CVector3>>& tracks)
{
    TopView view;
    CSpatialGraph* graph = scene.GetGraph();
    for (int32_t i = 0; i <= graph->GetLastEdgeIndex(); ++i) {
        if (const CGraphEdge* edge = graph->GetEdge(i)) {
            const CVector3& a = edge->GetSource()->GetPosition();
            const CVector3& b = edge->GetDestination()->GetPosition();
            view.Line(a.x, a.z, b.x, b.z, Rgb{215, 225, 235});
        }
    }
    for (int32_t i = 0; i <= graph->GetLastVertexIndex(); ++i)
        if (const CGraphVertex* vertex = graph->GetVertex(i))
            view.Put(view.Column(vertex->GetPosition().x), view.Row(vertex->GetPosition().z), Rgb{150, 170, 190});
    for (const scenario::Box& box : scenario::HideScenario::Level())
        view.Rectangle(box.min[0], box.min[2], box.max[0], box.max[2], Rgb{90, 90, 90});
    const std::vector<scenario::HiderResult> results = scene.Results();
    for (size_t h = 0; h < tracks.size(); ++h) {
        const Rgb colour = kPathColours[h % (sizeof(kPathColours) / sizeof(kPathColours[0]))];
        for (size_t k = 1; k < tracks[h].size(); ++k)
            view.Line(tracks[h][k - 1].x, tracks[h][k - 1].z, tracks[h][k].x, tracks[h][k].z, colour);
        if (!tracks[h].empty())
            view.Dot(tracks[h].front().x, tracks[h].front().z, 2, colour);
        view.Dot(results[h].position.x, results[h].position.z, 5, colour);
        if (results[h].visible)
            view.Dot(results[h].position.x, results[h].position.z, 2, Rgb{220, 0, 0});
    }
    const CVector3 threat = scene.GetThreat()->GetPosition();
    view.Dot(threat.x, threat.z, 7, Rgb{220, 0, 0});
    return view.Save(path);
}

int RunHide(const scenario::HideOptions& options, const char* csvPath, const char* plotPath)
{
    FakeAiHost& host = FakeAiHost::Instance();
    host.Reset();
    const CHostServices services = host.MakeServices(static_cast<uint32_t>(options.bots) + 16);
    if (!Vusk::Initialise(&services)) {
        std::fprintf(stderr, "ai_scenario: the engine did not start\n");
        return 1;
    }
    int status = 0;
    {
        scenario::HideScenario scene(options);
        FILE* csv = nullptr;
        if (!scene.Build(0)) {
            std::fprintf(stderr, "ai_scenario: the scenario could not be built\n");
            status = 1;
        } else if (csvPath != nullptr && (csv = std::fopen(csvPath, "w")) == nullptr) {
            std::fprintf(stderr, "ai_scenario: cannot write %s\n", csvPath);
            status = 1;
        }
        if (status == 0) {
            std::vector<CEntity*> entities = scene.GetHiders();
            entities.insert(entities.begin(), scene.GetThreat());
            std::vector<std::vector<CVector3>> tracks(scene.GetHiders().size());
            if (csv != nullptr)
                std::fprintf(csv, "frame,time,entity,x,y,z\n");
            const int frames = scene.GetTotalFrames();
            for (int f = 0; f <= frames; ++f) {
                if (f > 0)
                    scene.Step();
                for (size_t h = 0; h < scene.GetHiders().size(); ++h)
                    tracks[h].push_back(scene.GetWorld().BodyOf(scene.GetHiders()[h]).position);
                if (csv != nullptr) {
                    for (CEntity* entity : entities) {
                        const CVector3& p = scene.GetWorld().BodyOf(entity).position;
                        std::fprintf(csv, "%d,%.3f,%s,%.4f,%.4f,%.4f\n", f, f * options.step, entity->GetName(),
                                     p.x, p.y, p.z);
                    }
                }
            }
            if (csv != nullptr && std::fclose(csv) != 0) {
                std::fprintf(stderr, "ai_scenario: cannot write %s\n", csvPath);
                status = 1;
            }
            const std::vector<scenario::HiderResult> results = scene.Results();
            int hidden = 0;
            for (size_t i = 0; i < results.size(); ++i) {
                std::printf("hider %zu vertex %d visible %d\n", i, results[i].vertex, results[i].visible ? 1 : 0);
                hidden += results[i].visible ? 0 : 1;
            }
            std::printf("hidden %d/%zu\n", hidden, results.size());
            if (plotPath != nullptr && !Plot(plotPath, scene, tracks)) {
                std::fprintf(stderr, "ai_scenario: cannot write %s\n", plotPath);
                status = 1;
            }
        }
    }
    Vusk::ReleaseEngine();
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        PrintHelp();
        return argc < 2 ? 2 : 0;
    }
    if (std::strcmp(argv[1], "hide") != 0) {
        std::fprintf(stderr, "ai_scenario: unknown scenario '%s' (try --help)\n", argv[1]);
        return 2;
    }
    scenario::HideOptions options;
    const char* csvPath = nullptr;
    const char* plotPath = nullptr;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help") {
            PrintHelp();
            return 0;
        } else if (arg == "--bots" && hasValue) {
            options.bots = std::atoi(argv[++i]);
        } else if (arg == "--seconds" && hasValue) {
            options.seconds = static_cast<float>(std::strtod(argv[++i], nullptr));
        } else if (arg == "--csv" && hasValue) {
            csvPath = argv[++i];
        } else if (arg == "--plot" && hasValue) {
            plotPath = argv[++i];
        } else {
            std::fprintf(stderr, "ai_scenario: bad argument '%s' (try --help)\n", arg.c_str());
            return 2;
        }
    }
    if (options.bots < 1 || options.bots > 200 || !(options.seconds > 0.0f) || options.seconds > 36000.0f) {
        std::fprintf(stderr, "ai_scenario: --bots must be 1-200 and --seconds above 0\n");
        return 2;
    }
    return RunHide(options, csvPath, plotPath);
}
