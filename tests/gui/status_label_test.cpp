// The status label: its own colours and font, exactly one brush, and what it
// actually draws (pixels of a rendering, not its members).
#include <gtest/gtest.h>
#include <wx/bitmap.h>
#include <wx/dcmemory.h>
#include <wx/frame.h>
#include <wx/image.h>
#include <wx/panel.h>
#include <wx/settings.h>

#include "app/dravel_view.h"
#include "app/status_label.h"
#include "tests/gui/gui_test_support.h"

namespace dravel::gui {
namespace {

using namespace guitest;

class StatusLabelTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_frame = new wxFrame(nullptr, wxID_ANY, "labels", wxDefaultPosition, wxSize(500, 300));
        m_panel = new wxPanel(m_frame);
        m_label = new CStatusLabel(m_panel, 1007, wxRect(10, 10, 352, 52), LabelAlign::Centre, true, "label");
        m_frame->Show();
        PumpUntil([this] { return m_frame->IsShownOnScreen(); });
    }
    void TearDown() override {
        m_frame->Destroy();
        PumpFor(20ms);
    }

    // The label as it paints itself.
    wxImage Render() const {
        const wxSize size = m_label->GetClientSize();
        wxBitmap bitmap(size.x, size.y, 24);
        {
            wxMemoryDC dc(bitmap);
            m_label->Draw(dc);
        }
        return bitmap.ConvertToImage();
    }
    // Pixels of exactly that colour, from a row on, inside the frame border.
    static int CountColour(const wxImage& image, const wxColour& colour, int fromRow = 0) {
        constexpr int border = 3;
        int count = 0;
        for (int y = std::max(fromRow, border); y < image.GetHeight() - border; ++y) {
            for (int x = border; x < image.GetWidth() - border; ++x) {
                if (image.GetRed(x, y) == colour.Red() && image.GetGreen(x, y) == colour.Green() &&
                    image.GetBlue(x, y) == colour.Blue()) {
                    ++count;
                }
            }
        }
        return count;
    }

    wxFrame* m_frame = nullptr;
    wxPanel* m_panel = nullptr;
    CStatusLabel* m_label = nullptr;
};

TEST_F(StatusLabelTest, StartsInTheSystemColoursAndDrawsWithThem) {
    const wxColour windowText = wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOWTEXT);
    EXPECT_EQ(m_label->TextColour(), windowText);
    EXPECT_EQ(m_label->BkColour(), wxSystemSettings::GetColour(wxSYS_COLOUR_BTNFACE));

    // Never given a text colour: the text is drawn in the window-text colour
    // on whatever background it holds.
    m_label->SetBkColor(kNavy).SetFontSize(16).SetFontBold(true).SetText(wxString("HHHHHHHH"));
    const wxImage image = Render();
    EXPECT_GT(CountColour(image, windowText), 20);
    EXPECT_EQ(image.GetRed(image.GetWidth() / 2, image.GetHeight() - 6), kNavy.Red());
    EXPECT_EQ(image.GetBlue(image.GetWidth() / 2, image.GetHeight() - 6), kNavy.Blue());
}

TEST_F(StatusLabelTest, DrawsItsTextInItsColourOnItsBackground) {
    m_label->SetBkColor(kNavy).SetTextColor(kYellow).SetFontSize(16).SetFontBold(true).SetText(wxString("HHHHHHHH"));
    const wxImage image = Render();
    EXPECT_GT(CountColour(image, kYellow), 20) << "no text in the label's colour";
    EXPECT_GT(CountColour(image, kNavy), image.GetWidth() * image.GetHeight() / 2) << "background not navy";
    EXPECT_EQ(CountColour(image, wxSystemSettings::GetColour(wxSYS_COLOUR_BTNFACE)), 0)
        << "the old background shows through";
}

TEST_F(StatusLabelTest, ALongPathWrapsInsteadOfBeingCutOff) {
    m_label->SetBkColor(kNavy).SetTextColor(kYellow);
    const int lineHeight = [&] {
        wxBitmap scratch(8, 8, 24);
        wxMemoryDC dc(scratch);
        dc.SetFont(m_label->LabelFont());
        return dc.GetCharHeight();
    }();
    ASSERT_GT(lineHeight, 5);
    m_label->SetText(wxString("/home/someone/firmware/builds/2024-05-01/board-rev-c/loader-image.bin"));
    const wxImage image = Render();
    // Text below the first line means the path went on there.
    EXPECT_GT(CountColour(image, kYellow, lineHeight + 3), 0);
}

TEST_F(StatusLabelTest, SizeAndBoldRebuildTheFontAndKeepEverythingElse) {
    const FontDescription before = m_label->Description();
    CStatusLabel& same = m_label->SetFontSize(16).SetFontBold(true);
    EXPECT_EQ(&same, m_label);

    const FontDescription& after = m_label->Description();
    EXPECT_EQ(after.height, -16);
    EXPECT_EQ(after.weight, kFontWeightBold);
    EXPECT_EQ(after.faceName, before.faceName);
    EXPECT_EQ(after.charSet, before.charSet);
    EXPECT_EQ(after.italic, before.italic);
    EXPECT_EQ(after.underline, before.underline);
    EXPECT_EQ(after.strikeOut, before.strikeOut);

    // The font in use follows the description.
    const wxFont& font = m_label->LabelFont();
    ASSERT_TRUE(font.IsOk());
    EXPECT_EQ(font.GetWeight(), wxFONTWEIGHT_BOLD);
    EXPECT_EQ(font.GetStyle(), wxFONTSTYLE_NORMAL);
    EXPECT_FALSE(font.GetUnderlined());
    EXPECT_EQ(font.GetFaceName(), before.faceName);
    wxBitmap scratch(8, 8, 24);
    wxMemoryDC dc(scratch);
    dc.SetFont(font);
    const int cell = dc.GetCharHeight();
    EXPECT_GE(cell, 16);   // character height 16, so the cell is at least that
    EXPECT_LE(cell, 26);

    m_label->SetFontBold(false);
    EXPECT_EQ(m_label->Description().weight, kFontWeightNormal);
    EXPECT_EQ(m_label->LabelFont().GetWeight(), wxFONTWEIGHT_NORMAL);
    EXPECT_EQ(m_label->Description().height, -16) << "bold off must not undo the size";
}

TEST_F(StatusLabelTest, HoldsExactlyOneBrushHoweverOftenTheBackgroundChanges) {
    const int before = CStatusLabel::LiveBrushes();
    auto* other = new CStatusLabel(m_panel, 1003, wxRect(10, 80, 352, 52), LabelAlign::Left, false);
    EXPECT_EQ(CStatusLabel::LiveBrushes(), before + 1);
    for (int i = 0; i < 200; ++i) {
        m_label->SetBkColor(wxColour(static_cast<unsigned char>(i), 0, 128));
        other->SetBkColor(kNavy);
    }
    EXPECT_EQ(CStatusLabel::LiveBrushes(), before + 1);
    EXPECT_EQ(m_label->BkColour(), wxColour(199, 0, 128));
    other->Destroy();
    PumpFor(20ms);
    EXPECT_EQ(CStatusLabel::LiveBrushes(), before) << "a destroyed label left its brush behind";
}

}  // namespace
}  // namespace dravel::gui
