// What a client sends the simulator's terminal server, whatever it is and
// however TCP cuts it: the RFC 2217 server takes it in bounded work, and
// says the same for the whole stream as for its pieces (the first input
// byte chooses the size of the pieces).
//
// Checked: the same serial data, answers and requests either way; never
// more data than bytes came in; answers bounded by the commands received
// (at most four bytes out per byte in), each one a whole telnet command.
#include <cstdint>
#include <span>
#include <vector>

#include "com_port_server.h"
#include "fuzz_check.h"

namespace {

bool SameRequests(const std::vector<dravel::devsim::ComPortRequest>& a,
                  const std::vector<dravel::devsim::ComPortRequest>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].command != b[i].command || a[i].value != b[i].value) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    using namespace dravel;
    if (size == 0) return 0;
    const std::size_t piece = 1 + input[0] % 16;
    const std::span<const uint8_t> bytes(input + 1, size - 1);

    devsim::ComPortServer whole;
    whole.Start();
    std::vector<uint8_t> wholeData;
    std::vector<uint8_t> wholeReply;
    std::vector<devsim::ComPortRequest> wholeRequests;
    whole.Receive(bytes, wholeData, wholeReply, wholeRequests);

    devsim::ComPortServer split;
    split.Start();
    std::vector<uint8_t> splitData;
    std::vector<uint8_t> splitReply;
    std::vector<devsim::ComPortRequest> splitRequests;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        split.Receive(bytes.subspan(at, std::min(piece, bytes.size() - at)), splitData, splitReply, splitRequests);
    }
    FUZZ_CHECK(wholeData == splitData);
    FUZZ_CHECK(wholeReply == splitReply);
    FUZZ_CHECK(SameRequests(wholeRequests, splitRequests));
    FUZZ_CHECK(wholeData.size() <= bytes.size());
    FUZZ_CHECK(wholeReply.size() <= 4 * bytes.size());

    // The answers read back as nothing but whole commands: no stray data.
    telnet::Decoder decoder;
    std::vector<uint8_t> stray;
    std::vector<telnet::Event> events;
    decoder.Receive(wholeReply, stray, events);
    FUZZ_CHECK(stray.empty());
    return 0;
}
