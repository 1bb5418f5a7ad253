// The telnet layer and the RFC 2217 client as state machines, without a
// socket: what they make of a server's bytes however they are split, what
// they answer, and the exact bytes of the requests; and the names of
// network ports.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "network/com_port_client.h"
#include "network/network_port.h"
#include "network/telnet.h"

namespace dravel {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace telnet;

// What ser2net 4.3 sends on a new RFC 2217 connection, then in answer to
// the client's offers, then to the settings (recorded on this machine).
const Bytes kSer2netGreeting = {0xff, 0xfb, 0x03, 0xff, 0xfd, 0x03, 0xff, 0xfb, 0x01, 0xff, 0xfe,
                                0x01, 0xff, 0xfd, 0x00, 0xff, 0xfb, 0x00, 0xff, 0xfd, 0x2c};
const Bytes kSer2netAfterOffers = {0xff, 0xfd, 0x03, 0xff, 0xfa, 0x2c, 0x6b, 0x00, 0xff, 0xf0};
const Bytes kSer2netSettings = {0xff, 0xfa, 0x2c, 0x70, 0x03, 0xff, 0xf0, 0xff, 0xfa, 0x2c, 0x65, 0x00, 0x01,
                                0xc2, 0x00, 0xff, 0xf0, 0xff, 0xfa, 0x2c, 0x66, 0x08, 0xff, 0xf0, 0xff, 0xfa,
                                0x2c, 0x67, 0x01, 0xff, 0xf0, 0xff, 0xfa, 0x2c, 0x68, 0x01, 0xff, 0xf0, 0xff,
                                0xfa, 0x2c, 0x69, 0x01, 0xff, 0xf0};

struct Fed {
    Bytes data;
    Bytes reply;
    std::vector<std::string> log;
};

Fed Feed(rfc2217::Client& client, const Bytes& bytes, std::size_t piece = 0) {
    Fed fed;
    if (piece == 0) piece = bytes.size();
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        const std::size_t n = std::min(piece, bytes.size() - at);
        client.Receive(std::span<const uint8_t>(bytes).subspan(at, n), fed.data, fed.reply, fed.log);
    }
    return fed;
}

TEST(TelnetStream, DataComesOutUndoubledHoweverTheBytesAreSplit) {
    const Bytes wire = {'a', IAC, IAC, 'b', IAC, NOP, 'c', IAC, SB, 44, 107, IAC, IAC, IAC, SE, IAC, IAC};
    for (std::size_t piece = 1; piece <= wire.size(); ++piece) {
        Decoder decoder;
        Bytes data;
        std::vector<Event> events;
        for (std::size_t at = 0; at < wire.size(); at += piece) {
            decoder.Receive(std::span<const uint8_t>(wire).subspan(at, std::min(piece, wire.size() - at)), data,
                            events);
        }
        EXPECT_EQ(data, (Bytes{'a', 0xFF, 'b', 'c', 0xFF})) << "pieces of " << piece;
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].payload, (Bytes{107, 0xFF}));
    }
}

TEST(TelnetStream, AnEndlessSubnegotiationBreaksTheStreamAndABrokenOffOneDoesNot) {
    // Broken off by a command: the stream goes on after it.
    Decoder decoder;
    Bytes data;
    std::vector<Event> events;
    decoder.Receive(Bytes{IAC, SB, 44, 1, IAC, WILL, 1, 'e'}, data, events);
    EXPECT_EQ(data, (Bytes{'e'}));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].command, WILL);

    // Longer than any COM port message, doubled FFs counted once: reported
    // once, and nothing after it is taken for data.
    for (const uint8_t filler : {uint8_t{'x'}, IAC}) {
        Decoder endless;
        data.clear();
        events.clear();
        Bytes wire = {IAC, SB, 44};
        for (std::size_t i = 0; i <= kMaxSubnegotiation; ++i) {
            wire.push_back(filler);
            if (filler == IAC) wire.push_back(IAC);
        }
        wire.insert(wire.end(), {IAC, SE, 'd', IAC, WILL, 1});
        endless.Receive(wire, data, events);
        EXPECT_TRUE(data.empty());
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].kind, Event::Kind::Overlong);
        EXPECT_TRUE(endless.Broken());
    }
}

