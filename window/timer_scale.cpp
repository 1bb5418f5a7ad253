#include "window/timer_scale.h"

#include <cstdlib>

namespace dravel {

double NormalizeTimerScale(double scale) {
    // Written so that NaN fails the first test.
    if (!(scale > 0.0) || scale > 1.0) return 1.0;
    return scale;
}

double TimerScaleFromEnvironment() {
    const char* text = std::getenv("DRAVEL_TIMER_SCALE");
    if (!text || !*text) return 1.0;
    char* end = nullptr;
    const double scale = std::strtod(text, &end);
    if (end == text || *end != '\0') return 1.0;
    return NormalizeTimerScale(scale);
}

}  // namespace dravel
