#pragma once
// The clock behind timeGetTime, GetTickCount and the performance counter.
//
// Two modes:
//  - real: the host's monotonic clock;
//  - fixed step: time stands still except when PlatformClockAdvanceFrame() is called, which
//    moves it on by the step. Used for reproducible runs; the headless back end calls it once
//    per presented frame. The environment variable PLATFORM_FIXED_STEP (seconds) selects this
//    mode at the first clock read.

// Seconds since the clock's start (0 in fixed-step mode until a frame is advanced).
double PlatformClockSeconds();

// step > 0 switches to fixed-step mode and restarts the clock at 0; step <= 0 switches back
// to the real clock.
void PlatformClockSetFixedStep(double stepSeconds);

// The step in force, or 0 when the clock is real.
double PlatformClockFixedStep();

// In fixed-step mode, moves the clock on by one step; no effect on the real clock.
void PlatformClockAdvanceFrame();
