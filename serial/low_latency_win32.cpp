// On Windows the latency timer is a setting of the adapter's driver, changed
// in the Device Manager with administrator rights; a program opening the port
// has no call for it.

#include "serial/low_latency.h"

namespace dravel {

std::string RequestLowLatency(intptr_t, const std::string& device)
{
    return "low latency: set in the adapter's properties on Windows (Device Manager > Ports > " + device +
           " > Port Settings > Advanced > Latency Timer)";
}

}  // namespace dravel
