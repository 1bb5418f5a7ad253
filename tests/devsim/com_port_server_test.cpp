// The simulator's side of RFC 2217 against dravel's own client: the whole
// opening as dravel does it, data with 0xFF both ways, and the answers a
// real server gives to questions and to values it will not take.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "com_port_server.h"
#include "network/com_port_client.h"

namespace dravel::devsim {
namespace {

using Bytes = std::vector<uint8_t>;

// Moves the pending bytes back and forth until both sides are quiet.
struct Wire {
    rfc2217::Client client;
    ComPortServer server;
    Bytes toServer;
    Bytes toClient;
    Bytes serverData;
    Bytes clientData;
    std::vector<ComPortRequest> requests;

    void Settle() {
        std::vector<std::string> log;
        for (int round = 0; round < 10 && (!toServer.empty() || !toClient.empty()); ++round) {
            Bytes reply;
            server.Receive(std::exchange(toServer, {}), serverData, reply, requests);
            toClient.insert(toClient.end(), reply.begin(), reply.end());
            Bytes answer;
            client.Receive(std::exchange(toClient, {}), clientData, answer, log);
            toServer.insert(toServer.end(), answer.begin(), answer.end());
        }
        ASSERT_TRUE(toServer.empty() && toClient.empty()) << "the negotiation never settles";
    }
};

// The server's COM port answers in `reply`: command and value bytes.
std::vector<Bytes> ComPortAnswers(const Bytes& reply) {
    telnet::Decoder decoder;
    Bytes data;
    std::vector<telnet::Event> events;
    decoder.Receive(reply, data, events);
    std::vector<Bytes> answers;
    for (const auto& event : events) {
        if (event.kind == telnet::Event::Kind::Subnegotiation && event.option == telnet::kOptionComPort) {
            answers.push_back(event.payload);
        }
    }
    return answers;
}

TEST(ComPortServer, DravelsOpeningIsAnsweredInFullAndDataCrossesIntact) {
    Wire wire;
    wire.toServer = wire.client.Start();
    wire.toClient = wire.server.Start();
    wire.Settle();
    EXPECT_EQ(wire.client.ComPortState(), rfc2217::Client::ComPort::Agreed);
    EXPECT_FALSE(wire.client.BinaryRefused());
    EXPECT_TRUE(wire.server.ComPortAgreed());

    LineSettings settings;
    settings.baudRate = 9600;
    settings.byteSize = 7;
    settings.parity = Parity::Even;
    settings.stopBits = StopBits::Two;
    wire.toServer = wire.client.RequestSettings(settings);
    wire.Settle();
    EXPECT_TRUE(wire.client.AllAnswered());
    const auto& answers = wire.client.SettingsAnswers();
    EXPECT_EQ(answers.baudRate, 9600u);
    EXPECT_EQ(answers.dataSize, 7);
    EXPECT_EQ(answers.parity, 3);
    EXPECT_EQ(answers.stopSize, 2);
    EXPECT_TRUE(wire.server.Dtr() && wire.server.Rts());
    ASSERT_EQ(wire.requests.size(), 4u);
    EXPECT_EQ(wire.requests[1].value, rfc2217::kControlDtrOn);
    EXPECT_EQ(wire.requests[3].command, rfc2217::PURGE_DATA);

    const Bytes payload{0x55, 0xFF, 0x00, 0xFF, 0xFF, 0x0D, 0x0A, 0xF0};
    telnet::AppendEscaped(payload, wire.toServer);
    wire.toServer.insert(wire.toServer.end(), {telnet::IAC, telnet::NOP});
    telnet::AppendEscaped(payload, wire.toClient);
    wire.Settle();
    EXPECT_EQ(wire.serverData, payload);
    EXPECT_EQ(wire.clientData, payload);

    wire.toServer = wire.client.RequestDtrOff();
    wire.Settle();
    EXPECT_FALSE(wire.server.Dtr());
    EXPECT_EQ(wire.requests.back().value, rfc2217::kControlDtrOff);
}

TEST(ComPortServer, QuestionsGetTheValueInForceAndRefusedValuesTheOneKept) {
    struct Case {
        Bytes command;
        Bytes answer;  // empty: no answer
    };
    const Case cases[] = {
        {{1, 0, 0, 0, 0}, {101, 0, 1, 0xC2, 0}},       // the rate in force: 115200
        {{1, 0, 0, 0x25, 0x80}, {101, 0, 0, 0x25, 0x80}},  // 9600
        {{2, 9}, {102, 8}},                            // nine data bits: kept at eight
        {{3, 0}, {103, 1}},                            // parity asked: none
        {{4, 7}, {104, 1}},
        {{5, 7}, {105, 9}},                            // DTR asked: off
        {{5, 8}, {105, 8}},
        {{5, 7}, {105, 8}},
        {{5, 10}, {105, 12}},                          // RTS asked: off
        {{5, 4}, {105, 6}},                            // BREAK asked: off
        {{5, 13}, {105, 14}},                          // inbound flow asked: none
        {{12, 2}, {112, 2}},
        {{12, 4}, {}},                                 // no such purge
        {{10, 0xFF}, {110, 0xFF}},                     // line-state mask, 0xFF doubled on the wire
        {{0}, {100, 'd', 'r', 'a', 'v', 'e', 'l', '-', 'd', 'e', 'v', 's', 'i', 'm'}},
        {{0, 'x'}, {}},                                // the client's own signature
        {{8}, {}},                                     // flow-control suspend: no answer
        {{2}, {}},                                     // a command without its value
        {{99, 1}, {}},
    };
    ComPortServer server;
    for (const Case& c : cases) {
        Bytes wire;
        telnet::AppendSubnegotiation(telnet::kOptionComPort, c.command, wire);
        Bytes data;
        Bytes reply;
        std::vector<ComPortRequest> requests;
        server.Receive(wire, data, reply, requests);
        const auto answers = ComPortAnswers(reply);
        EXPECT_TRUE(data.empty());
        if (c.answer.empty()) {
            EXPECT_TRUE(answers.empty()) << "command " << int{c.command[0]};
        } else {
            EXPECT_EQ(answers, std::vector<Bytes>{c.answer}) << "command " << int{c.command[0]};
        }
    }
}

}  // namespace
}  // namespace dravel::devsim
