#pragma once
// The shared-key challenge a Server puts to each new peer: pure pieces, for
// a thin socket layer to be put around them (like TelnetCodec):
//
//   Server -> peer   "[AUTH <nonce>]" CR      nonce: 32 hex digits, 128 random bits
//   peer -> Server   "[AUTHR <mac>]" CR       mac: 64 hex digits, HMAC-SHA256 under
//                                             the key of the nonce's hex text
//   Server -> peer   "[AUTHOK]" CR            admitted
//                    "[AUTHFAIL <why>]" CR    wrong | late | missing; then closed
//                    "[REFUSED <why>]" CR     address | busy | wait <seconds>; then closed
//
// No line starts with "[T", so a Client that knows none of this ignores them
// all; one with a key answers, one whose Server sends no challenge works as
// before.
//
// TAuthGate is the Server's side: who is in the challenge, their deadlines,
// and the back-off of addresses that failed. It owns no socket and no timer:
// the caller feeds it peers, lines and the passing of time (an injectable
// clock), and sends and closes as it says.
//
// Threading: one gate belongs to one Server and is used on one thread.

#include "net/PeerAddress.h"

#include <QByteArray>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dravane::net {

enum TAuthLineKind : std::uint8_t {
    alChallenge, // Value: the nonce (hex)
    alAnswer,    // Value: the mac (hex, lower case)
    alAdmitted,  // no value
    alFailed,    // Value: wrong, late or missing
    alRefused,   // Value: address, busy, full, or "wait <seconds>"
};

struct TAuthLine {
    TAuthLineKind Kind;
    std::string Value;
    bool operator==(const TAuthLine&) const = default;
};

// Longest line of these (without CR); anything longer is none of them.
inline constexpr std::size_t MaxAuthLine = 80;

// One line without its CR; nothing for a line that is not exactly one of the
// forms above. Looks at no more than MaxAuthLine characters.
std::optional<TAuthLine> ParseAuthLine(std::string_view Line);
// The line with its CR.
std::string FormatAuthLine(const TAuthLine& Line);

// The mac of Nonce (its hex text, as on the line) under Key, in hex.
std::string AuthMac(const QByteArray& Key, std::string_view Nonce);
// A Client's answer line (with CR) to a challenge line, or nothing when Line
// is no challenge.
std::optional<std::string> AuthAnswer(const QByteArray& Key, std::string_view Line);

class TAuthGate {
public:
    using TClock = std::function<std::chrono::steady_clock::time_point()>;
    // Fills Size bytes; false when the system has none to give now.
    using TRandom = std::function<bool(std::uint8_t* Buf, std::size_t Size)>;
    using TId = std::uint64_t;

    static constexpr std::size_t NonceBytes = 16;
    static constexpr std::chrono::milliseconds AnswerTime{5000};
    static constexpr std::chrono::milliseconds FirstBackOff{1000};
    static constexpr std::chrono::milliseconds MaxBackOff{60000};
    static constexpr std::size_t MaxInChallenge = 8;
    // Addresses remembered for their back-off; past this the one whose wait
    // ends first is forgotten, so many addresses cannot grow the table.
    static constexpr std::size_t MaxRemembered = 1024;

    // getrandom(2), never blocking.
    static bool SystemRandom(std::uint8_t* Buf, std::size_t Size);

    explicit TAuthGate(QByteArray Key, TClock Clock = std::chrono::steady_clock::now,
                       TRandom Random = SystemRandom);

    enum TStartVerdict : std::uint8_t {
        gsChallenge, // send Line, wait for the answer
        gsBusy,      // MaxInChallenge peers are being challenged already
        gsBackOff,   // this address failed lately and must wait
        gsNoRandom,  // no nonce to be had now
    };
    struct TStart {
        TStartVerdict Verdict;
        TId Id = 0;       // gsChallenge: the peer's ticket
        std::string Line; // the challenge, or the refusal line (CR included)
    };
    TStart Begin(const TPeerAddress& Address);

    enum TVerdict : std::uint8_t {
        gvPending,  // not an answer: dropped, still waiting
        gvAdmitted, // Line holds "[AUTHOK]"
        gvFailed,   // Line holds the refusal; close the peer
        gvUnknown,  // no such ticket (already decided)
    };
    struct TResult {
        TVerdict Verdict;
        std::string Line;
    };
    // A line (without CR) from a peer in the challenge.
    TResult Answer(TId Id, std::string_view Line);
    // The peer went before answering: a missing answer.
    void Abandon(TId Id);
    // Challenges whose time ran out, each once, with its refusal line: close them.
    std::vector<std::pair<TId, std::string>> Expire();

    std::size_t InChallenge() const { return FPending.size(); }
    // Addresses held for their back-off (at most MaxRemembered).
    std::size_t Remembered() const { return FFailures.size(); }
    // How long Address must still wait; zero when it may try now.
    std::chrono::milliseconds Wait(const TPeerAddress& Address) const;

private:
    using TKey = TPeerAddress::TBytes;
    struct TPending {
        TKey Address;
        std::string Nonce;
        std::chrono::steady_clock::time_point Deadline;
    };
    struct TFailures {
        int Count = 0;
        std::chrono::steady_clock::time_point Until;
    };

    static TKey keyOf(const TPeerAddress& Address);
    void failed(const TKey& Address);
    void forgetQuiet();

    QByteArray FKey;
    TClock FClock;
    TRandom FRandom;
    TId FNextId = 1;
    std::map<TId, TPending> FPending;
    std::map<TKey, TFailures> FFailures;
};

} // namespace dravane::net
