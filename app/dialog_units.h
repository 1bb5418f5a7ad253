// Dialog-unit geometry: the window templates give positions and sizes in
// dialog units of their own font, so the layout follows that font wherever it
// is rendered. User-interface thread only (it measures a window's font).
//
// The units are those of `basis`'s own font, measured as Windows measures a
// dialog template's font: a horizontal unit is a quarter of the mean width
// of the 52 letters, a vertical one an eighth of the font's height. (The
// toolkit's ConvertDialogToPixels measures the top-level window's font
// instead, which for the form is the frame's default font, not the form's.)
#pragma once

#include <wx/math.h>
#include <wx/window.h>

namespace dravel::gui {

inline wxSize DialogBaseUnits(wxWindow* basis) {
    int width = 0;
    int height = 0;
    basis->GetTextExtent("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", &width, &height);
    return wxSize((width / 26 + 1) / 2, height);
}

inline wxSize DialogSize(wxWindow* basis, int width, int height) {
    const wxSize base = DialogBaseUnits(basis);
    return wxSize(wxMulDivInt32(width, base.x, 4), wxMulDivInt32(height, base.y, 8));
}

// A rectangle in dialog units of `basis`'s current font, turned into pixels.
inline wxRect DialogRect(wxWindow* basis, int x, int y, int width, int height) {
    const wxSize origin = DialogSize(basis, x, y);
    return wxRect(wxPoint(origin.x, origin.y), DialogSize(basis, width, height));
}

}  // namespace dravel::gui
