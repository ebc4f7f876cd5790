// The shell's application hook of the game: every event goes to the game's application.
#include "demo/dunmarrow_application.h"

std::int32_t AppEventHandler(std::int32_t event, void* parameter) {
    return CDunmarrowApplication::GetInstance()->HandleEvent(event, parameter);
}
