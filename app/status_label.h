// CStatusLabel: a static text with its own text colour, background brush and
// font, painted by the control itself so the colours hold on every theme.
//
// What it owns: one background brush (exactly one, however often the colour
// changes), a font description and the font built from it. The font always
// matches the description; every change of the description rebuilds it.
//
// Threads: user-interface thread only. The transfer worker reaches SetText
// through the window side, which runs it on this thread and waits.
//
// Failure: a font the system cannot supply falls back to the default
// interface font; nothing throws.
#pragma once

#include <memory>
#include <string>

#include <wx/brush.h>
#include <wx/control.h>
#include <wx/font.h>

namespace dravel::gui {

// A toolkit-neutral logical font record: the fields the label edits and
// rebuilds its font from. Height follows the usual convention: negative asks
// for that character height in pixels, positive for that cell height.
struct FontDescription {
    int height = 0;
    int weight = 400;            // 400 normal, 700 bold
    bool italic = false;
    bool underline = false;
    bool strikeOut = false;
    wxFontEncoding charSet = wxFONTENCODING_DEFAULT;
    wxFontFamily family = wxFONTFAMILY_DEFAULT;
    wxString faceName;

    static FontDescription FromFont(const wxFont& font);
    wxFont MakeFont() const;
};

inline constexpr int kFontWeightNormal = 400;
inline constexpr int kFontWeightBold = 700;

enum class LabelAlign { Left, Centre };

class CStatusLabel final : public wxControl {
public:
    // `framed` draws the raised dialog-frame border of the form's two
    // visible labels.
    CStatusLabel(wxWindow* parent, wxWindowID id, const wxRect& rect, LabelAlign align, bool framed,
                 const wxString& text = wxString());
    ~CStatusLabel() override;

    CStatusLabel& SetText(const wxString& text);
    CStatusLabel& SetText(const std::string& utf8) { return SetText(wxString::FromUTF8(utf8)); }
    CStatusLabel& SetTextColor(const wxColour& colour);
    CStatusLabel& SetBkColor(const wxColour& colour);
    CStatusLabel& SetFontBold(bool bold);
    CStatusLabel& SetFontSize(int size);
    void RebuildFont();

    const wxColour& TextColour() const { return m_textColour; }
    wxColour BkColour() const;
    const FontDescription& Description() const { return m_description; }
    const wxFont& LabelFont() const { return m_font; }
    wxString Text() const { return GetLabel(); }

    // Draws the label as it appears on the screen into any device context.
    void Draw(wxDC& dc) const;

    // Background brushes alive in all labels (a leak shows up here).
    static int LiveBrushes();

    bool AcceptsFocus() const override { return false; }

protected:
    wxSize DoGetBestSize() const override;

private:
    void OnPaint(wxPaintEvent& event);
    void RedrawNow();

    wxColour m_textColour;
    std::unique_ptr<wxBrush> m_bkBrush;
    FontDescription m_description;
    wxFont m_font;
    LabelAlign m_align;
    bool m_framed;

    wxDECLARE_EVENT_TABLE();
};

}  // namespace dravel::gui
