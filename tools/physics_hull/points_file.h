#pragma once
// Text point lists for physics_hull: one point per line as three numbers separated by spaces,
// tabs or commas; empty lines and lines starting with '#' are skipped; CR-LF line ends are fine.

#include <cstddef>
#include <string>
#include <vector>

struct PointsParseError {
    std::size_t line = 0; // 1-based line of the fault (0: none)
    std::string message;  // what is wrong with it
};

// Appends x, y, z of every point to points. False with the error filled in on the first bad
// line (anything but three finite numbers).
bool ParsePoints(const char* text, std::size_t length, std::vector<float>* points, PointsParseError* error);
