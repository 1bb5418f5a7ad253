// Whole transfers, in process, against the device simulator on a real
// pseudo-terminal: what reaches the device, the sequence bytes on the wire,
// and the texts the user sees, in order.

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "window/headless_window.h"
#include "ports/port_table.h"
#include "protocol/download.h"
#include "tests/support/devsim_process.h"
#include "tests/support/process.h"

namespace dravel {
namespace {

using namespace std::chrono_literals;
using testing::DevsimProcess;
using testing::Padded;
using testing::PatternImage;
using testing::ScopedEnv;
using testing::TempDir;

// The form as a recorder: every status text and every message box, in order.
class RecordingForm final : public FormView {
public:
    explicit RecordingForm(int kind) : m_kind(kind) {}
    int TransferKind() const override { return m_kind; }
    void SetStatusText(const std::string& text) override { Record(text); }
    void EnableSendButton(bool enable) override {
        std::lock_guard lock(m_mutex);
        m_sendEnabled = enable;
    }
    void Record(std::string text) {
        std::lock_guard lock(m_mutex);
        m_texts.push_back(std::move(text));
    }
    std::vector<std::string> Texts() {
        std::lock_guard lock(m_mutex);
        return m_texts;
    }
    bool SendEnabled() {
        std::lock_guard lock(m_mutex);
        return m_sendEnabled;
    }

private:
    int m_kind;
    std::mutex m_mutex;
    std::vector<std::string> m_texts;
    bool m_sendEnabled = false;
};

std::vector<std::string> Without(std::vector<std::string> texts, const std::string& prefix) {
    texts.erase(std::remove_if(texts.begin(), texts.end(), [&](const std::string& t) { return t.rfind(prefix, 0) == 0; }),
                texts.end());
    return texts;
}

// One transfer of `content` with kind `kind` to a simulator started with
// `options`. Timers run at a quarter: 250 ms after a probe, 5 s after a frame,
// long enough for a loaded machine not to turn a slow answer into a resend.
class Transfer {
public:
    Transfer(int kind, std::vector<std::string> options)
        : device(WithFastIdle(std::move(options))), env("DRAVEL_COM1", device.LinkPath()), form(kind) {
        HeadlessWindow::Options windowOptions;
        windowOptions.timerScale = 0.25;
        windowOptions.onMessageBox = [this](std::string_view text, std::string_view) {
            form.Record("box: " + std::string(text));
        };
        windowOptions.onCause = [this](std::string_view text) {
            std::lock_guard lock(causeMutex);
            causes.emplace_back(text);
        };
        window.emplace(windowOptions);
        frame.emplace(*window);
        // Port 1 as a front end hands it down: DRAVEL_COM1 names the simulator.
        PortConfig port;
        port.resolved = PortTable().Resolve(1);
        frame->SetPortConfig(port);
    }
    ~Transfer() {
        frame.reset();
        window.reset();
    }

    TransferOutcome Send(const std::string& path) {
        frame->SetFilePath(path);
        return Send();
    }
    // Whatever the frame has been given to send.
    TransferOutcome Send() {
        window->Invoke([&] {
            frame->SetFormView(&form);
            frame->StartTransfer();
        });
        EXPECT_TRUE(frame->WaitUntilIdle(60s)) << "the transfer did not end";
        return frame->LastOutcome();
    }
    TransferOutcome SendContent(const std::string& content) {
        testing::WriteWholeFile(files / "image.bin", content);
        return Send(files / "image.bin");
    }

    static std::vector<std::string> WithFastIdle(std::vector<std::string> options) {
        options.insert(options.begin(), {"--idle-gap-ms", "5"});
        return options;
    }

