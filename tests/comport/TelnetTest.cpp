// The telnet framing and COM-PORT-OPTION messages of a remote port: every byte
// value passes, commands survive any split, and hostile input is contained.
#include "device/Telnet.h"

#include <gtest/gtest.h>

#include <random>

using namespace serial;
using namespace serial::telnet;
using rfc2217::TClientSession;
using rfc2217::TReply;

namespace {

struct Decoded {
    Bytes data;
    std::vector<TCommand> commands;
    std::size_t malformed = 0;
};

// Decodes a stream fed in pieces cut at the given positions.
Decoded DecodeSplit(const Bytes& in, const std::vector<std::size_t>& cuts) {
    TDecoder d;
    Decoded out;
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        d.Feed(in.data() + from, cut - from, out.data, out.commands);
        from = cut;
    }
    d.Feed(in.data() + from, in.size() - from, out.data, out.commands);
    out.malformed = d.Malformed();
    return out;
}

Decoded Decode(const Bytes& in) {
    return DecodeSplit(in, {});
}

// A server's COM-PORT message as it goes on the wire.
Bytes ServerMessage(std::uint8_t command, const Bytes& value) {
    Bytes payload{static_cast<std::uint8_t>(command + rfc2217::ServerOffset)};
    payload.insert(payload.end(), value.begin(), value.end());
    Bytes out;
    AppendSubnegotiation(out, OPT_COM_PORT, payload.data(), payload.size());
    return out;
}

TEST(Telnet, EveryByteValuePassesInAnySplit) {
    Bytes all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<std::uint8_t>(i));
    all.insert(all.end(), {IAC, IAC, IAC, 0, IAC});
    Bytes wire;
    AppendData(wire, all.data(), all.size());
    EXPECT_EQ(wire.size(), all.size() + 5); // one IAC doubled per 0xFF
    for (std::size_t cut = 0; cut <= wire.size(); ++cut) {
        const Decoded d = DecodeSplit(wire, {cut});
        ASSERT_EQ(d.data, all) << "cut at " << cut;
        EXPECT_TRUE(d.commands.empty());
    }
}

TEST(Telnet, CommandsBetweenDataSurviveEverySplit) {
    const Bytes a{'a', IAC, 'b'}, b{'c'};
    Bytes wire;
    AppendData(wire, a.data(), a.size());
    AppendNegotiation(wire, WILL, OPT_BINARY);
    const Bytes payload{1, IAC, 2, IAC, IAC};
    AppendSubnegotiation(wire, OPT_COM_PORT, payload.data(), payload.size());
    wire.insert(wire.end(), {IAC, NOP});
    AppendData(wire, b.data(), b.size());

    const std::vector<TCommand> expected{
        {TCommand::Kind::Negotiation, WILL, OPT_BINARY, {}},
        {TCommand::Kind::Subnegotiation, SB, OPT_COM_PORT, payload},
        {TCommand::Kind::Other, NOP, 0, {}}};
    for (std::size_t i = 0; i <= wire.size(); ++i)
        for (std::size_t j = i; j <= wire.size(); ++j) {
            const Decoded d = DecodeSplit(wire, {i, j});
            ASSERT_EQ(d.data, (Bytes{'a', IAC, 'b', 'c'})) << i << "," << j;
            ASSERT_EQ(d.commands, expected) << i << "," << j;
            ASSERT_EQ(d.malformed, 0u);
        }
}

TEST(Telnet, OversizedAndUnclosedSubnegotiationsAreDroppedAndTheStreamGoesOn) {
    // Oversized: dropped whole, the data after it intact.
    Bytes wire{IAC, SB, OPT_COM_PORT};
    wire.insert(wire.end(), 10000, 'x');
    wire.insert(wire.end(), {IAC, SE, 'o', 'k'});
    Decoded d = Decode(wire);
    EXPECT_EQ(d.data, (Bytes{'o', 'k'}));
    EXPECT_TRUE(d.commands.empty());
    EXPECT_EQ(d.malformed, 1u);

    // The largest kept payload still arrives.
    Bytes max(TDecoder::MaxSubnegotiation, IAC);
    wire.clear();
    AppendSubnegotiation(wire, OPT_COM_PORT, max.data(), max.size());
    d = Decode(wire);
    ASSERT_EQ(d.commands.size(), 1u);
    EXPECT_EQ(d.commands[0].payload, max);

    // Unclosed: a command inside ends it, and is itself taken.
    wire = {IAC, SB, OPT_COM_PORT, 101, IAC, WILL, OPT_SGA, 'z'};
    d = Decode(wire);
    EXPECT_EQ(d.malformed, 1u);
    ASSERT_EQ(d.commands.size(), 1u);
    EXPECT_EQ(d.commands[0], (TCommand{TCommand::Kind::Negotiation, WILL, OPT_SGA, {}}));
    EXPECT_EQ(d.data, Bytes{'z'});
}

