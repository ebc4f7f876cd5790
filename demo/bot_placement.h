#pragma once
// Where the bots start. The first bot stands at the configured start moved on by a random step,
// and each next one a random 0..4 metres further along x and 0..1 along z than the one before
// (the string of starts). A start of the string is taken while a soldier fits there: floor under
// it, nothing in its room, and no other soldier within a soldier's room of it. Where the string
// leaves the floor or runs into a block, the player or another bot, the bot goes to the next spot
// that fits on rows of the floor: the rows run along +x from half a kRowSpacing east of the
// configured start, one kRowSpacing apart and half of one off the start's z, first the start's and
// those north of it (towards +z), then those south; each row is walked in kRowSteps steps of
// kRowSpacing.

#include <cstdint>

namespace Demo {

// Whether a soldier fits at the point (his middle, as the characters' positions are given):
// floor under it and nothing in his room.
using SoldierFits = bool (*)(const float point[3], void* user);

class CBotPlacer {
public:
    static constexpr float kRowSpacing = 1.25f; // metres between spots of the rows
    static constexpr float kRoom = 1.0f;        // least distance between two soldiers' middles (x, z)
    static constexpr int kRowSteps = 64;        // spots per row
    static constexpr int kRowsEachWay = 64;     // rows from the start north, and south of it

    // start: the configured first start; player: where the player stands.
    CBotPlacer(const float start[3], const float player[3], SoldierFits fits, void* user);

    // The next bot's start: stringPoint when a soldier fits there and no soldier is close, else
    // the next spot of the rows that does. false when none is left (out is left alone).
    bool Place(const float stringPoint[3], float out[3]);
    // Bots that did not get the string's point.
    int MovedCount() const { return moved_; }

private:
    bool IsFree(const float point[3]) const;
    bool RowSpot(int index, float out[3]) const;

    float start_[3];
    float player_[3];
    SoldierFits fits_;
    void* user_;
    static constexpr int kMaxPlaced = 512;
    float placed_[kMaxPlaced][2] = {}; // x, z of the bots placed so far
    int placedCount_ = 0;
    int cursor_ = 0; // next row spot to try
    int moved_ = 0;
};

} // namespace Demo
