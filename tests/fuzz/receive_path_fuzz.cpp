// The receive path: arbitrary chunks through the opening gate, the receive
// buffer and the answer classifier, checked against a model of what the
// device's answers must and must not turn into.
//
// Input: a sequence of chunks, each a control byte and then 1 to 80 bytes
// (the reader's chunk size). Bit 7 of the control byte leaves the classifier
// out after that chunk, as happens when the window side has shut down and the
// notification is dropped, so the buffer can fill up to its limit.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "comm/comm.h"
#include "comm/opening_gate.h"
#include "fuzz_check.h"
#include "window/headless_window.h"
#include "protocol/download.h"

namespace {

using namespace dravel;

struct Bench {
    HeadlessWindow window;
    CMainFrame frame{window};
    std::shared_ptr<CComm> port;
    // A port of its own for every input: a beginning of the opening answer
    // gathered by the last one must not leak into this one.
    void NewPort() {
        port = std::make_shared<CComm>();
        frame.AdoptPort(port);
    }
};

Bench& TheBench() {
    static Bench bench;
    return bench;
}

int32_t StatusOf(uint8_t letter) {
    switch (letter) {
        case ANSWER_ACK: return XFER_ACK;
        case ANSWER_NAK: return XFER_NAK;
        case ANSWER_END: return XFER_END;
        default: return XFER_OTHER;
    }
}

// What the classifier must make of the held bytes: the first three-byte line
// that starts at the front or right after a line feed and ends in a line
// feed is the answer; everything ahead of it is noise. Without one, only the
// bytes after the last line feed can still begin an answer.
int32_t ClassifyModel(std::vector<uint8_t>& held) {
    std::size_t start = 0;
    while (held.size() - start >= 3) {
        if (held[start + 2] == ANSWER_LINE_END) {
            const int32_t status = StatusOf(held[start + 1]);
            held.clear();
            return status;
        }
        const auto lineEnd = std::find(held.begin() + static_cast<std::ptrdiff_t>(start), held.end(), ANSWER_LINE_END);
        start = lineEnd == held.end() ? held.size() : static_cast<std::size_t>(lineEnd - held.begin()) + 1;
    }
    held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(start));
    return XFER_WAIT;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bench& bench = TheBench();
    bench.NewPort();
    CComm& port = *bench.port;
    testing::ResetReceiveGate();
    bench.frame.SetTransferStatus(XFER_WAIT);

    std::vector<uint8_t> model;
    bool gateOpen = false;
    std::vector<uint8_t> gathered;  // a beginning of the opening answer, held back
    uint64_t droppedModel = port.DroppedBytes();
    std::size_t at = 0;
    while (at < size) {
        const uint8_t control = data[at++];
        const std::size_t length = std::min<std::size_t>(1 + (control & 0x7F) % kReadChunkSize, size - at);
        if (length == 0) break;
        const uint8_t* chunk = data + at;
        at += length;
        const bool classify = (control & 0x80) == 0;

        std::vector<uint8_t> passed;
        if (gateOpen) {
            passed.assign(chunk, chunk + length);
        } else {
            // The gathered bytes joined with this read, or failing that this
            // read alone, must be (a beginning of) 'U', 'A', LF.
            auto opening = [](const std::vector<uint8_t>& bytes) {
                static constexpr uint8_t kAnswer[3] = {0x55, 0x41, 0x0A};
                for (std::size_t i = 0; i < std::min<std::size_t>(3, bytes.size()); ++i) {
                    if (bytes[i] != kAnswer[i]) return false;
                }
                return true;
            };
            std::vector<uint8_t> joined = gathered;
            joined.insert(joined.end(), chunk, chunk + length);
            if (gathered.empty() || !opening(joined)) joined.assign(chunk, chunk + length);
            gathered.clear();
            if (opening(joined)) {
                if (joined.size() >= 3) {
                    gateOpen = true;
                    passed = joined;
                } else {
                    gathered = joined;
                }
            }
        }
        if (!passed.empty()) {
            const std::size_t stored = std::min(passed.size(), kReceiveBufferSize - model.size());
            model.insert(model.end(), passed.begin(), passed.begin() + static_cast<std::ptrdiff_t>(stored));
            droppedModel += passed.size() - stored;
        }
        port.AppendReceived(static_cast<int>(length), chunk);
        FUZZ_CHECK(testing::ReceiveGateOpen() == gateOpen);

        int32_t expected = XFER_WAIT;
        if (classify) {
            bench.frame.OnCommReceived(WM_COMM_RECEIVED, 0);
            expected = ClassifyModel(model);
        }
        FUZZ_CHECK(bench.frame.TransferStatus() == expected);
        FUZZ_CHECK(port.DroppedBytes() == droppedModel);

        const auto count = static_cast<std::size_t>(port.ReceiveCount());
        FUZZ_CHECK(count == model.size());
        const auto buffer = port.ReceiveBuffer();
        FUZZ_CHECK(std::equal(model.begin(), model.end(), buffer.begin()));
        // The classifier relies on zeros behind the held bytes.
        FUZZ_CHECK(std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(count), buffer.end(),
                               [](uint8_t byte) { return byte == 0; }));
        // As the worker does after every handled answer.
        bench.frame.SetTransferStatus(XFER_WAIT);
    }
    return 0;
}
