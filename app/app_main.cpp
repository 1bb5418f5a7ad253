// The desktop program's entry point.
#include "app/dravel_app.h"

wxIMPLEMENT_APP(dravel::gui::CDravelApp);
