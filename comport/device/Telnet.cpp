#include "device/Telnet.h"

namespace serial::telnet {

void AppendData(Bytes& out, const std::uint8_t* data, std::size_t count) {
    out.reserve(out.size() + count);
    for (std::size_t i = 0; i < count; ++i) {
        if (data[i] == IAC) out.push_back(IAC);
        out.push_back(data[i]);
    }
}

void AppendNegotiation(Bytes& out, std::uint8_t verb, std::uint8_t option) {
    out.insert(out.end(), {IAC, verb, option});
}

void AppendSubnegotiation(Bytes& out, std::uint8_t option, const std::uint8_t* payload,
                          std::size_t count) {
    out.insert(out.end(), {IAC, SB, option});
    AppendData(out, payload, count);
    out.insert(out.end(), {IAC, SE});
}

void TDecoder::DropSubnegotiation() {
    ++FMalformed;
    FSb.clear();
    FSbOversized = false;
}

// The byte after an IAC outside a subnegotiation.
void TDecoder::Command(std::uint8_t byte, std::vector<TCommand>& commands) {
    if (byte == WILL || byte == WONT || byte == DO || byte == DONT) {
        FVerb = byte;
        FState = State::Option;
    } else if (byte == SB) {
        FState = State::SbOption;
    } else {
        commands.push_back({TCommand::Kind::Other, byte, 0, {}});
        FState = State::Data;
    }
}

void TDecoder::Feed(const std::uint8_t* in, std::size_t count, Bytes& data,
                    std::vector<TCommand>& commands) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t b = in[i];
        switch (FState) {
        case State::Data:
            if (b == IAC)
                FState = State::Iac;
            else
                data.push_back(b);
            break;
        case State::Iac:
            if (b == IAC) {
                data.push_back(IAC);
                FState = State::Data;
            } else {
                Command(b, commands);
            }
            break;
        case State::Option:
            commands.push_back({TCommand::Kind::Negotiation, FVerb, b, {}});
            FState = State::Data;
            break;
        case State::SbOption:
            FSbOption = b;
            FSb.clear();
            FSbOversized = false;
            FState = State::SbData;
            break;
        case State::SbData:
        case State::SbIac:
            if (FState == State::SbData && b == IAC) {
                FState = State::SbIac;
                break;
            }
            if (FState == State::SbIac && b == SE) {
                if (FSbOversized)
                    DropSubnegotiation();
                else
                    commands.push_back({TCommand::Kind::Subnegotiation, SB, FSbOption, FSb});
                FSb.clear();
                FState = State::Data;
                break;
            }
            if (FState == State::SbIac && b != IAC) {
                // An unclosed subnegotiation: drop it and take the byte as the
                // command it starts, so the stream resynchronises at once.
                DropSubnegotiation();
                Command(b, commands);
                break;
            }
            if (FSb.size() < MaxSubnegotiation)
                FSb.push_back(b);
            else
                FSbOversized = true;
            FState = State::SbData;
            break;
        }
    }
}

} // namespace serial::telnet

