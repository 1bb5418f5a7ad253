#include "app/status_label.h"

#include <atomic>
#include <cmath>
#include <vector>

#include <wx/dcclient.h>
#include <wx/dcscreen.h>
#include <wx/settings.h>

namespace dravel::gui {

namespace {

std::atomic<int> g_liveBrushes{0};

// Every background brush a label holds is made and dropped here, so the
// count of living ones can be checked.
std::unique_ptr<wxBrush> MakeBrush(const wxColour& colour) {
    ++g_liveBrushes;
    return std::make_unique<wxBrush>(colour, wxBRUSHSTYLE_SOLID);
}

void DropBrush(std::unique_ptr<wxBrush>& brush) {
    if (brush) {
        brush.reset();
        --g_liveBrushes;
    }
}

int ScreenDpi() {
    const wxSize dpi = wxScreenDC().GetPPI();
    return dpi.y > 0 ? dpi.y : 96;
}

// Breaks text into lines that fit `width`: at blanks where it can, inside a
// word (a long path) where it must, and at every line feed.
std::vector<wxString> WrapLines(const wxDC& dc, const wxString& text, int width) {
    std::vector<wxString> lines;
    wxString line;
    auto fits = [&](const wxString& candidate) { return dc.GetTextExtent(candidate).x <= width; };
    for (wxString::const_iterator it = text.begin(); it != text.end(); ++it) {
        const wxUniChar ch = *it;
        if (ch == '\n') {
            lines.push_back(line);
            line.clear();
            continue;
        }
        if (ch == '\r') continue;
        wxString candidate = line + ch;
        if (fits(candidate) || line.empty()) {
            line = candidate;
            continue;
        }
        const int blank = line.Find(' ', true);
        if (ch == ' ') {
            lines.push_back(line);
            line.clear();
        } else if (blank != wxNOT_FOUND && blank > 0) {
            lines.push_back(line.Left(static_cast<size_t>(blank)));
            line = line.Mid(static_cast<size_t>(blank) + 1) + ch;
        } else {
            lines.push_back(line);
            line = wxString(ch);
        }
    }
    if (!line.empty() || lines.empty()) lines.push_back(line);
    return lines;
}

constexpr int kFrameWidth = 3;  // raised dialog-frame border, in pixels

}  // namespace

FontDescription FontDescription::FromFont(const wxFont& font) {
    FontDescription description;
    // Character height in pixels, as the default interface font asks for it.
    const double points = font.GetFractionalPointSize();
    const wxSize pixels = font.GetPixelSize();
    description.height = points > 0 ? -static_cast<int>(std::lround(points * ScreenDpi() / 72.0)) : pixels.y;
    description.weight = font.GetNumericWeight();
    description.italic = font.GetStyle() != wxFONTSTYLE_NORMAL;
    description.underline = font.GetUnderlined();
    description.strikeOut = font.GetStrikethrough();
    description.charSet = font.GetEncoding();
    description.family = font.GetFamily();
    description.faceName = font.GetFaceName();
    return description;
}

wxFont FontDescription::MakeFont() const {
    // A negative height is the character (em) height in pixels, which is
    // what a point size at the screen's resolution asks for; a positive one
    // is a cell height, which the toolkit's pixel size means.
    wxFontInfo info = height < 0    ? wxFontInfo(-height * 72.0 / ScreenDpi())
                      : height > 0 ? wxFontInfo(wxSize(0, height))
                                   : wxFontInfo();
    info.Family(family).FaceName(faceName).Italic(italic).Underlined(underline).Strikethrough(strikeOut).Encoding(charSet);
    wxFont font(info);
    if (!font.IsOk()) font = wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT);
    font.SetNumericWeight(weight);
    return font;
}

wxBEGIN_EVENT_TABLE(CStatusLabel, wxControl)
    EVT_PAINT(CStatusLabel::OnPaint)
wxEND_EVENT_TABLE()

CStatusLabel::CStatusLabel(wxWindow* parent, wxWindowID id, const wxRect& rect, LabelAlign align, bool framed,
                           const wxString& text)
    : m_textColour(wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOWTEXT)),
      m_bkBrush(MakeBrush(wxSystemSettings::GetColour(wxSYS_COLOUR_BTNFACE))),
      m_description(FontDescription::FromFont(wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT))),
      m_align(align),
      m_framed(framed) {
    m_font = m_description.MakeFont();
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    wxControl::Create(parent, id, rect.GetPosition(), rect.GetSize(), wxBORDER_NONE | wxFULL_REPAINT_ON_RESIZE);
    wxControl::SetLabel(text);
}

