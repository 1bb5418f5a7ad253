#include "app/dravel_view.h"

#include <algorithm>

#include <wx/dcclient.h>
#include <wx/frame.h>
#include <wx/icon.h>
#include <wx/image.h>
#include <wx/mstream.h>

#include "app/dialog_units.h"
#ifndef __WXMSW__
#include "app/embedded_pictures.h"
#endif
#include "app/resource_ids.h"

namespace dravel::gui {

namespace {

constexpr int kFormWidth = 301;   // template 101, dialog units
constexpr int kFormHeight = 167;

#ifndef __WXMSW__
wxBitmap PngBitmap(const unsigned char* data, size_t size) {
    if (!wxImage::FindHandler(wxBITMAP_TYPE_PNG)) wxImage::AddHandler(new wxPNGHandler);
    wxMemoryInputStream stream(data, size);
    wxImage image(stream, wxBITMAP_TYPE_PNG);
    return image.IsOk() ? wxBitmap(image) : wxBitmap();
}
#endif

}  // namespace

#ifdef __WXMSW__
// On Windows the pictures are resources of the .exe (dravel.rc): the toolkit
// there has no PNG decoder, and a resource is what Explorer shows anyway.
wxBitmap BannerBitmap() { return wxBitmap("BANNER", wxBITMAP_TYPE_BMP_RESOURCE); }
wxBitmap IconBitmap() {
    const wxIcon icon("#128", wxBITMAP_TYPE_ICO_RESOURCE, 64, 64);
    wxBitmap picture;
    if (icon.IsOk()) picture.CopyFromIcon(icon);
    return picture;
}
#else
wxBitmap BannerBitmap() { return PngBitmap(kBannerPng, kBannerPngSize); }
wxBitmap IconBitmap() { return PngBitmap(kIconPng, kIconPngSize); }
#endif

wxBEGIN_EVENT_TABLE(CDravelView, wxPanel)
    EVT_BUTTON(id::kChooseFile, CDravelView::OnChooseFile)
    EVT_BUTTON(id::kSend, CDravelView::OnSend)
    EVT_PAINT(CDravelView::OnPaint)
wxEND_EVENT_TABLE()

CDravelView::CDravelView(wxWindow* parent, FormHost& host)
    : m_host(host), m_navyBrush(kNavy, wxBRUSHSTYLE_SOLID) {
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    wxPanel::Create(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxBORDER_NONE);
    // The template's font; the layout below is in its dialog units.
    SetFont(wxFontInfo(10).Family(wxFONTFAMILY_TELETYPE).FaceName("Courier"));
    m_extent = DialogSize(this, kFormWidth, kFormHeight);
    SetSize(m_extent);

    auto at = [this](int x, int y, int w, int h) { return DialogRect(this, x, y, w, h); };
    // Template order, which is also the tab order.
    const wxRect send = at(36, 94, 50, 26);
    m_sendButton = new wxButton(this, id::kSend, "&Send", send.GetPosition(), send.GetSize());
    m_fileLabel = new CStatusLabel(this, id::kFileLabel, at(90, 59, 177, 27), LabelAlign::Centre, true,
                                   "No file chosen yet");
    m_label1006 = new CStatusLabel(this, id::kLabel1006, at(42, 246, 198, 18), LabelAlign::Left, true);
    m_statusLabel = new CStatusLabel(this, id::kStatusLabel, at(90, 94, 176, 26), LabelAlign::Centre, true,
                                     "Ready to send");
    m_label1008 = new CStatusLabel(this, id::kLabel1008, at(53, 199, 198, 20), LabelAlign::Left, false);
    const wxRect choose = at(35, 59, 52, 26);
    m_chooseButton = new wxButton(this, id::kChooseFile, "&Choose file", choose.GetPosition(), choose.GetSize());
    m_titleLabel = new CStatusLabel(this, id::kTitleLabel, at(2, 4, 8, 6), LabelAlign::Left, false);
    m_titleLabel->Hide();
    // A picture control takes the size of its picture.
    const wxBitmap banner = BannerBitmap();
    m_banner = new wxStaticBitmap(this, id::kBanner, banner, at(27, 18, 267, 18).GetPosition(),
                                  banner.IsOk() ? banner.GetSize() : at(27, 18, 267, 18).GetSize());
    // The share of the file sent, in the strip below the buttons.
    const wxRect strip = at(18, 150, 270, 13);
    m_progress = new wxGauge(this, id::kProgress, kProgressRange, strip.GetPosition(), strip.GetSize(),
                             wxGA_HORIZONTAL | wxGA_SMOOTH);
    m_sendButton->SetDefault();
}

CDravelView::~CDravelView() = default;

void CDravelView::OnPaint(wxPaintEvent&) {
    wxPaintDC dc(this);
    dc.SetBackground(m_navyBrush);
    dc.Clear();
}

void CDravelView::ShrinkParentToFit() {
    auto* frame = wxDynamicCast(GetParent(), wxFrame);
    if (!frame) return;
    frame->SendSizeEvent();
    const wxSize client = frame->GetClientSize();
    const wxSize fitted(std::min(client.x, m_extent.x), std::min(client.y, m_extent.y));
    if (fitted == client) return;
    // Shrinking only: a frame that is already smaller than the form keeps
    // its size in that direction.
    frame->SetMinSize(wxDefaultSize);
    frame->SetMaxSize(wxDefaultSize);
    frame->SetClientSize(fitted);
}

void CDravelView::OnInitialUpdate() {
    ShrinkParentToFit();
    m_fileLabel->SetBkColor(kNavy);
    m_label1006->SetBkColor(kNavy);
    m_statusLabel->SetBkColor(kNavy);
    m_label1008->SetBkColor(kNavy);
    m_label1008->SetTextColor(kYellow);
    m_titleLabel->SetBkColor(kNavy).SetFontSize(16).SetFontBold(true).SetTextColor(kYellow).SetText(
        wxString("Code Download"));
    Refresh();
}

void CDravelView::OnChooseFile(wxCommandEvent&) {
    const std::string path = m_host.ChooseFile();
    if (!path.empty()) ApplyChosenFile(path);
}

void CDravelView::ApplyChosenFile(const std::string& path) {
    m_host.SetFilePath(path);
    m_fileChosen = kFileChosen;
    m_fileLabel->SetTextColor(kYellow).SetText(path);
}

void CDravelView::OnSend(wxCommandEvent&) {
    m_transferKind.store(kTransferKindSend);
    if (m_host.FilePath().empty() || m_fileChosen != kFileChosen) {
        m_host.ShowMessage(text::kSelectFileFirst);
        return;
    }
    if (!m_host.PrepareSend()) return;
    m_sendButton->Disable();
    m_statusLabel->SetTextColor(kYellow).SetText(std::string(text::kTransmitting));
    m_progress->SetValue(0);
    m_host.StartTransfer(*this);
}

void CDravelView::ShowProgress(const TransferProgress& progress) {
    if (!progress.fileSize || *progress.fileSize == 0) return;
    const uint64_t sent = std::min(progress.bytesSent, *progress.fileSize);
    m_progress->SetValue(static_cast<int>(sent * kProgressRange / *progress.fileSize));
}

void CDravelView::SetStatusText(const std::string& text) { m_statusLabel->SetText(text); }

void CDravelView::EnableSendButton(bool enable) { m_sendButton->Enable(enable); }

}  // namespace dravel::gui
