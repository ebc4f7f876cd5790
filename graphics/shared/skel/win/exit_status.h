#pragma once
// The status the process ends with (SkelWinMain's result) when nothing else says otherwise: 0,
// unless the application failed on the way and set a failing one. A start that fails (the
// application's start, the window class, the window or the graphics open) returns
// kSkelFailureStatus.

inline constexpr int kSkelFailureStatus = 1;

// The status for a loop that ends with a quit of code 0; the start-up defaults set it to 0.
void SkelSetFailureStatus(int status);
int SkelGetFailureStatus();
