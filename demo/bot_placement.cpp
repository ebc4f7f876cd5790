#include "demo/bot_placement.h"

namespace Demo {

CBotPlacer::CBotPlacer(const float start[3], const float player[3], SoldierFits fits, void* user)
    : start_{start[0], start[1], start[2]}, player_{player[0], player[1], player[2]}, fits_(fits), user_(user) {}

bool CBotPlacer::IsFree(const float point[3]) const {
    const auto close = [&](float x, float z) {
        const float dx = point[0] - x;
        const float dz = point[2] - z;
        return dx * dx + dz * dz < kRoom * kRoom;
    };
    if (close(player_[0], player_[2]))
        return false;
    for (int i = 0; i < placedCount_; ++i)
        if (close(placed_[i][0], placed_[i][1]))
            return false;
    return fits_ == nullptr || fits_(point, user_);
}

bool CBotPlacer::RowSpot(int index, float out[3]) const {
    const int row = index / kRowSteps;
    if (row >= 2 * kRowsEachWay)
        return false;
    const int step = index % kRowSteps;
    // The start's row and those north of it first (the level keeps the ground along the start
    // free), then those south of it.
    const int offset = row < kRowsEachWay ? row : kRowsEachWay - 1 - row;
    // Half a spacing off the start both ways: a spot is never on the whole or half metres that
    // the level's block corners and the floor's vertices are on.
    out[0] = start_[0] + (static_cast<float>(step) + 0.5f) * kRowSpacing;
    out[1] = start_[1];
    out[2] = start_[2] + (static_cast<float>(offset) + 0.5f) * kRowSpacing;
    return true;
}

bool CBotPlacer::Place(const float stringPoint[3], float out[3]) {
    if (placedCount_ >= kMaxPlaced)
        return false;
    float spot[3] = {stringPoint[0], stringPoint[1], stringPoint[2]};
    if (!IsFree(spot)) {
        bool found = false;
        while (!found && RowSpot(cursor_, spot)) {
            ++cursor_;
            found = IsFree(spot);
        }
        if (!found)
            return false;
        ++moved_;
    }
    out[0] = spot[0];
    out[1] = spot[1];
    out[2] = spot[2];
    placed_[placedCount_][0] = spot[0];
    placed_[placedCount_][1] = spot[2];
    ++placedCount_;
    return true;
}

} // namespace Demo