TEST(Rfc2217, RepliesAreCheckedBeforeUse) {
    // The rate's bytes in network order, 0xFF among them doubled and undoubled.
    Bytes wire;
    rfc2217::AppendSetBaudrate(wire, 0x0001C2FF);
    EXPECT_EQ(wire, (Bytes{IAC, SB, OPT_COM_PORT, rfc2217::SET_BAUDRATE, 0x00, 0x01, 0xC2, IAC, IAC,
                           IAC, SE}));
    Decoded d = Decode(ServerMessage(rfc2217::SET_BAUDRATE, {0x00, 0x01, 0xC2, 0xFF}));
    ASSERT_EQ(d.commands.size(), 1u);
    TReply r;
    ASSERT_TRUE(rfc2217::ParseReply(d.commands[0], r));
    EXPECT_EQ(r, (TReply{rfc2217::SET_BAUDRATE, 0x0001C2FF}));

    d = Decode(ServerMessage(rfc2217::NOTIFY_MODEMSTATE, {0x31}));
    ASSERT_TRUE(rfc2217::ParseReply(d.commands.at(0), r));
    EXPECT_EQ(r, (TReply{rfc2217::NOTIFY_MODEMSTATE, 0x31}));

    // Wrong length, unknown command, a client command echoed, another option.
    for (const Bytes& bad :
         {ServerMessage(rfc2217::SET_BAUDRATE, {1, 2}), ServerMessage(rfc2217::SET_PARITY, {}),
          ServerMessage(rfc2217::SET_PARITY, {1, 2}), ServerMessage(13, {1}), ServerMessage(0, {1}),
          Bytes{IAC, SB, OPT_COM_PORT, rfc2217::SET_PARITY, 1, IAC, SE},
          Bytes{IAC, SB, OPT_COM_PORT, IAC, SE}, Bytes{IAC, SB, 24, 106, 1, IAC, SE}}) {
        d = Decode(bad);
        ASSERT_EQ(d.commands.size(), 1u);
        EXPECT_FALSE(rfc2217::ParseReply(d.commands[0], r));
    }
}

TEST(Rfc2217, SessionNegotiatesOnceAndRefusesTheRest) {
    TClientSession s;
    const Bytes start = s.Start();
    Bytes expected;
    for (auto [verb, option] : {std::pair{WILL, OPT_BINARY},
                                {DO, OPT_BINARY},
                                {WILL, OPT_SGA},
                                {DO, OPT_SGA},
                                {WILL, OPT_COM_PORT}})
        AppendNegotiation(expected, verb, option);
    EXPECT_EQ(start, expected);

    // The server's acknowledgements need no answer (no negotiation loop);
    // an unknown option is refused; data and a reply pass through.
    Bytes wire{IAC,          DO,  OPT_BINARY, IAC,     WILL, OPT_BINARY, IAC,     DO,
               OPT_COM_PORT, IAC, WILL,       OPT_SGA, IAC,  DO,         OPT_SGA, IAC,
               DO,           24,  IAC,        WILL,    1,    'h',        IAC,     IAC};
    const Bytes reply = ServerMessage(rfc2217::SET_CONTROL, {rfc2217::CONTROL_DTR_ON});
    wire.insert(wire.end(), reply.begin(), reply.end());
    TClientSession::TInput in;
    s.Receive(wire.data(), wire.size(), in);
    EXPECT_EQ(in.answer, (Bytes{IAC, WONT, 24, IAC, DONT, 1}));
    EXPECT_EQ(in.data, (Bytes{'h', IAC}));
    ASSERT_EQ(in.replies.size(), 1u);
    EXPECT_EQ(in.replies[0], (TReply{rfc2217::SET_CONTROL, rfc2217::CONTROL_DTR_ON}));
    EXPECT_TRUE(s.ComPortAccepted());
    EXPECT_FALSE(s.ComPortRefused());

    // Repeats change nothing; a later turn-off is acknowledged once.
    in = {};
    const Bytes again{IAC, DO, OPT_BINARY, IAC, WONT, OPT_SGA, IAC, WONT, OPT_SGA};
    s.Receive(again.data(), again.size(), in);
    EXPECT_EQ(in.answer, (Bytes{IAC, DONT, OPT_SGA}));
}

