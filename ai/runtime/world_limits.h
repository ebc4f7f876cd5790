#pragma once
// What a world's configuration tree may ask for: the keys it must hold, and tables (the team list
// and the time manager's block, sized by "MaxTeam", "MaxAperiodicTask", "MaxPeriodicTask" and
// "MaxEntity") that fit in the machine's memory (CWorld::ReadConfig refuses more).

#include <cstddef>
#include <cstdint>

class CConfigNode;

namespace Vusk {

// Bytes of the tables a world configured by tree makes as it is read: its team list and the time
// manager's block, with MaxEntity lowered to the engine's entity pool as the world does it.
// UINT64_MAX when beyond 64 bits; 0 for a null tree.
std::uint64_t WorldTableBytes(const CConfigNode* tree);

// False, with what is wrong written to fault (size bytes; may be null) as "'Tpf' not found" or
// "'MaxTeam' 2147483647, 'MaxAperiodicTask' 30, 'MaxPeriodicTask' 0: 94489280512 bytes of tables,
// above the machine's 25769803776", when a required key ("MaxEntity", "OneMeter", "Tpf") is missing
// or the tables would not fit in the machine's memory. A negative count asks for no table and passes.
bool CheckWorldConfig(const CConfigNode* tree, char* fault, std::size_t size);

} // namespace Vusk
