#include "platform/port_names.h"

namespace dravel {

// Linux keeps no list of serial ports of its own; the devices that udev
// announces are where one would come from.
std::vector<SystemPort> ListSystemPorts() { return {}; }

}  // namespace dravel