namespace serial::rfc2217 {

using namespace telnet;

void AppendCommand(Bytes& out, std::uint8_t command, std::uint8_t value) {
    const std::uint8_t payload[] = {command, value};
    AppendSubnegotiation(out, OPT_COM_PORT, payload, sizeof payload);
}

void AppendSetBaudrate(Bytes& out, std::uint32_t baud) {
    const std::uint8_t payload[] = {
        SET_BAUDRATE, static_cast<std::uint8_t>(baud >> 24), static_cast<std::uint8_t>(baud >> 16),
        static_cast<std::uint8_t>(baud >> 8), static_cast<std::uint8_t>(baud)};
    AppendSubnegotiation(out, OPT_COM_PORT, payload, sizeof payload);
}

bool ParseReply(const TCommand& command, TReply& reply) {
    if (command.kind != TCommand::Kind::Subnegotiation || command.option != OPT_COM_PORT)
        return false;
    const Bytes& p = command.payload;
    if (p.empty() || p[0] < ServerOffset + SET_BAUDRATE || p[0] > ServerOffset + PURGE_DATA)
        return false;
    const std::uint8_t cmd = p[0] - ServerOffset;
    std::size_t expected = 2;
    if (cmd == SET_BAUDRATE)
        expected = 5;
    else if (cmd == FLOWCONTROL_SUSPEND || cmd == FLOWCONTROL_RESUME)
        expected = 1;
    if (p.size() != expected) return false;
    reply.command = cmd;
    reply.value = 0;
    for (std::size_t i = 1; i < p.size(); ++i)
        reply.value = (reply.value << 8) | p[i];
    return true;
}

TClientSession::TClientSession(bool comPort) : FComPort(comPort) {}

int TClientSession::IndexOf(std::uint8_t option) {
    switch (option) {
    case OPT_BINARY:
        return 0;
    case OPT_SGA:
        return 1;
    case OPT_COM_PORT:
        return OPT_INDEX_COM;
    default:
        return -1;
    }
}

Bytes TClientSession::Start() {
    Bytes out;
    const std::uint8_t options[] = {OPT_BINARY, OPT_SGA, OPT_COM_PORT};
    for (int i = 0; i < 3; ++i) {
        const std::uint8_t option = options[i];
        if (option != OPT_COM_PORT || FComPort) {
            FUs[i] = Q::WantYes;
            AppendNegotiation(out, WILL, option);
        }
        if (option != OPT_COM_PORT) {
            FHim[i] = Q::WantYes;
            AppendNegotiation(out, DO, option);
        }
    }
    return out;
}

// RFC 1143 without the queue bits: every request is answered at most once, so
// no two peers can loop.
void TClientSession::Negotiate(const TCommand& c, TInput& input) {
    const int i = IndexOf(c.option);
    const bool local = c.verb == DO || c.verb == DONT;
    const bool enable = c.verb == DO || c.verb == WILL;
    const bool acceptable = i >= 0 && (i != OPT_INDEX_COM || FComPort);
    const std::uint8_t yes = local ? WILL : DO;
    const std::uint8_t no = local ? WONT : DONT;
    if (i < 0) {
        // Unknown options are always off; refuse a request to turn one on.
        if (enable) AppendNegotiation(input.answer, no, c.option);
        return;
    }
    Q& q = local ? FUs[i] : FHim[i];
    if (enable) {
        switch (q) {
        case Q::No:
            if (acceptable) {
                q = Q::Yes;
                AppendNegotiation(input.answer, yes, c.option);
            } else {
                AppendNegotiation(input.answer, no, c.option);
            }
            break;
        case Q::Yes:
            break;
        case Q::WantYes:
            q = Q::Yes;
            break;
        case Q::WantNo:
            q = Q::No;
            break;
        }
    } else {
        if (q == Q::Yes) AppendNegotiation(input.answer, no, c.option);
        if (local && i == OPT_INDEX_COM && FComPort) FComRefused = true;
        q = Q::No;
    }
}

void TClientSession::Receive(const std::uint8_t* in, std::size_t count, TInput& input) {
    FCommands.clear();
    const std::size_t malformedBefore = FDecoder.Malformed();
    FDecoder.Feed(in, count, input.data, FCommands);
    input.ignored += FDecoder.Malformed() - malformedBefore;
    for (const TCommand& c : FCommands) {
        switch (c.kind) {
        case TCommand::Kind::Negotiation:
            Negotiate(c, input);
            break;
        case TCommand::Kind::Subnegotiation: {
            TReply reply;
            if (FComPort && ParseReply(c, reply))
                input.replies.push_back(reply);
            else
                ++input.ignored;
            break;
        }
        case TCommand::Kind::Other:
            break; // NOP, GA, AYT...: nothing to do
        }
    }
}

} // namespace serial::rfc2217
