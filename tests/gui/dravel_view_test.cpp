// The download form in a window of its own, pressed with the pointer: the
// rules of send, choose file and its cancel, the colours of the initial
// update, the progress bar and a layout within the form's extent.
#include <gtest/gtest.h>
#include <wx/frame.h>
#include <wx/settings.h>

#include "app/dravel_view.h"
#include "tests/gui/gui_test_support.h"

namespace dravel::gui {
namespace {

using namespace guitest;

struct FakeHost final : FormHost {
    std::string path;
    std::string nextChoice;
    std::vector<std::string> messages;
    std::vector<FormView*> starts;
    int dialogs = 0;

    void SetFilePath(const std::string& p) override { path = p; }
    std::string FilePath() const override { return path; }
    void StartTransfer(FormView& form) override { starts.push_back(&form); }
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    std::string ChooseFile() override {
        ++dialogs;
        return nextChoice;
    }
};

class DownloadFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_frame = new wxFrame(nullptr, wxID_ANY, "form", wxDefaultPosition, wxSize(650, 540));
        m_view = new CDravelView(m_frame, m_host);
        m_view->OnInitialUpdate();
        m_frame->Show();
        ASSERT_TRUE(PumpUntil([this] { return m_frame->IsShownOnScreen(); }));
    }
    void TearDown() override {
        m_frame->Destroy();
        PumpFor(20ms);
    }

    FakeHost m_host;
    wxFrame* m_frame = nullptr;
    CDravelView* m_view = nullptr;
};

TEST_F(DownloadFormTest, InitialUpdateColoursTheLabelsAndShrinksTheFrameToTheForm) {
    for (CStatusLabel* label : {&m_view->FileLabel(), &m_view->Label1006(), &m_view->StatusLabel(), &m_view->Label1008()}) {
        EXPECT_EQ(label->BkColour(), kNavy) << label->GetId();
    }
    EXPECT_EQ(m_view->Label1008().TextColour(), kYellow);
    // Until the first send the status label keeps the system's text colour.
    EXPECT_EQ(m_view->StatusLabel().TextColour(), wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOWTEXT));

    CStatusLabel& title = m_view->TitleLabel();
    EXPECT_FALSE(title.IsShown());
    EXPECT_EQ(title.Text(), "Code Download");
    EXPECT_EQ(title.BkColour(), kNavy);
    EXPECT_EQ(title.TextColour(), kYellow);
    EXPECT_EQ(title.Description().height, -16);
    EXPECT_EQ(title.Description().weight, kFontWeightBold);

    // The frame shrinks to hold the form and never grows past 650 x 540.
    const wxSize client = m_frame->GetClientSize();
    const wxSize extent = m_view->FormExtent();
    EXPECT_LE(client.x, extent.x);
    EXPECT_LE(client.y, extent.y);
    EXPECT_LE(m_frame->GetSize().x, 650);
    EXPECT_LE(m_frame->GetSize().y, 540);

    // Running it again (new or open document) changes nothing more.
    m_view->OnInitialUpdate();
    EXPECT_EQ(m_frame->GetClientSize(), client);
}

TEST_F(DownloadFormTest, SendWithoutAChosenFileOnlyAsksForOne) {
    Click(&m_view->SendButton());
    ASSERT_EQ(m_host.messages, std::vector<std::string>{"Select file first!"});
    EXPECT_TRUE(m_view->SendButton().IsEnabled());
    EXPECT_EQ(m_view->TransferKind(), 2);
    EXPECT_TRUE(m_host.starts.empty());
    EXPECT_NE(m_view->StatusLabel().Text(), "Transmitting .... ");

    // A path alone is not enough: it must have come from the file dialog.
    m_host.path = "/tmp/firmware.bin";
    Click(&m_view->SendButton());
    EXPECT_EQ(m_host.messages.size(), 2u);
    EXPECT_TRUE(m_host.starts.empty());
}

