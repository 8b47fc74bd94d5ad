// The telnet layer of a remote serial port (RFC 854/855 framing, RFC 1143
// option negotiation) and the COM-PORT-OPTION commands of RFC 2217 carried in
// it. Pure byte transformations, no sockets: the network device feeds what it
// receives through TClientSession and sends what the session hands back.
//
// The bytes come from the network and are untrusted: every input, truncated at
// any point and in any split, is consumed without fault; subnegotiations are
// bounded in size and malformed ones are dropped and counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace serial::telnet {

using Bytes = std::vector<std::uint8_t>;

// Commands (RFC 854)
constexpr std::uint8_t IAC = 255;
constexpr std::uint8_t DONT = 254;
constexpr std::uint8_t DO = 253;
constexpr std::uint8_t WONT = 252;
constexpr std::uint8_t WILL = 251;
constexpr std::uint8_t SB = 250;
constexpr std::uint8_t NOP = 241;
constexpr std::uint8_t SE = 240;

// Options this client speaks
constexpr std::uint8_t OPT_BINARY = 0;
constexpr std::uint8_t OPT_SGA = 3;
constexpr std::uint8_t OPT_COM_PORT = 44;

// Data with every IAC doubled.
void AppendData(Bytes& out, const std::uint8_t* data, std::size_t count);
void AppendNegotiation(Bytes& out, std::uint8_t verb, std::uint8_t option);
// IAC SB option payload IAC SE, the payload's IACs doubled.
void AppendSubnegotiation(Bytes& out, std::uint8_t option, const std::uint8_t* payload,
                          std::size_t count);

struct TCommand {
    enum class Kind : std::uint8_t {
        Negotiation,    // verb (WILL/WONT/DO/DONT) and option
        Subnegotiation, // option and payload (undoubled)
        Other           // any other two-byte command (NOP, GA, ...): verb
    };
    Kind kind = Kind::Other;
    std::uint8_t verb = 0;
    std::uint8_t option = 0;
    Bytes payload;
    bool operator==(const TCommand&) const = default;
};

// Splits the received stream into data bytes and commands. State carries over
// between Feed calls, so a command may arrive split anywhere.
class TDecoder {
public:
    // The largest subnegotiation payload kept; longer ones are dropped whole.
    static constexpr std::size_t MaxSubnegotiation = 64;

    void Feed(const std::uint8_t* in, std::size_t count, Bytes& data,
              std::vector<TCommand>& commands);
    // Subnegotiations dropped as oversized or not closed by IAC SE.
    std::size_t Malformed() const { return FMalformed; }

private:
    enum class State : std::uint8_t { Data, Iac, Option, SbOption, SbData, SbIac };
    void Command(std::uint8_t byte, std::vector<TCommand>& commands);
    void DropSubnegotiation();

    State FState = State::Data;
    std::uint8_t FVerb = 0;
    std::uint8_t FSbOption = 0;
    bool FSbOversized = false;
    Bytes FSb;
    std::size_t FMalformed = 0;
};

} // namespace serial::telnet