CStatusLabel::~CStatusLabel() { DropBrush(m_bkBrush); }

int CStatusLabel::LiveBrushes() { return g_liveBrushes.load(); }

wxColour CStatusLabel::BkColour() const { return m_bkBrush ? m_bkBrush->GetColour() : wxColour(); }

CStatusLabel& CStatusLabel::SetText(const wxString& text) {
    if (text != GetLabel()) {
        wxControl::SetLabel(text);
        Refresh();
    }
    return *this;
}

CStatusLabel& CStatusLabel::SetTextColor(const wxColour& colour) {
    m_textColour = colour;
    RedrawNow();
    return *this;
}

CStatusLabel& CStatusLabel::SetBkColor(const wxColour& colour) {
    // The new colour shows at the next painting; nothing is redrawn here.
    DropBrush(m_bkBrush);
    m_bkBrush = MakeBrush(colour);
    return *this;
}

CStatusLabel& CStatusLabel::SetFontBold(bool bold) {
    m_description.weight = bold ? kFontWeightBold : kFontWeightNormal;
    RebuildFont();
    RedrawNow();
    return *this;
}

CStatusLabel& CStatusLabel::SetFontSize(int size) {
    m_description.height = -size;
    RebuildFont();
    RedrawNow();
    return *this;
}

void CStatusLabel::RebuildFont() { m_font = m_description.MakeFont(); }

void CStatusLabel::RedrawNow() {
    Refresh(true);
    Update();
}

wxSize CStatusLabel::DoGetBestSize() const {
    wxClientDC dc(const_cast<CStatusLabel*>(this));
    dc.SetFont(m_font);
    wxSize size = dc.GetMultiLineTextExtent(GetLabel());
    if (m_framed) size.IncBy(2 * kFrameWidth);
    return size;
}

void CStatusLabel::OnPaint(wxPaintEvent&) {
    wxPaintDC dc(this);
    Draw(dc);
}

void CStatusLabel::Draw(wxDC& dc) const {
    const wxSize size = GetClientSize();
    dc.SetPen(*wxTRANSPARENT_PEN);
    dc.SetBrush(m_bkBrush ? *m_bkBrush : *wxWHITE_BRUSH);
    dc.DrawRectangle(0, 0, size.x, size.y);

    wxRect inner(size);
    if (m_framed) {
        // A raised frame: light on the top and left, dark on the bottom and right.
        const wxColour light = wxSystemSettings::GetColour(wxSYS_COLOUR_3DHIGHLIGHT);
        const wxColour face = wxSystemSettings::GetColour(wxSYS_COLOUR_3DFACE);
        const wxColour shadow = wxSystemSettings::GetColour(wxSYS_COLOUR_3DSHADOW);
        const wxColour dark = wxSystemSettings::GetColour(wxSYS_COLOUR_3DDKSHADOW);
        const wxColour ring[kFrameWidth][2] = {{face, dark}, {light, shadow}, {face, face}};
        for (int i = 0; i < kFrameWidth; ++i) {
            const int right = size.x - 1 - i;
            const int bottom = size.y - 1 - i;
            dc.SetPen(wxPen(ring[i][0]));
            dc.DrawLine(i, i, right, i);
            dc.DrawLine(i, i, i, bottom);
            dc.SetPen(wxPen(ring[i][1]));
            dc.DrawLine(i, bottom, right + 1, bottom);
            dc.DrawLine(right, i, right, bottom);
        }
        inner.Deflate(kFrameWidth);
    }

    const wxString text = GetLabel();
    if (text.empty()) return;
    dc.SetFont(m_font);
    dc.SetTextForeground(m_textColour);
    dc.SetBackgroundMode(wxBRUSHSTYLE_TRANSPARENT);
    dc.SetClippingRegion(inner);
    const int lineHeight = dc.GetCharHeight();
    int y = inner.y;
    for (const wxString& line : WrapLines(dc, text, inner.width)) {
        if (y >= inner.GetBottom()) break;
        int x = inner.x;
        if (m_align == LabelAlign::Centre) x += (inner.width - dc.GetTextExtent(line).x) / 2;
        dc.DrawText(line, x, y);
        y += lineHeight;
    }
    dc.DestroyClippingRegion();
}

}  // namespace dravel::gui