TEST_F(DownloadFormTest, ChoosingAFileThenSendStartsOneTransfer) {
    m_host.nextChoice = "/srv/images/loader.bin";
    Click(&m_view->ChooseButton());
    EXPECT_EQ(m_host.dialogs, 1);
    EXPECT_EQ(m_host.path, "/srv/images/loader.bin");
    EXPECT_EQ(m_view->FileLabel().Text(), "/srv/images/loader.bin");
    EXPECT_EQ(m_view->FileLabel().TextColour(), kYellow);
    EXPECT_EQ(m_view->FileChosenFlag(), 2);

    Click(&m_view->SendButton());
    EXPECT_TRUE(m_host.messages.empty());
    ASSERT_EQ(m_host.starts.size(), 1u);
    EXPECT_EQ(m_host.starts[0], static_cast<FormView*>(m_view));
    EXPECT_FALSE(m_view->SendButton().IsEnabled());
    EXPECT_EQ(m_view->StatusLabel().Text(), "Transmitting .... ");
    EXPECT_EQ(m_view->StatusLabel().TextColour(), kYellow);
    EXPECT_EQ(m_view->TransferKind(), 2);

    // While it runs send is off; choose file stays on.
    Click(&m_view->SendButton());
    EXPECT_EQ(m_host.starts.size(), 1u);
    EXPECT_TRUE(m_view->ChooseButton().IsEnabled());

    // The worker's side: its texts, then send back on.
    m_view->SetStatusText("Sync Dectected ...");
    EXPECT_EQ(m_view->StatusLabel().Text(), "Sync Dectected ...");
    m_view->EnableSendButton(true);
    EXPECT_TRUE(m_view->SendButton().IsEnabled());
}

TEST_F(DownloadFormTest, ACancelledFileDialogKeepsTheFirstChoice) {
    m_host.nextChoice = "/srv/images/first.bin";
    Click(&m_view->ChooseButton());
    m_host.nextChoice.clear();  // the second dialog is cancelled
    Click(&m_view->ChooseButton());
    EXPECT_EQ(m_host.dialogs, 2);
    EXPECT_EQ(m_host.path, "/srv/images/first.bin");
    EXPECT_EQ(m_view->FileLabel().Text(), "/srv/images/first.bin");
    EXPECT_EQ(m_view->FileChosenFlag(), 2);
}

TEST_F(DownloadFormTest, TheProgressBarShowsTheShareOfTheFileSent) {
    TransferProgress progress;
    progress.fileSize = 200 * 1024;
    progress.bytesSent = 50 * 1024;
    m_view->ShowProgress(progress);
    EXPECT_EQ(m_view->Progress().GetValue(), kProgressRange / 4);
    progress.fileSize.reset();  // a size nobody knows moves nothing
    progress.bytesSent = 150 * 1024;
    m_view->ShowProgress(progress);
    EXPECT_EQ(m_view->Progress().GetValue(), kProgressRange / 4);
    progress.fileSize = 100;  // never past the end
    progress.bytesSent = 1024;
    m_view->ShowProgress(progress);
    EXPECT_EQ(m_view->Progress().GetValue(), kProgressRange);

    // A new send starts the bar from the beginning.
    m_host.nextChoice = "/srv/images/again.bin";
    Click(&m_view->ChooseButton());
    Click(&m_view->SendButton());
    EXPECT_EQ(m_view->Progress().GetValue(), 0);
}

TEST_F(DownloadFormTest, EverythingToBeSeenLiesInsideTheFormAndApart) {
    const wxRect form(m_view->FormExtent());
    wxWindow* banner = m_view->FindWindow(30998);
    ASSERT_NE(banner, nullptr);
    EXPECT_EQ(banner->GetSize(), wxSize(500, 50));
    std::vector<wxWindow*> seen = {banner, &m_view->ChooseButton(), &m_view->SendButton(), &m_view->FileLabel(),
                                   &m_view->StatusLabel(), &m_view->Progress()};
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_TRUE(form.Contains(seen[i]->GetRect())) << "control " << seen[i]->GetId() << " leaves the form";
        for (size_t j = i + 1; j < seen.size(); ++j) {
            EXPECT_FALSE(seen[i]->GetRect().Intersects(seen[j]->GetRect()))
                << seen[i]->GetId() << " overlaps " << seen[j]->GetId();
        }
    }
    // The two coloured-only labels lie below the form, as in the template.
    EXPECT_GE(m_view->Label1006().GetPosition().y, form.GetBottom());
    EXPECT_GE(m_view->Label1008().GetPosition().y, form.GetBottom());
    // The bar sits below the buttons.
    EXPECT_GT(m_view->Progress().GetPosition().y, m_view->SendButton().GetRect().GetBottom());
}

}  // namespace
}  // namespace dravel::gui