    TempDir files;
    DevsimProcess device;
    ScopedEnv env;
    RecordingForm form;
    std::optional<HeadlessWindow> window;
    std::optional<CMainFrame> frame;
    std::mutex causeMutex;
    std::vector<std::string> causes;
};

TEST(Transfer, ImagesOfEverySizeArriveWithTheirPadding) {
    for (std::size_t size : {0u, 1u, 1023u, 1024u, 1025u}) {
        SCOPED_TRACE(size);
        Transfer transfer(2, {});
        const std::string content = PatternImage(size, static_cast<unsigned>(size));
        EXPECT_EQ(transfer.SendContent(content), TransferOutcome::Completed);
        ASSERT_EQ(transfer.device.Wait(), 0) << transfer.device.Errors();
        EXPECT_EQ(transfer.device.Image(), Padded(content));
        const std::size_t blocks = (size + 1023) / 1024;
        std::vector<int> expected;
        for (std::size_t i = 0; i < blocks; ++i) expected.push_back(static_cast<int>(i));
        EXPECT_EQ(transfer.device.FrameSequences(), expected);
        EXPECT_EQ(transfer.device.EndSequence(), static_cast<int>(blocks));
        auto texts = transfer.form.Texts();
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ(texts.back(), "box: Transfer Completed ");
        EXPECT_TRUE(transfer.form.SendEnabled());
        EXPECT_FALSE(transfer.frame->HasPort()) << "the port object is gone after the transfer";
    }
}

TEST(Transfer, ThreeHundredBlocksWrapTheSequenceByte) {
    Transfer transfer(2, {});
    const std::string content = PatternImage(300 * 1024 - 100, 7);
    EXPECT_EQ(transfer.SendContent(content), TransferOutcome::Completed);
    ASSERT_EQ(transfer.device.Wait(), 0);
    EXPECT_EQ(transfer.device.Image(), Padded(content));
    const auto sequences = transfer.device.FrameSequences();
    ASSERT_EQ(sequences.size(), 300u);
    EXPECT_EQ(sequences[255], 255);
    EXPECT_EQ(sequences[256], 0) << "the 257th frame carries 0 again";
    EXPECT_EQ(sequences[299], 43);
    EXPECT_EQ(transfer.device.EndSequence(), 44);
    const auto texts = transfer.form.Texts();
    EXPECT_EQ(texts[0], "Sync Dectected ...");
    EXPECT_EQ(texts[1], "Trnasmited Count 1");
    EXPECT_EQ(texts[300], "Trnasmited Count 300");
}

TEST(Transfer, KindThreeSendsExactLengthsAndKindFourItsOwnText) {
    {
        Transfer transfer(3, {});
        const std::string content = PatternImage(1025, 3);
        EXPECT_EQ(transfer.SendContent(content), TransferOutcome::Completed);
        ASSERT_EQ(transfer.device.Wait(), 0);
        EXPECT_EQ(transfer.device.Image(), content) << "'6' frames carry exactly their bytes";
        EXPECT_EQ(transfer.form.Texts()[2], "Trnasmited Count 2");
    }
    {
        Transfer transfer(4, {});
        const std::string content = PatternImage(1500, 4);
        EXPECT_EQ(transfer.SendContent(content), TransferOutcome::Completed);
        ASSERT_EQ(transfer.device.Wait(), 0);
        EXPECT_EQ(transfer.device.Image(), Padded(content));
        EXPECT_EQ(transfer.form.Texts()[1], "Transmited Count 1");
    }
}

TEST(Transfer, AnImageGivenAsBytesIsSentInsteadOfTheFileItsNameShows) {
    // The file under the display name holds something else: only the bytes
    // given may reach the device, framed exactly as a file's would be.
    for (const int kind : {2, 3}) {
        for (const std::size_t size : {1u, 1024u, 2500u}) {
            SCOPED_TRACE("kind " + std::to_string(kind) + ", " + std::to_string(size) + " bytes");
            Transfer transfer(kind, {});
            const std::string name = transfer.files / "app.hex";
            testing::WriteWholeFile(name, ":00000001FF\n");
            const std::string image = PatternImage(size, static_cast<unsigned>(size) + 1);
            transfer.frame->SetImage(name, std::vector<uint8_t>(image.begin(), image.end()));
            EXPECT_EQ(transfer.frame->FilePath(), name);
            TransferProgress last;
            transfer.frame->SetProgressObserver([&](const TransferProgress& progress) { last = progress; });
            EXPECT_EQ(transfer.Send(), TransferOutcome::Completed);
            ASSERT_EQ(transfer.device.Wait(), 0) << transfer.device.Errors();
            EXPECT_EQ(transfer.device.Image(), kind == 2 ? Padded(image) : image);
            EXPECT_EQ(transfer.device.FrameSequences().size(), (size + 1023) / 1024);
            EXPECT_EQ(last.fileSize, size);
            EXPECT_EQ(last.bytesSent, size);
        }
    }
    // A path set afterwards is read from its file again.
    Transfer transfer(3, {});
    const std::string content = PatternImage(700, 9);
    transfer.frame->SetImage("stale.hex", {1, 2, 3});
    EXPECT_EQ(transfer.SendContent(content), TransferOutcome::Completed);
    ASSERT_EQ(transfer.device.Wait(), 0) << transfer.device.Errors();
    EXPECT_EQ(transfer.device.Image(), content);
}

TEST(Transfer, RefusedTwiceThenAcceptedGoesOutThreeTimesWithOneSequenceByte) {
    Transfer transfer(2, {"--refuse", "1:2"});
    const std::string content = PatternImage(2048, 9);
    EXPECT_EQ(transfer.SendContent(content), TransferOutcome::Completed);
    ASSERT_EQ(transfer.device.Wait(), 0);
    EXPECT_EQ(transfer.device.Image(), content);
    EXPECT_EQ(transfer.device.FrameSequences(), (std::vector<int>{0, 0, 0, 1}));
    EXPECT_EQ(transfer.form.Texts(),
              (std::vector<std::string>{"Sync Dectected ...", "NAK  Data = 1", "NAK  Data = 2", "Trnasmited Count 1",
                                        "Trnasmited Count 2", "box: Transfer Completed "}));
}

TEST(Transfer, NoAnswerCounterRunsOnFromTheSyncPhase) {
    // Two probes unanswered, then the answer to the first frame is lost: the
    // data phase says "No Answer 3" and the same frame goes again.
    Transfer transfer(2, {"--silent-probes", "2", "--lose-answer", "1"});
    const std::string content = PatternImage(1024, 5);
    EXPECT_EQ(transfer.SendContent(content), TransferOutcome::Completed);
    ASSERT_EQ(transfer.device.Wait(), 0);
    EXPECT_EQ(transfer.device.Image(), content) << "the resend is not stored twice";
    EXPECT_EQ(transfer.device.FrameSequences(), (std::vector<int>{0, 0}));
    EXPECT_EQ(transfer.form.Texts(),
              (std::vector<std::string>{"No Answer 1", "No Answer 2", "Sync Dectected ...", "No Answer 3",
                                        "Trnasmited Count 1", "box: Transfer Completed "}));
}

TEST(Transfer, AbortAnswerEndsWithAnErrorAndNoEndFrame) {
    Transfer transfer(2, {"--abort-at", "2"});
    EXPECT_EQ(transfer.SendContent(PatternImage(4096, 2)), TransferOutcome::Failed);
    const auto texts = transfer.form.Texts();
    EXPECT_EQ(texts.back(), "box: Transfer Error !! ");
    EXPECT_EQ(Without(texts, "box:").back(), "Trnasmited Count 1");
    EXPECT_TRUE(transfer.form.SendEnabled());
    EXPECT_FALSE(transfer.frame->HasPort());
    transfer.device.Stop();
    EXPECT_FALSE(transfer.device.EndSequence().has_value()) << "no end frame after an abort";
    EXPECT_FALSE(transfer.device.HasImage());
}

TEST(Transfer, KindOneSendsEachLinesCommandAndDropsTheUnterminatedTail) {
    Transfer transfer(1, {});
    EXPECT_EQ(transfer.SendContent("12345X\r\nabT\r\nxyz"), TransferOutcome::Completed);
    ASSERT_EQ(transfer.device.Wait(), 0);
    // 'X' and 'T' frames carry a 32-byte field: the payload, zero-filled.
    std::string expected = std::string("12345") + std::string(27, '\0') + "ab" + std::string(30, '\0');
    EXPECT_EQ(transfer.device.Image(), expected);
    EXPECT_EQ(transfer.device.FrameSequences(), (std::vector<int>{0, 1}));
    EXPECT_EQ(transfer.device.EndSequence(), 2);
    EXPECT_EQ(Without(transfer.form.Texts(), "Sync"),
              (std::vector<std::string>{"Trnasmited Data 1", "Trnasmited Data 2", "box: Transfer Completed "}));
}

TEST(Transfer, KindOneRefusesALineLongerThanTheBlockBuffer) {
    Transfer transfer(1, {});
    EXPECT_EQ(transfer.SendContent("okA\r\n" + std::string(1100, 'p') + "B\r\n"), TransferOutcome::Failed);
    EXPECT_EQ(transfer.form.Texts().back(), "box: Transfer Error !! ");
    transfer.device.Stop();
    EXPECT_FALSE(transfer.device.EndSequence().has_value());
    std::lock_guard lock(transfer.causeMutex);
    ASSERT_FALSE(transfer.causes.empty());
    EXPECT_NE(transfer.causes.back().find("line 2"), std::string::npos) << transfer.causes.back();
}

TEST(Transfer, KindsFiveAndSixOnlySynchronise) {
    for (int kind : {5, 6}) {
        Transfer transfer(kind, {"--silent-probes", "1"});
        EXPECT_EQ(transfer.Send("/nonexistent/never-opened.bin"), TransferOutcome::Completed);
        EXPECT_EQ(transfer.form.Texts(), (std::vector<std::string>{"box: Transfer Completed "}))
            << "no status text, not even for the unanswered probe";
        EXPECT_FALSE(transfer.form.SendEnabled()) << "the send button stays disabled";
        transfer.device.Stop();
        EXPECT_TRUE(transfer.device.FrameSequences().empty());
        EXPECT_FALSE(transfer.device.EndSequence().has_value());
    }
}

TEST(Transfer, FileThatDoesNotOpenEndsLikeAnError) {
    Transfer transfer(2, {});
    const std::string path = transfer.files / "missing.bin";
    EXPECT_EQ(transfer.Send(path), TransferOutcome::OpenFailed);
    EXPECT_EQ(transfer.form.Texts(),
              (std::vector<std::string>{"Sync Dectected ...", "box: " + path + " Open Failed"}));
    EXPECT_TRUE(transfer.form.SendEnabled());
    EXPECT_FALSE(transfer.frame->HasPort());
    transfer.device.Stop();
    EXPECT_FALSE(transfer.device.EndSequence().has_value());
}

TEST(Transfer, LineThatHangsUpEndsTheTransferPromptlyWithItsCause) {
    Transfer transfer(2, {"--hangup-after", "2"});
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(transfer.SendContent(PatternImage(8192, 8)), TransferOutcome::Failed);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s) << "no endless resend into a dead line";
    EXPECT_EQ(transfer.device.Wait(), 4);
    EXPECT_EQ(transfer.form.Texts().back(), "box: Transfer Error !! ");
    std::lock_guard lock(transfer.causeMutex);
    ASSERT_FALSE(transfer.causes.empty());
    EXPECT_NE(transfer.causes.back().find(transfer.device.LinkPath()), std::string::npos) << transfer.causes.back();
}

TEST(Transfer, SecondTransferOpensANewPortAndStartsAtSequenceZero) {
    Transfer transfer(2, {"--repeat", "2"});
    const std::string first = PatternImage(3000, 1);
    EXPECT_EQ(transfer.SendContent(first), TransferOutcome::Completed);
    EXPECT_FALSE(transfer.frame->HasPort());
    const std::string second = PatternImage(1500, 2);
    EXPECT_EQ(transfer.SendContent(second), TransferOutcome::Completed);
    ASSERT_EQ(transfer.device.Wait(), 0);
    EXPECT_EQ(transfer.device.Image(), Padded(second));
    EXPECT_EQ(transfer.device.FrameSequences(), (std::vector<int>{0, 1, 2, 0, 1}));
}

TEST(Transfer, StopDuringATransferClosesThePortWithoutAnEndFrame) {
    Transfer transfer(2, {"--baud", "9600"});
    testing::WriteWholeFile(transfer.files / "big.bin", PatternImage(64 * 1024));
    transfer.frame->SetFilePath(transfer.files / "big.bin");
    transfer.window->Invoke([&] {
        transfer.frame->SetFormView(&transfer.form);
        transfer.frame->StartTransfer();
    });
    std::this_thread::sleep_for(1500ms);
    transfer.frame->Shutdown();
    EXPECT_FALSE(transfer.frame->TransferRunning());
    EXPECT_EQ(transfer.frame->LastOutcome(), TransferOutcome::Stopped);
    EXPECT_FALSE(transfer.frame->HasPort());
    transfer.device.Stop();
    EXPECT_FALSE(transfer.device.EndSequence().has_value());
}

}  // namespace
}  // namespace dravel
