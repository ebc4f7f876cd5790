#include "testing/grid_map.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ai/navigation/spatial_graph.h"

namespace {

bool Fail(std::string* error, int line, const std::string& what) {
    if (error != nullptr)
        *error = "line " + std::to_string(line) + ": " + what;
    return false;
}

// "key N" with a positive N; false otherwise.
bool ReadDimension(const std::string& line, const char* key, int* value) {
    size_t length = std::strlen(key);
    if (line.compare(0, length, key) != 0 || line.size() <= length || line[length] != ' ')
        return false;
    const char* digits = line.c_str() + length + 1;
    char* end = nullptr;
    errno = 0;
    long parsed = std::strtol(digits, &end, 10);
    if (errno != 0 || end == digits || *end != '\0' || parsed < 1 || parsed > 100000)
        return false;
    *value = static_cast<int>(parsed);
    return true;
}

} // namespace

bool GridMap::Passable(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height)
        return false;
    char c = rows[static_cast<size_t>(y)][static_cast<size_t>(x)];
    return c == '.' || c == 'G';
}

bool LooksLikeGridMap(const std::string& head) { return head.compare(0, 5, "type ") == 0; }

bool ParseGridMap(const std::string& text, GridMap* map, std::string* error) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    GridMap read;
    if (lines.empty() || lines[0] != "type octile")
        return Fail(error, 1, "expected \"type octile\"");
    if (lines.size() < 2 || !ReadDimension(lines[1], "height", &read.height))
        return Fail(error, 2, "expected \"height N\" with N from 1 to 100000");
    if (lines.size() < 3 || !ReadDimension(lines[2], "width", &read.width))
        return Fail(error, 3, "expected \"width N\" with N from 1 to 100000");
    if (lines.size() < 4 || lines[3] != "map")
        return Fail(error, 4, "expected \"map\"");
    for (int y = 0; y < read.height; ++y) {
        size_t index = static_cast<size_t>(y) + 4;
        if (index >= lines.size())
            return Fail(error, static_cast<int>(index) + 1,
                        "the map ends after " + std::to_string(y) + " of " + std::to_string(read.height) + " rows");
        if (lines[index].size() != static_cast<size_t>(read.width))
            return Fail(error, static_cast<int>(index) + 1,
                        "row of " + std::to_string(lines[index].size()) + " cells, expected " +
                            std::to_string(read.width));
        read.rows.push_back(lines[index]);
    }
    for (size_t index = static_cast<size_t>(read.height) + 4; index < lines.size(); ++index) {
        if (!lines[index].empty())
            return Fail(error, static_cast<int>(index) + 1, "text after the last row");
    }
    *map = std::move(read);
    return true;
}

GridMapRead ReadGridMap(const std::string& path, GridMap* map, std::string* error) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        if (error != nullptr)
            *error = std::strerror(errno);
        return GridMapRead::Missing;
    }
    std::string text;
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, got);
    std::fclose(file);
    return ParseGridMap(text, map, error) ? GridMapRead::Ok : GridMapRead::Malformed;
}

bool BuildGridGraph(const GridMap& map, CSpatialGraph* graph, bool keepBlocked, std::vector<std::int32_t>* cellVertex) {
    std::vector<std::int32_t> ids(static_cast<size_t>(map.width) * static_cast<size_t>(map.height), -1);
    for (int y = 0; y < map.height; ++y) {
        for (int x = 0; x < map.width; ++x) {
            if (!keepBlocked && !map.Passable(x, y))
                continue;
            CGraphVertex* vertex = graph->AddVertexAt(CVector3(float(x), 0.0f, float(y)));
            if (vertex == nullptr)
                return false;
            ids[static_cast<size_t>(y) * static_cast<size_t>(map.width) + static_cast<size_t>(x)] = vertex->GetIndex();
        }
    }
    const float diagonal = std::sqrt(2.0f);
    for (int y = 0; y < map.height; ++y) {
        for (int x = 0; x < map.width; ++x) {
            if (!map.Passable(x, y))
                continue;
            for (int dy = -1; dy <= 1; ++dy) {
                for (int dx = -1; dx <= 1; ++dx) {
                    bool isDiagonal = dx != 0 && dy != 0;
                    if ((dx == 0 && dy == 0) || !map.Passable(x + dx, y + dy))
                        continue;
                    if (isDiagonal && (!map.Passable(x + dx, y) || !map.Passable(x, y + dy)))
                        continue;
                    CGraphEdgeData data;
                    data.m_length = data.m_cost = isDiagonal ? diagonal : 1.0f;
                    CGraphVertex* from = graph->GetVertex(ids[static_cast<size_t>(y * map.width + x)]);
                    CGraphVertex* to = graph->GetVertex(ids[static_cast<size_t>((y + dy) * map.width + x + dx)]);
                    if (graph->AddEdge(data, from, to, -1) < 0)
                        return false;
                }
            }
        }
    }
    if (cellVertex != nullptr)
        *cellVertex = std::move(ids);
    return true;
}
