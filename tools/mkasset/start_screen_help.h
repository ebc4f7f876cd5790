#pragma once
// The start screen's help text, one line a row of its image: what the keys do and how the mouse
// works in each camera of the demo's switch sequence.

#include <string>
#include <vector>

namespace mkasset {

inline const std::vector<std::string>& StartScreenHelp() {
    static const std::vector<std::string> lines = {
        "You are the blue soldier. The red soldiers are your team: they",
        "take cover from you; F1 calls them to come to you, F1 again",
        "sends them back into cover.",
        "Keys",
        "  UP / DOWN           walk forward / back",
        "  LEFT / RIGHT        step to the left / right",
        "  Z / X               turn left / right",
        "  right SHIFT + UP    run",
        "  left SHIFT          aim; SPACE fires while aiming",
        "  keypad 0            jump",
        "  right CTRL + mouse  drag a crate or the ball",
        "  F1                  the team: take cover / come to me",
        "  ESC                 quit",
        "  C                   next camera: this fixed view, follow,",
        "                      first person, path, free",
        "  TAB                 next fixed viewpoint",
        "The mouse, by camera (left, right: with that button held)",
        "  follow        left: round the soldier; right: nearer/farther",
        "  first person  the mouse turns; its left button fires",
        "  path          a flight in, then the first person view",
        "  free          left: turn, + left CTRL: slide; right: move",
    };
    return lines;
}

} // namespace mkasset
