#pragma once
// Grid maps in the public benchmark text form, and navigation graphs built from them.
//
// The file is four header lines, "type octile", "height H", "width W" and "map", then H rows of W
// characters; '.' and 'G' are passable, every other character is not. Cell (x, y) is column x and row
// y counted from the top.

#include <cstdint>
#include <string>
#include <vector>

class CSpatialGraph;

struct GridMap {
    int width = 0;
    int height = 0;
    std::vector<std::string> rows; // height rows of width characters

    bool Passable(int x, int y) const;
};

enum class GridMapRead { Ok, Missing, Malformed };

// Reads a grid map file. On failure `error` says why (for a malformed file, with the line number).
GridMapRead ReadGridMap(const std::string& path, GridMap* map, std::string* error);
// Parses the text of a grid map file.
bool ParseGridMap(const std::string& text, GridMap* map, std::string* error);
// True when the text starts like a grid map file.
bool LooksLikeGridMap(const std::string& head);

// Adds one vertex per passable cell (with keepBlocked, per cell) at (x, 0, y), numbered row by row,
// and edges both ways between passable neighbours: straight ones of cost 1, diagonal ones of cost
// sqrt(2) only where both side cells are passable. `cellVertex` (when given) receives the vertex of
// each cell, y * width + x, -1 for a cell without one. False when the graph could not take them.
bool BuildGridGraph(const GridMap& map, CSpatialGraph* graph, bool keepBlocked,
                    std::vector<std::int32_t>* cellVertex = nullptr);
