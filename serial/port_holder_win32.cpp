#include "serial/port_holder.h"

namespace dravel {

// Windows keeps who holds a COM port to itself (a handle search would need
// the rights of a debugger): the caller says "in use by another program".
std::vector<PortHolder> FindPortHolders(const std::string&) { return {}; }

// Access to a COM port is not granted by group; "access denied" there means
// another program holds it.
std::string PermissionFix(const std::string&) { return {}; }

}  // namespace dravel
