#pragma once
// The order the player gives the bots (F1 switches it), as the game sets it each frame and the
// soldier brains read it during the AI step.

namespace Demo {

inline constexpr int kComeToMe = 0;
inline constexpr int kTakeCover = 1;

struct GameOrder {
    int mode = kTakeCover; // kComeToMe or kTakeCover (any other value counts as taking cover)
    int modeToggled = 0;   // 1 in the frame in which the mode changed
};

// The process-wide order.
GameOrder& GetGameOrder();

} // namespace Demo
