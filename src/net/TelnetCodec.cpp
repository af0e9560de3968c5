#include "net/TelnetCodec.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace dravane::net {
namespace {

constexpr std::uint8_t CR = 13;
constexpr std::uint8_t LF = 10;

// The answer to every negotiation, as one table. A row with Option -1 is the
// answer for every option without a row of its own under that verb.
enum TOptField : std::uint8_t { ofNone, ofBinary, ofEcho, ofSupga };
enum TNegAction : std::uint8_t {
    naReply,    // always answer Reply
    naReplySet, // answer Reply unless negotiating; the option becomes NewState
    naAgree,    // negotiating: becomes tnoTrue silently; otherwise answer Reply
    naOffer,    // negotiating: becomes tnoTrue silently; tnoTrue: answer Reply; tnoFalse: answer Refusal
};

struct TNegRule {
    std::uint8_t Verb;
    int Option;
    TOptField Field;
    TNegAction Action;
    std::uint8_t Reply;
    TTelnetOpt NewState = tnoFalse;
    std::uint8_t Refusal = 0;
};

constexpr TNegRule NegotiationTable[] = {
    {TELNET_WILL, TELOPT_BINARY, ofBinary, naReplySet, TELNET_DO, tnoTrue},
    {TELNET_WILL, TELOPT_ECHO, ofEcho, naAgree, TELNET_DO},
    {TELNET_WILL, TELOPT_SGA, ofSupga, naAgree, TELNET_DO},
    {TELNET_WILL, -1, ofNone, naReply, TELNET_DONT},
    {TELNET_WONT, TELOPT_BINARY, ofBinary, naReplySet, TELNET_DONT, tnoFalse},
    {TELNET_WONT, TELOPT_ECHO, ofEcho, naReplySet, TELNET_DONT, tnoFalse},
    {TELNET_WONT, TELOPT_SGA, ofSupga, naReplySet, TELNET_DONT, tnoFalse},
    {TELNET_WONT, -1, ofNone, naReply, TELNET_DONT},
    {TELNET_DO, TELOPT_BINARY, ofBinary, naReplySet, TELNET_WILL, tnoTrue},
    {TELNET_DO, TELOPT_SGA, ofSupga, naOffer, TELNET_WILL, tnoFalse, TELNET_WONT},
    {TELNET_DO, TELOPT_TTYPE, ofNone, naReply, TELNET_WILL},
    {TELNET_DO, -1, ofNone, naReply, TELNET_WONT},
    {TELNET_DONT, TELOPT_BINARY, ofBinary, naReplySet, TELNET_WONT, tnoFalse},
    {TELNET_DONT, TELOPT_SGA, ofSupga, naReplySet, TELNET_WONT, tnoFalse},
    {TELNET_DONT, -1, ofNone, naReply, TELNET_WONT},
};

const TNegRule* findRule(std::uint8_t verb, std::uint8_t option) {
    for (const TNegRule& r : NegotiationTable)
        if (r.Verb == verb && (r.Option == option || r.Option == -1))
            return &r;
    return nullptr;
}

// The event enumerations list WILL, WONT, DO, DONT in the order of their bytes.
TTelnetEvent receivedEvent(std::uint8_t verb) {
    return static_cast<TTelnetEvent>(teRWill + (verb - TELNET_WILL));
}
TTelnetEvent sentEvent(std::uint8_t verb) {
    return static_cast<TTelnetEvent>(teSWill + (verb - TELNET_WILL));
}

bool isVerb(std::uint8_t b) {
    return b >= TELNET_WILL && b <= TELNET_DONT;
}

} // namespace

TTelnetCodec::TTelnetCodec(std::string terminal) : FTerminal(std::move(terminal)) {}

bool TTelnetCodec::EncodesVerbatim(const std::uint8_t* src, std::size_t size) const {
    for (std::size_t i = 0; i < size; ++i) {
        if (src[i] == TELNET_IAC)
            return false;
        if (src[i] == CR && FOptBinary == tnoFalse && !(i + 1 < size && src[i + 1] == LF))
            return false;
    }
    return true;
}

