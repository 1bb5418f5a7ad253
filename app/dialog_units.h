// Dialog-unit geometry: the window templates give positions and sizes in
// dialog units of their own font, so the layout follows that font wherever it
// is rendered. User-interface thread only (it measures a window's font).
#pragma once

#include <wx/window.h>

namespace dravel::gui {

// A rectangle in dialog units of `basis`'s current font, turned into pixels.
inline wxRect DialogRect(wxWindow* basis, int x, int y, int width, int height) {
    const wxPoint origin = basis->ConvertDialogToPixels(wxPoint(x, y));
    const wxSize size = basis->ConvertDialogToPixels(wxSize(width, height));
    return wxRect(origin, size);
}

inline wxSize DialogSize(wxWindow* basis, int width, int height) {
    return basis->ConvertDialogToPixels(wxSize(width, height));
}

}  // namespace dravel::gui
