// The receive path of a network port: whatever a server sends, in whatever
// pieces, the RFC 2217 client takes it in bounded work and answers only
// with whole negotiations.
//
// Checked: the serial data is never more than the bytes that came in; the
// data is the same whether the bytes come whole or split (the first input
// byte chooses the split); every answer is IAC, a negotiation command and
// an option, and there are never more answers than negotiations received;
// each option is answered at most once per change of its state, so its
// answers on each side take turns between yes and no however often the
// server asks; a stream broken for good is found broken however it is split.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "network/com_port_client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    using namespace dravel;
    if (size == 0) return 0;
    const std::size_t piece = 1 + input[0] % 16;
    const std::span<const uint8_t> bytes(input + 1, size - 1);

    rfc2217::Client whole;
    whole.Start();
    std::vector<uint8_t> wholeData;
    std::vector<uint8_t> wholeReply;
    std::vector<std::string> log;
    whole.Receive(bytes, wholeData, wholeReply, log);

    rfc2217::Client split;
    split.Start();
    std::vector<uint8_t> splitData;
    std::vector<uint8_t> splitReply;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        split.Receive(bytes.subspan(at, std::min(piece, bytes.size() - at)), splitData, splitReply, log);
    }
    FUZZ_CHECK(wholeData.size() <= bytes.size());
    FUZZ_CHECK(wholeData == splitData);
    FUZZ_CHECK(wholeReply == splitReply);
    FUZZ_CHECK(wholeReply.size() % 3 == 0);
    FUZZ_CHECK(wholeReply.size() <= bytes.size());
    FUZZ_CHECK(whole.ProtocolError() == split.ProtocolError());
    // The last answer per option: WILL or WONT for this side, DO or DONT for
    // the server's; 0 while none.
    std::array<uint8_t, 256> lastLocal{};
    std::array<uint8_t, 256> lastRemote{};
    for (std::size_t at = 0; at < wholeReply.size(); at += 3) {
        const uint8_t command = wholeReply[at + 1];
        FUZZ_CHECK(wholeReply[at] == telnet::IAC);
        FUZZ_CHECK(command >= telnet::WILL && command <= telnet::DONT);
        const bool local = command == telnet::WILL || command == telnet::WONT;
        uint8_t& last = local ? lastLocal[wholeReply[at + 2]] : lastRemote[wholeReply[at + 2]];
        FUZZ_CHECK(last != command);
        last = command;
    }
    return 0;
}
