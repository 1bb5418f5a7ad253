// The pictures of res/ compiled into the program, so that it shows them
// wherever it is installed or run from. Read-only data, any thread.
#pragma once

#include <cstddef>

namespace dravel::gui {

extern const unsigned char kBannerPng[];
extern const std::size_t kBannerPngSize;
extern const unsigned char kIconPng[];
extern const std::size_t kIconPngSize;

}  // namespace dravel::gui
