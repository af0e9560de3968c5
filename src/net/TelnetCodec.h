#pragma once
// Telnet byte handling on the wire, as a pure codec: bytes in; encoded bytes,
// delivered bytes, negotiation replies and log events out. It does no I/O, so
// the connection decides where replies go (straight to the data socket) and
// the codec can be tested and fuzzed on its own.
//
// Decoding is incremental: every partial sequence (an IAC, a negotiation
// waiting for its option, a CR waiting to see whether a NUL follows, a
// subnegotiation waiting for IAC SE) is held in the codec's state, never in
// the caller's buffer, so any split of the input decodes exactly as the whole.
//
// Threading: one codec belongs to one connection and is used by one thread.

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dravane::net {

// Command bytes.
inline constexpr std::uint8_t TELNET_IAC = 255;
inline constexpr std::uint8_t TELNET_DONT = 254;
inline constexpr std::uint8_t TELNET_DO = 253;
inline constexpr std::uint8_t TELNET_WONT = 252;
inline constexpr std::uint8_t TELNET_WILL = 251;
inline constexpr std::uint8_t TELNET_SB = 250;
inline constexpr std::uint8_t TELNET_SE = 240;

// Options the codec knows.
inline constexpr std::uint8_t TELOPT_BINARY = 0;
inline constexpr std::uint8_t TELOPT_ECHO = 1;
inline constexpr std::uint8_t TELOPT_SGA = 3;
inline constexpr std::uint8_t TELOPT_TTYPE = 24;

// TERMINAL-TYPE subcommands.
inline constexpr std::uint8_t TELQUAL_IS = 0;

enum TTelnetOpt : std::uint8_t { tnoFalse, tnoNegotiating, tnoTrue };

// What the codec tells the dispatcher's log. Negotiation events carry the
// option; teCommand carries the command byte of an IAC pair that is neither
// negotiation nor subnegotiation; teSubDropped carries the subnegotiation's
// option when it exceeded the bound and went unanswered.
enum TTelnetEvent : std::uint8_t {
    teRWill,
    teRWont,
    teRDo,
    teRDont,
    teSWill,
    teSWont,
    teSDo,
    teSDont,
    teSTerm,
    teCommand,
    teSubDropped,
};

class TTelnetSink {
public:
    virtual ~TTelnetSink() = default;
    // A reply to put on the wire after everything queued before it
    // (negotiation replies, the terminal-type reply). Each call is one reply,
    // and during decoding only ever one that TelnetCanSend admitted.
    virtual void TelnetSend(const std::uint8_t* data, std::size_t size) = 0;
    // Whether a reply of size bytes can be queued now. When it cannot,
    // decoding stops before the sequence that needs it and resumes there on
    // the next call, so no reply is lost and none is held in memory without bound.
    virtual bool TelnetCanSend(std::size_t /*size*/) { return true; }
    virtual void TelnetLog(TTelnetEvent /*event*/, std::uint8_t /*data*/) {}
};

struct TTelnetDecodeResult {
    std::size_t Consumed = 0; // input bytes taken (held in the codec if incomplete)
    std::size_t Produced = 0; // bytes stored in the output buffer
};

class TTelnetCodec {
public:
    // Longest subnegotiation answered (option byte and parameters, between
    // IAC SB and IAC SE); a longer one is swallowed through its IAC SE without
    // a reply, so a peer cannot make the codec hold input.
    static constexpr std::size_t MaxSubnegotiation = 256;

    explicit TTelnetCodec(std::string terminal = "vt100");

    // Encodes src into dst by the send rules: 255 doubled; CR followed by NUL
    // unless the next byte of this block is LF or BINARY is on. A byte's
    // encoding is never split: the result is the number of source bytes taken,
    // which stops short when the next encoding does not fit in dstCap.
    std::size_t Encode(const std::uint8_t* src, std::size_t size, std::uint8_t* dst, std::size_t dstCap,
                       std::size_t& written) const;
    // True when Encode would copy the block unchanged.
    bool EncodesVerbatim(const std::uint8_t* src, std::size_t size) const;
    // Worst case: every byte doubled.
    static constexpr std::size_t MaxEncodedSize(std::size_t size) { return 2 * size; }
    // The longest single reply: a negotiation or the terminal-type reply.
    std::size_t MaxReplySize() const;

    // Decodes by the receive rules into out (at most outCap bytes). Stops
    // before a byte that would deliver into a full buffer, and before the end
    // of a sequence whose reply the sink cannot take now; bytes that deliver
    // nothing (negotiation, subnegotiation, dropped NUL) are consumed even
    // when the buffer is full. Replies and log events go to sink.
    TTelnetDecodeResult Decode(const std::uint8_t* in, std::size_t size, std::uint8_t* out,
                               std::size_t outCap, TTelnetSink& sink);

    // Answers one negotiation by the option table, except a request for the
    // state that side of the option is already in (a refusal of an option
    // that is off, above all): answering those would let two peers that
    // answer alike go on for ever. A request that changes an option field
    // is always answered.
    void HandleCommand(std::uint8_t command, std::uint8_t option, TTelnetSink& sink);
    void SendDo(std::uint8_t option, TTelnetSink& sink) const;
    void SendDont(std::uint8_t option, TTelnetSink& sink) const;
    void SendWill(std::uint8_t option, TTelnetSink& sink) const;
    void SendWont(std::uint8_t option, TTelnetSink& sink) const;
    // IAC SB TERMINAL-TYPE IS <name> IAC SE in one send.
    void SendTerminal(TTelnetSink& sink) const;

    // Forgets any partial sequence (a new connection starts clean); the
    // option states are kept, as the connection keeps them.
    void ResetInput();
    // A new peer: ResetInput, and every option counts as off on both sides
    // again for answering (the option fields are kept).
    void ResetPeer();

    TTelnetOpt FOptBinary = tnoFalse;
    TTelnetOpt FOptSupga = tnoFalse;
    TTelnetOpt FOptEcho = tnoFalse;

    const std::string& Terminal() const { return FTerminal; }

private:
    enum TState : std::uint8_t { tsData, tsCR, tsIAC, tsOption, tsSubData, tsSubIAC };

    // The reply HandleCommand would send now; 0 for none.
    std::uint8_t replyTo(std::uint8_t command, std::uint8_t option);
    // The option field a table row names; none for a row without one.
    TTelnetOpt& stateOf(std::uint8_t field, TTelnetOpt& none);
    std::vector<std::uint8_t> terminalReply() const;
    void sendCommand(std::uint8_t command, std::uint8_t option, TTelnetSink& sink) const;
    void subByte(std::uint8_t b);
    void endSubnegotiation(TTelnetSink& sink);

    std::string FTerminal;
    TState FState = tsData;
    std::bitset<256> FHimOn;     // options this peer does, as answered so far
    std::bitset<256> FUsOn;      // options we do for this peer, as answered so far
    std::uint8_t FCommand = 0;   // tsOption: the negotiation verb waiting for its option
    std::uint8_t FSubOption = 0; // option byte of the subnegotiation in progress
    std::size_t FSubLength = 0;  // subnegotiation bytes seen so far (option included)
};

} // namespace dravane::net