std::size_t TTelnetCodec::Encode(const std::uint8_t* src, std::size_t size, std::uint8_t* dst,
                                 std::size_t dstCap, std::size_t& written) const {
    if (EncodesVerbatim(src, size)) {
        written = std::min(size, dstCap);
        if (written > 0)
            std::memcpy(dst, src, written);
        return written;
    }
    std::size_t i = 0;
    std::size_t o = 0;
    for (; i < size; ++i) {
        const std::uint8_t b = src[i];
        // A CR that ends the block counts as not followed by LF.
        const bool pad = b == CR && FOptBinary == tnoFalse && !(i + 1 < size && src[i + 1] == LF);
        if (b == TELNET_IAC || pad) {
            if (dstCap - o < 2)
                break;
            dst[o++] = b;
            dst[o++] = b == TELNET_IAC ? TELNET_IAC : 0;
        } else {
            if (o == dstCap)
                break;
            dst[o++] = b;
        }
    }
    written = o;
    return i;
}

void TTelnetCodec::subByte(std::uint8_t b) {
    if (FSubLength == 0)
        FSubOption = b;
    if (FSubLength <= MaxSubnegotiation)
        ++FSubLength; // saturates one past the bound: only "too long" matters
}

void TTelnetCodec::endSubnegotiation(TTelnetSink& sink) {
    if (FSubLength > MaxSubnegotiation)
        sink.TelnetLog(teSubDropped, FSubOption);
    else if (FSubLength > 0 && FSubOption == TELOPT_TTYPE)
        SendTerminal(sink);
    FSubLength = 0;
}

TTelnetDecodeResult TTelnetCodec::Decode(const std::uint8_t* in, std::size_t size, std::uint8_t* out,
                                         std::size_t outCap, TTelnetSink& sink) {
    std::size_t i = 0;
    std::size_t o = 0;
    while (i < size) {
        const std::uint8_t b = in[i];
        switch (FState) {
        case tsCR:
            FState = tsData;
            if (b == 0) {
                ++i;
                break;
            }
            [[fallthrough]];
        case tsData:
            if (b == TELNET_IAC) {
                FState = tsIAC;
                ++i;
                break;
            }
            if (o == outCap)
                return {i, o};
            out[o++] = b;
            ++i;
            if (b == CR && FOptBinary == tnoFalse)
                FState = tsCR;
            break;
        case tsIAC:
            if (b == TELNET_IAC) {
                if (o == outCap)
                    return {i, o};
                out[o++] = TELNET_IAC;
                FState = tsData;
            } else if (isVerb(b)) {
                FCommand = b;
                FState = tsOption;
            } else if (b == TELNET_SB) {
                FSubLength = 0;
                FState = tsSubData;
            } else {
                FState = tsData;
                sink.TelnetLog(teCommand, b);
            }
            ++i;
            break;
        case tsOption:
            if (replyTo(FCommand, b) != 0 && !sink.TelnetCanSend(3))
                return {i, o};
            FState = tsData;
            ++i;
            HandleCommand(FCommand, b, sink);
            break;
        case tsSubData:
            if (b == TELNET_IAC)
                FState = tsSubIAC;
            else
                subByte(b);
            ++i;
            break;
        case tsSubIAC:
            if (b == TELNET_SE) {
                if (FSubLength > 0 && FSubLength <= MaxSubnegotiation && FSubOption == TELOPT_TTYPE &&
                    !sink.TelnetCanSend(terminalReply().size()))
                    return {i, o};
                ++i;
                FState = tsData;
                endSubnegotiation(sink);
                break;
            }
            ++i;
            // IAC IAC is an escaped 255 inside the parameters; any other
            // command there is not framing, so it counts as parameter bytes.
            if (b != TELNET_IAC)
                subByte(TELNET_IAC);
            subByte(b);
            FState = tsSubData;
            break;
        }
    }
    return {i, o};
}

TTelnetOpt& TTelnetCodec::stateOf(std::uint8_t field, TTelnetOpt& none) {
    return field == ofBinary ? FOptBinary : field == ofEcho ? FOptEcho : field == ofSupga ? FOptSupga : none;
}

