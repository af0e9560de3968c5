#include "net/AuthChallenge.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>

#include <sys/random.h>

#include <algorithm>
#include <cerrno>

namespace dravane::net {
namespace {

using std::chrono::milliseconds;

constexpr std::size_t NonceHex = 2 * TAuthGate::NonceBytes;
constexpr std::size_t MacHex = 64;
constexpr std::size_t MaxWaitDigits = 3;

constexpr std::string_view ChallengeTag = "[AUTH ";
constexpr std::string_view AnswerTag = "[AUTHR ";
constexpr std::string_view AdmittedLine = "[AUTHOK]";
constexpr std::string_view FailedTag = "[AUTHFAIL ";
constexpr std::string_view RefusedTag = "[REFUSED ";
constexpr std::string_view FailReasons[] = {"wrong", "late", "missing"};
constexpr std::string_view RefuseReasons[] = {"address", "busy", "full"};

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Hex of exactly Digits digits, in lower case; nothing otherwise.
std::optional<std::string> hexField(std::string_view s, std::size_t Digits) {
    if (s.size() != Digits || !std::all_of(s.begin(), s.end(), isHex))
        return std::nullopt;
    std::string v(s);
    std::transform(v.begin(), v.end(), v.begin(), [](char c) { return c >= 'A' && c <= 'F' ? c + 32 : c; });
    return v;
}

bool oneOf(std::string_view s, std::initializer_list<std::string_view> words) {
    return std::find(words.begin(), words.end(), s) != words.end();
}

// "wait <seconds>": 1 to 3 digits, no leading zero.
bool isWait(std::string_view s) {
    constexpr std::string_view tag = "wait ";
    if (s.substr(0, tag.size()) != tag)
        return false;
    const std::string_view n = s.substr(tag.size());
    return !n.empty() && n.size() <= MaxWaitDigits && n[0] != '0' &&
           std::all_of(n.begin(), n.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The body of "<Tag><body>]", or nothing.
std::optional<std::string_view> body(std::string_view line, std::string_view tag) {
    if (line.size() <= tag.size() || line.substr(0, tag.size()) != tag || line.back() != ']')
        return std::nullopt;
    return line.substr(tag.size(), line.size() - tag.size() - 1);
}

// Equal contents, in time that depends on the length only.
bool sameBytes(const QByteArray& a, const QByteArray& b) {
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

QByteArray macBytes(const QByteArray& key, std::string_view nonce) {
    return QMessageAuthenticationCode::hash(QByteArray(nonce.data(), static_cast<qsizetype>(nonce.size())),
                                            key, QCryptographicHash::Sha256);
}

std::string hex(const std::uint8_t* p, std::size_t n) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

} // namespace

std::optional<TAuthLine> ParseAuthLine(std::string_view Line) {
    if (Line.size() > MaxAuthLine)
        return std::nullopt;
    if (Line == AdmittedLine)
        return TAuthLine{alAdmitted, {}};
    if (const auto b = body(Line, AnswerTag)) {
        if (auto mac = hexField(*b, MacHex))
            return TAuthLine{alAnswer, std::move(*mac)};
        return std::nullopt;
    }
    if (const auto b = body(Line, ChallengeTag)) {
        if (auto nonce = hexField(*b, NonceHex))
            return TAuthLine{alChallenge, std::move(*nonce)};
        return std::nullopt;
    }
    if (const auto b = body(Line, FailedTag);
        b && oneOf(*b, {FailReasons[0], FailReasons[1], FailReasons[2]}))
        return TAuthLine{alFailed, std::string(*b)};
    if (const auto b = body(Line, RefusedTag);
        b && (oneOf(*b, {RefuseReasons[0], RefuseReasons[1], RefuseReasons[2]}) || isWait(*b)))
        return TAuthLine{alRefused, std::string(*b)};
    return std::nullopt;
}

std::string FormatAuthLine(const TAuthLine& Line) {
    switch (Line.Kind) {
    case alChallenge:
        return std::string(ChallengeTag) + Line.Value + "]\r";
    case alAnswer:
        return std::string(AnswerTag) + Line.Value + "]\r";
    case alAdmitted:
        return std::string(AdmittedLine) + "\r";
    case alFailed:
        return std::string(FailedTag) + Line.Value + "]\r";
    case alRefused:
        return std::string(RefusedTag) + Line.Value + "]\r";
    }
    return {};
}

std::string AuthMac(const QByteArray& Key, std::string_view Nonce) {
    const QByteArray mac = macBytes(Key, Nonce);
    return hex(reinterpret_cast<const std::uint8_t*>(mac.constData()), static_cast<std::size_t>(mac.size()));
}

std::optional<std::string> AuthAnswer(const QByteArray& Key, std::string_view Line) {
    const std::optional<TAuthLine> l = ParseAuthLine(Line);
    if (!l || l->Kind != alChallenge)
        return std::nullopt;
    return FormatAuthLine({alAnswer, AuthMac(Key, l->Value)});
}

bool TAuthGate::SystemRandom(std::uint8_t* Buf, std::size_t Size) {
    std::size_t got = 0;
    while (got < Size) {
        // GRND_NONBLOCK: early in boot the pool may not be ready, and the
        // Server's thread must not stop for it; the peer is turned away instead.
        const ssize_t n = ::getrandom(Buf + got, Size - got, GRND_NONBLOCK);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

TAuthGate::TAuthGate(QByteArray Key, TClock Clock, TRandom Random)
    : FKey(std::move(Key)), FClock(std::move(Clock)), FRandom(std::move(Random)) {}

// An IPv6 host usually holds a whole /64, and would otherwise get a fresh
// back-off with every address it picks from it.
TAuthGate::TKey TAuthGate::keyOf(const TPeerAddress& Address) {
    TKey k = Address.Bytes();
    if (!Address.IsIPv4())
        std::fill(k.begin() + 8, k.end(), 0);
    return k;
}

std::chrono::milliseconds TAuthGate::Wait(const TPeerAddress& Address) const {
    const auto it = FFailures.find(keyOf(Address));
    const auto now = FClock();
    if (it == FFailures.end() || it->second.Until <= now)
        return milliseconds(0);
    return std::chrono::ceil<milliseconds>(it->second.Until - now);
}

void TAuthGate::forgetQuiet() {
    const auto now = FClock();
    std::erase_if(FFailures, [&](const auto& f) { return f.second.Until + MaxBackOff <= now; });
}

void TAuthGate::failed(const TKey& Address) {
    forgetQuiet();
    TFailures& f = FFailures[Address];
    f.Count = std::min(f.Count + 1, 32);
    milliseconds wait = FirstBackOff;
    for (int i = 1; i < f.Count && wait < MaxBackOff; ++i)
        wait *= 2;
    f.Until = FClock() + std::min(wait, MaxBackOff);
    if (FFailures.size() > MaxRemembered) {
        const auto first =
            std::min_element(FFailures.begin(), FFailures.end(),
                             [](const auto& a, const auto& b) { return a.second.Until < b.second.Until; });
        FFailures.erase(first);
    }
}

TAuthGate::TStart TAuthGate::Begin(const TPeerAddress& Address) {
    forgetQuiet();
    if (const milliseconds wait = Wait(Address); wait.count() > 0) {
        const auto seconds = std::chrono::ceil<std::chrono::seconds>(wait).count();
        return {gsBackOff, 0, FormatAuthLine({alRefused, "wait " + std::to_string(seconds)})};
    }
    if (FPending.size() >= MaxInChallenge)
        return {gsBusy, 0, FormatAuthLine({alRefused, "busy"})};
    std::uint8_t nonce[NonceBytes];
    if (!FRandom || !FRandom(nonce, sizeof nonce))
        return {gsNoRandom, 0, FormatAuthLine({alRefused, "busy"})};
    const TId id = FNextId++;
    TPending& p = FPending[id];
    p.Address = keyOf(Address);
    p.Nonce = hex(nonce, sizeof nonce);
    p.Deadline = FClock() + AnswerTime;
    return {gsChallenge, id, FormatAuthLine({alChallenge, p.Nonce})};
}

TAuthGate::TResult TAuthGate::Answer(TId Id, std::string_view Line) {
    const auto it = FPending.find(Id);
    if (it == FPending.end())
        return {gvUnknown, {}};
    const std::optional<TAuthLine> l = ParseAuthLine(Line);
    if (!l || l->Kind != alAnswer)
        return {gvPending, {}};
    const TPending p = std::move(it->second);
    FPending.erase(it);
    if (FClock() > p.Deadline) {
        failed(p.Address);
        return {gvFailed, FormatAuthLine({alFailed, "late"})};
    }
    const QByteArray given = QByteArray::fromHex(QByteArray::fromStdString(l->Value));
    if (!sameBytes(given, macBytes(FKey, p.Nonce))) {
        failed(p.Address);
        return {gvFailed, FormatAuthLine({alFailed, "wrong"})};
    }
    FFailures.erase(p.Address);
    return {gvAdmitted, FormatAuthLine({alAdmitted, {}})};
}

void TAuthGate::Abandon(TId Id) {
    const auto it = FPending.find(Id);
    if (it == FPending.end())
        return;
    const TKey address = it->second.Address;
    FPending.erase(it);
    failed(address);
}

std::vector<std::pair<TAuthGate::TId, std::string>> TAuthGate::Expire() {
    std::vector<std::pair<TId, std::string>> out;
    const auto now = FClock();
    for (auto it = FPending.begin(); it != FPending.end();) {
        if (now > it->second.Deadline) {
            const TKey address = it->second.Address;
            out.emplace_back(it->first, FormatAuthLine({alFailed, "missing"}));
            it = FPending.erase(it);
            failed(address);
        } else {
            ++it;
        }
    }
    return out;
}

} // namespace dravane::net
