// Read first in every file of the desktop program built for Windows (a
// compiler option in app/CMakeLists.txt). The toolkit's headers bring in the
// Win32 API, in which WM_TIMER, WM_USER, SendMessage, MessageBox and
// LoadImage are macros, while the core has constants and operations of those
// names. Reading the API once, here, before anything else, and taking those
// five macros back leaves both usable: the API's headers are not read again.
#pragma once

#include <wx/msw/wrapwin.h>

#undef WM_TIMER
#undef WM_USER
#undef SendMessage
#undef MessageBox
#undef LoadImage