std::uint8_t TTelnetCodec::replyTo(std::uint8_t command, std::uint8_t option) {
    const TNegRule* rule = isVerb(command) ? findRule(command, option) : nullptr;
    if (!rule)
        return 0;
    TTelnetOpt none = tnoFalse;
    const TTelnetOpt state = stateOf(rule->Field, none);
    if (rule->Action != naReply && state == tnoNegotiating) // the peer's answer to our own request
        return 0;
    const bool asksOn = command == TELNET_WILL || command == TELNET_DO;
    const bool sideOn = command == TELNET_WILL || command == TELNET_WONT ? FHimOn[option] : FUsOn[option];
    const bool changesField = rule->Action == naReplySet && state != rule->NewState;
    if (sideOn == asksOn && !changesField)
        return 0;
    return rule->Action == naOffer && state != tnoTrue ? rule->Refusal : rule->Reply;
}

void TTelnetCodec::HandleCommand(std::uint8_t command, std::uint8_t option, TTelnetSink& sink) {
    const TNegRule* rule = isVerb(command) ? findRule(command, option) : nullptr;
    if (!rule)
        return;
    sink.TelnetLog(receivedEvent(command), option);
    const std::uint8_t reply = replyTo(command, option);
    TTelnetOpt none = tnoFalse;
    TTelnetOpt& state = stateOf(rule->Field, none);
    if (rule->Action == naReplySet)
        state = rule->NewState;
    else if (state == tnoNegotiating)
        state = tnoTrue;
    // Unanswered, the side stays or becomes as asked; answered, as the reply says.
    const bool himSide = command == TELNET_WILL || command == TELNET_WONT;
    const std::uint8_t said = reply != 0 ? reply : command;
    const bool on = said == TELNET_WILL || said == TELNET_DO;
    (himSide ? FHimOn : FUsOn)[option] = on;
    if (reply != 0)
        sendCommand(reply, option, sink);
}

void TTelnetCodec::sendCommand(std::uint8_t command, std::uint8_t option, TTelnetSink& sink) const {
    const std::uint8_t reply[3] = {TELNET_IAC, command, option};
    sink.TelnetSend(reply, sizeof reply);
    sink.TelnetLog(sentEvent(command), option);
}

void TTelnetCodec::SendDo(std::uint8_t option, TTelnetSink& sink) const {
    sendCommand(TELNET_DO, option, sink);
}
void TTelnetCodec::SendDont(std::uint8_t option, TTelnetSink& sink) const {
    sendCommand(TELNET_DONT, option, sink);
}
void TTelnetCodec::SendWill(std::uint8_t option, TTelnetSink& sink) const {
    sendCommand(TELNET_WILL, option, sink);
}
void TTelnetCodec::SendWont(std::uint8_t option, TTelnetSink& sink) const {
    sendCommand(TELNET_WONT, option, sink);
}

std::vector<std::uint8_t> TTelnetCodec::terminalReply() const {
    std::vector<std::uint8_t> reply{TELNET_IAC, TELNET_SB, TELOPT_TTYPE, TELQUAL_IS};
    for (const char c : FTerminal) {
        reply.push_back(static_cast<std::uint8_t>(c));
        if (static_cast<std::uint8_t>(c) == TELNET_IAC)
            reply.push_back(TELNET_IAC);
    }
    reply.push_back(TELNET_IAC);
    reply.push_back(TELNET_SE);
    return reply;
}

std::size_t TTelnetCodec::MaxReplySize() const {
    return std::max<std::size_t>(3, terminalReply().size());
}

void TTelnetCodec::SendTerminal(TTelnetSink& sink) const {
    const std::vector<std::uint8_t> reply = terminalReply();
    sink.TelnetSend(reply.data(), reply.size());
    sink.TelnetLog(teSTerm, TELOPT_TTYPE);
}

void TTelnetCodec::ResetInput() {
    FState = tsData;
    FSubLength = 0;
}

void TTelnetCodec::ResetPeer() {
    ResetInput();
    FHimOn.reset();
    FUsOn.reset();
}

} // namespace dravane::net
