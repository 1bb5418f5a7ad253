// The timer scale: how much shorter than the protocol's own periods the window
// timers run. Only tests shorten them (DRAVEL_TIMER_SCALE=0.1 turns the 20000 ms
// answer timer into 2000 ms); the product always runs at 1. Both window sides
// and both front ends take their scale through here, so they cannot disagree.
//
// Threads: plain functions, any thread may call them (the environment is only
// read). They never fail: a scale that makes no sense is 1.
#pragma once

namespace dravel {

// Timers are only ever shortened: a scale that is not a number, not above 0,
// or above 1 is 1.
double NormalizeTimerScale(double scale);

// DRAVEL_TIMER_SCALE, normalised; 1 when it is unset or not wholly a number.
double TimerScaleFromEnvironment();

}  // namespace dravel