TEST(TelnetStream, EscapingDoublesEveryFFAndNothingElse) {
    Bytes out;
    AppendEscaped(Bytes{0x00, 0xFF, 0xFE, 0xFF, 0xFF}, out);
    EXPECT_EQ(out, (Bytes{0x00, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(TelnetOptions, UnknownOptionsAreRefusedAndRepeatsAreNotAnswered) {
    Options options;
    options.Want(kOptionBinary, true, true);
    Bytes requests;
    options.AppendRequests(requests);
    EXPECT_EQ(requests, (Bytes{IAC, WILL, 0, IAC, DO, 0}));
    Bytes reply;
    // Refused once, however often the server asks again.
    for (int i = 0; i < 3; ++i) {
        options.Handle(DO, kOptionEcho, reply);
        options.Handle(WILL, 99, reply);
    }
    EXPECT_EQ(reply, (Bytes{IAC, WONT, kOptionEcho, IAC, DONT, 99}));
    reply.clear();
    // Agreement to our own requests, sent twice: no answer, so no loop.
    for (int i = 0; i < 2; ++i) {
        options.Handle(DO, kOptionBinary, reply);
        options.Handle(WILL, kOptionBinary, reply);
    }
    EXPECT_TRUE(reply.empty());
    EXPECT_EQ(options.Local(kOptionBinary), Options::State::Yes);
    // Turned off later by the server: acknowledged once.
    options.Handle(DONT, kOptionBinary, reply);
    options.Handle(DONT, kOptionBinary, reply);
    EXPECT_EQ(reply, (Bytes{IAC, WONT, 0}));
    EXPECT_FALSE(options.RefusedLocal(kOptionBinary));
}

TEST(ComPortClient, Ser2netsConversationEndsAgreedAndAnswered) {
    rfc2217::Client client;
    EXPECT_EQ(client.Start(), (Bytes{IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 44}));
    Fed greeting = Feed(client, kSer2netGreeting);
    // ECHO is the one thing turned down; everything else agrees with us.
    EXPECT_EQ(greeting.reply, (Bytes{IAC, DONT, kOptionEcho}));
    EXPECT_TRUE(greeting.data.empty());
    EXPECT_EQ(client.ComPortState(), rfc2217::Client::ComPort::Agreed);
    EXPECT_TRUE(Feed(client, kSer2netAfterOffers).reply.empty());

    const Bytes request = client.RequestSettings(LineSettings{});
    const Bytes expected = {IAC, SB, 44, 1, 0x00, 0x01, 0xC2, 0x00, IAC, SE, IAC, SB, 44, 2, 8, IAC, SE,
                            IAC, SB, 44, 3, 1, IAC, SE, IAC, SB, 44, 4, 1, IAC, SE, IAC, SB, 44, 5, 1,
                            IAC, SE, IAC, SB, 44, 5, 8, IAC, SE, IAC, SB, 44, 5, 11, IAC, SE, IAC, SB,
                            44, 12, 3, IAC, SE};
    EXPECT_EQ(request, expected);
    for (std::size_t piece : {1, 3, 1000}) {
        rfc2217::Client split;
        split.Start();
        Feed(split, kSer2netGreeting, piece);
        split.RequestSettings(LineSettings{});
        const Fed fed = Feed(split, kSer2netSettings, piece);
        EXPECT_TRUE(split.SettingsAnswered()) << piece;
        EXPECT_FALSE(split.AllAnswered()) << "ser2net leaves DTR and RTS unanswered";
        EXPECT_EQ(split.SettingsAnswers().baudRate, 115200u);
        EXPECT_TRUE(fed.data.empty());
    }
}

TEST(ComPortClient, ARefusalOfTheComPortOrOfBinaryIsKnown) {
    rfc2217::Client refused;
    refused.Start();
    Feed(refused, {IAC, DONT, 44});
    EXPECT_EQ(refused.ComPortState(), rfc2217::Client::ComPort::Refused);

    rfc2217::Client textOnly;
    textOnly.Start();
    Feed(textOnly, {IAC, DO, 44, IAC, WONT, 0});
    EXPECT_TRUE(textOnly.BinaryRefused());
}

TEST(ComPortClient, RatesWithAnFFByteAreEscapedInTheRequest) {
    rfc2217::Client client;
    LineSettings settings;
    settings.baudRate = 0x0001C2FF;
    const Bytes request = client.RequestSettings(settings);
    EXPECT_EQ(Bytes(request.begin(), request.begin() + 11), (Bytes{IAC, SB, 44, 1, 0x00, 0x01, 0xC2, IAC, IAC, IAC, SE}));
    EXPECT_EQ(client.RequestDtrOff(), (Bytes{IAC, SB, 44, 5, 9, IAC, SE}));
}

TEST(NetworkPortNames, TheFormsAcceptedAndTheReasonsForTheOthers) {
    std::string error;
    auto port = ParseNetworkPort("rfc2217://ser2net.lab:2001", error);
    ASSERT_TRUE(port);
    EXPECT_EQ(port->protocol, NetworkPort::Protocol::Rfc2217);
    EXPECT_EQ(port->host, "ser2net.lab");
    EXPECT_EQ(port->port, 2001);
    port = ParseNetworkPort("socket://[fe80::1]:4000", error);
    ASSERT_TRUE(port);
    EXPECT_EQ(port->protocol, NetworkPort::Protocol::Raw);
    EXPECT_EQ(port->host, "fe80::1");
    // A NUL in the host would end the name early and reach another host.
    const std::vector<std::string> refused = {"rfc2217://host", "rfc2217://:1", "socket://h:0", "socket://h:65536",
                                              "socket://h:1x", "socket://::1:80", "socket://[::1", "rfc2217://h/x:1",
                                              "telnet://h:1", "rfc2217://ho[st:80", "socket://[fe[80::1]:80",
                                              "socket://ho\tst:80", std::string("socket://ho\0st:80", 17)};
    for (const std::string& bad : refused) {
        EXPECT_FALSE(ParseNetworkPort(bad, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
}  // namespace dravel
