#pragma once
// What a world's configuration tree may ask for: the keys it must hold and the most teams and
// tasks whose tables are made as the world is configured (CWorld::ReadConfig refuses more).

#include <cstddef>
#include <cstdint>

class CConfigNode;

namespace Vusk {

inline constexpr std::uint32_t kMaxWorldTeams = 1024; // "MaxTeam"
inline constexpr std::uint32_t kMaxWorldTasks = 1024; // "MaxAperiodicTask", "MaxPeriodicTask" each

// False, with what is wrong written to fault (size bytes; may be null) as "'MaxTeam' is
// 2147483647, above 1024" or "'Tpf' not found", when a required key ("MaxEntity", "OneMeter",
// "Tpf") is missing or a count is above its maximum. A negative count asks for no table and passes.
bool CheckWorldConfig(const CConfigNode* tree, char* fault, std::size_t size);

} // namespace Vusk