namespace serial::rfc2217 {

using telnet::Bytes;

// COM-PORT-OPTION commands, client to server; the server answers with the
// same command plus ServerOffset.
constexpr std::uint8_t SET_BAUDRATE = 1;
constexpr std::uint8_t SET_DATASIZE = 2;
constexpr std::uint8_t SET_PARITY = 3;
constexpr std::uint8_t SET_STOPSIZE = 4;
constexpr std::uint8_t SET_CONTROL = 5;
constexpr std::uint8_t NOTIFY_LINESTATE = 6;
constexpr std::uint8_t NOTIFY_MODEMSTATE = 7;
constexpr std::uint8_t FLOWCONTROL_SUSPEND = 8;
constexpr std::uint8_t FLOWCONTROL_RESUME = 9;
constexpr std::uint8_t SET_LINESTATE_MASK = 10;
constexpr std::uint8_t SET_MODEMSTATE_MASK = 11;
constexpr std::uint8_t PURGE_DATA = 12;
constexpr std::uint8_t ServerOffset = 100;

// SET-PARITY values
constexpr std::uint8_t PARITY_NONE = 1, PARITY_ODD = 2, PARITY_EVEN = 3, PARITY_MARK = 4,
                       PARITY_SPACE = 5;
// SET-STOPSIZE values
constexpr std::uint8_t STOP_1 = 1, STOP_2 = 2, STOP_1_5 = 3;
// SET-CONTROL values
constexpr std::uint8_t CONTROL_FLOW_NONE = 1, CONTROL_FLOW_XONXOFF = 2, CONTROL_FLOW_HARDWARE = 3,
                       CONTROL_BREAK_ON = 5, CONTROL_BREAK_OFF = 6, CONTROL_DTR_ON = 8,
                       CONTROL_DTR_OFF = 9, CONTROL_RTS_ON = 11, CONTROL_RTS_OFF = 12,
                       CONTROL_INFLOW_NONE = 14, CONTROL_INFLOW_XONXOFF = 15,
                       CONTROL_INFLOW_HARDWARE = 16;
// PURGE-DATA values
constexpr std::uint8_t PURGE_RX = 1, PURGE_TX = 2, PURGE_BOTH = 3;
// NOTIFY-LINESTATE bits
constexpr std::uint8_t LINE_BREAK = 0x10, LINE_FRAMING = 0x08, LINE_PARITY = 0x04,
                       LINE_OVERRUN = 0x02, LINE_DATA_READY = 0x01;
// NOTIFY-MODEMSTATE bits (state in the high nibble, deltas in the low one)
constexpr std::uint8_t MODEM_CD = 0x80, MODEM_RI = 0x40, MODEM_DSR = 0x20, MODEM_CTS = 0x10;

// One command with a one-byte value, or SET-BAUDRATE with its four bytes in
// network order.
void AppendCommand(Bytes& out, std::uint8_t command, std::uint8_t value);
void AppendSetBaudrate(Bytes& out, std::uint32_t baud);

// A server's COM-PORT-OPTION message, checked: command (offset removed) and
// value (the rate for SET-BAUDRATE, else the one byte).
struct TReply {
    std::uint8_t command = 0;
    std::uint32_t value = 0;
    bool operator==(const TReply&) const = default;
};
// False for anything that is not a well-formed server message.
bool ParseReply(const telnet::TCommand& command, TReply& reply);

// The client's side of one connection: negotiates BINARY both ways, SGA and
// COM-PORT-OPTION, refuses every other option, and sorts what arrives into
// data, checked COM-PORT replies and bytes to send back.
class TClientSession {
public:
    // comPort false: plain telnet with binary data only.
    explicit TClientSession(bool comPort = true);
    // The opening requests.
    Bytes Start();

    struct TInput {
        Bytes data;                  // the payload, undoubled
        Bytes answer;                // negotiation answers to send
        std::vector<TReply> replies; // COM-PORT messages, in order
        std::size_t ignored = 0;     // malformed or unexpected messages dropped
    };
    void Receive(const std::uint8_t* in, std::size_t count, TInput& input);

    // The server agreed to COM-PORT-OPTION (DO COM-PORT-OPTION) / refused it.
    bool ComPortAccepted() const { return FUs[OPT_INDEX_COM] == Q::Yes; }
    bool ComPortRefused() const { return FComRefused; }
    std::size_t Malformed() const { return FDecoder.Malformed(); }

private:
    enum class Q : std::uint8_t { No, Yes, WantYes, WantNo };
    static constexpr int OPT_INDEX_COM = 2;
    static int IndexOf(std::uint8_t option);
    void Negotiate(const telnet::TCommand& c, TInput& input);

    bool FComPort;
    bool FComRefused = false;
    Q FUs[3] = {Q::No, Q::No, Q::No};  // our side of BINARY, SGA, COM-PORT
    Q FHim[3] = {Q::No, Q::No, Q::No}; // the server's side
    telnet::TDecoder FDecoder;
    std::vector<telnet::TCommand> FCommands;
};

} // namespace serial::rfc2217
