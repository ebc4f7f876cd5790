#pragma once
// What of the navigation graphs and their data did not load as the latest graph manager read its
// definition (while a world was built), for the host to say.

namespace Vusk {

// The first fault ("graph 'MoveGraph' has data that do not load: 'CAstarData'"), or null when
// everything the definition names loaded.
const char* GetGraphLoadFault();

}  // namespace Vusk