TEST(Rfc2217, ServerWithoutComPortIsNoticedAndRawSessionRefusesIt) {
    TClientSession s;
    s.Start();
    TClientSession::TInput in;
    const Bytes no{IAC, DONT, OPT_COM_PORT};
    s.Receive(no.data(), no.size(), in);
    EXPECT_TRUE(s.ComPortRefused());
    EXPECT_FALSE(s.ComPortAccepted());
    EXPECT_TRUE(in.answer.empty()); // our request answered: nothing to say

    TClientSession raw(false);
    in = {};
    Bytes start = raw.Start();
    EXPECT_EQ(start.size(), 12u); // no COM-PORT request
    const Bytes wire = [] {
        Bytes w{IAC, DO, OPT_COM_PORT};
        const Bytes m = ServerMessage(rfc2217::NOTIFY_LINESTATE, {0x10});
        w.insert(w.end(), m.begin(), m.end());
        return w;
    }();
    raw.Receive(wire.data(), wire.size(), in);
    EXPECT_EQ(in.answer, (Bytes{IAC, WONT, OPT_COM_PORT}));
    EXPECT_TRUE(in.replies.empty());
    EXPECT_EQ(in.ignored, 1u);
}

// Hostile input: random streams rich in command bytes, truncated anywhere, fed
// in random pieces. Run under the sanitizers with the other Qt-free tests;
// besides staying sound, the result must not depend on how the stream is cut.
TEST(TelnetRobustness, RandomHostileStreams) {
    std::mt19937 rng(20261206);
    const std::uint8_t hot[] = {IAC, SB, SE, WILL, WONT, DO, DONT, OPT_COM_PORT, 0, 101, 106, 107};
    for (int round = 0; round < 3000; ++round) {
        Bytes wire(std::uniform_int_distribution<std::size_t>(0, 300)(rng));
        for (auto& b : wire)
            b = rng() % 2 ? hot[rng() % sizeof hot] : static_cast<std::uint8_t>(rng());
        if (round % 10 == 0) { // an oversized subnegotiation in the middle
            Bytes big{IAC, SB, OPT_COM_PORT};
            big.resize(3 + 200 + rng() % 500, 0x55);
            wire.insert(wire.begin() + static_cast<long>(rng() % (wire.size() + 1)), big.begin(),
                        big.end());
        }
        std::vector<std::size_t> cuts;
        for (std::size_t at = 0; at < wire.size(); at += 1 + rng() % 17)
            cuts.push_back(at);
        const Decoded whole = Decode(wire);
        const Decoded pieces = DecodeSplit(wire, cuts);
        ASSERT_EQ(whole.data, pieces.data);
        ASSERT_EQ(whole.commands, pieces.commands);
        ASSERT_LE(whole.data.size(), wire.size());
        for (const TCommand& c : whole.commands) {
            ASSERT_LE(c.payload.size(), TDecoder::MaxSubnegotiation);
            TReply r;
            rfc2217::ParseReply(c, r);
        }
        TClientSession s;
        s.Start();
        TClientSession::TInput in;
        s.Receive(wire.data(), wire.size(), in);
        ASSERT_EQ(in.data, whole.data);
        ASSERT_LE(in.answer.size(), 3 * whole.commands.size());
    }
}

// A stray IAC at every position of a valid stream: nothing before it is lost
// or changed, and the decoder never faults.
TEST(TelnetRobustness, StrayIacAtEveryPosition) {
    Bytes data;
    for (int i = 0; i < 40; ++i)
        data.push_back(static_cast<std::uint8_t>(i * 37));
    Bytes wire;
    AppendData(wire, data.data(), 20);
    rfc2217::AppendSetBaudrate(wire, 0xFFFFFFFF);
    AppendData(wire, data.data() + 20, 20);
    const Decoded clean = Decode(wire);
    ASSERT_EQ(clean.data, data);
    for (std::size_t at = 0; at <= wire.size(); ++at) {
        Bytes bad = wire;
        bad.insert(bad.begin() + static_cast<long>(at), IAC);
        const Decoded d = Decode(bad);
        const Decoded prefix = Decode(Bytes(wire.begin(), wire.begin() + static_cast<long>(at)));
        ASSERT_GE(d.data.size(), prefix.data.size()) << at;
        ASSERT_TRUE(std::equal(prefix.data.begin(), prefix.data.end(), d.data.begin())) << at;
    }
}

} // namespace
