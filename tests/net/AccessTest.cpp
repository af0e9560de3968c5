// Who a Server lets in: the allow-list and the shared-key challenge, the
// pure pieces the link will put around its sockets.

#include "net/AccessFuzz.h"
#include "net/AllowList.h"
#include "net/AuthChallenge.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

using namespace dravane;
using namespace dravane::net;
using namespace std::chrono_literals;

namespace {

TPeerAddress addr(const char* text) {
    const std::optional<TPeerAddress> a = TPeerAddress::Parse(text);
    EXPECT_TRUE(a) << text;
    return a.value_or(TPeerAddress{});
}

std::string withoutCr(const std::string& line) {
    return line.substr(0, line.find('\r'));
}

} // namespace

TEST(AllowList, LetsInWhatItNamesTellsEachBadEntryAndNeverOpensByMistake) {
    for (const char* blank : {"", "  ", "\t "}) {
        const TAllowList everyone(blank);
        EXPECT_TRUE(everyone.AllowsEveryone());
        EXPECT_TRUE(everyone.Allows(addr("203.0.113.9")));
        EXPECT_TRUE(everyone.Errors().empty());
    }

    const TAllowList list(
        " 127.0.0.1, 10.0.0.0/8 ,2001:db8::/32,, 192.168.1.0/24, ::1,::ffff:172.16.0.0/108,");
    EXPECT_TRUE(list.Errors().empty());
    EXPECT_EQ(list.Entries(), (std::vector<std::string>{"127.0.0.1/32", "10.0.0.0/8", "2001:db8::/32",
                                                        "192.168.1.0/24", "::1/128", "172.16.0.0/12"}));
    for (const char* in : {"127.0.0.1", "10.255.1.2", "::ffff:10.1.2.3", "2001:db8:ffff::1", "192.168.1.200",
                           "::1", "172.31.255.255"})
        EXPECT_TRUE(list.Allows(addr(in))) << in;
    for (const char* out : {"127.0.0.2", "11.0.0.1", "2001:db9::1", "192.168.2.1", "::2", "0.0.0.0",
                            "::ffff:127.0.0.2", "172.32.0.0", "::a00:1"})
        EXPECT_FALSE(list.Allows(addr(out))) << out;
    EXPECT_FALSE(list.Allows(TPeerAddress{}));

    // Bad entries are told one each and left out; the good ones stand.
    const TAllowList mixed("10.0.0.0/8, 10.0.0.300, 10.1.0.0/33, 10.1.2.3/8, fe80::/129, a host, 192.0.2.1/, "
                           "1.2.3.4/+8, [10.0.0.1]");
    ASSERT_EQ(mixed.Errors().size(), 8u);
    EXPECT_EQ(mixed.Errors()[0], "AllowFrom entry \"10.0.0.300\" is not an address or network");
    EXPECT_EQ(mixed.Errors()[1], "AllowFrom entry \"10.1.0.0/33\" has a bad prefix length (0 to 32)");
    EXPECT_EQ(mixed.Errors()[2], "AllowFrom entry \"10.1.2.3/8\" has bits set beyond its prefix length");
    EXPECT_EQ(mixed.Errors()[3], "AllowFrom entry \"fe80::/129\" has a bad prefix length (0 to 128)");
    EXPECT_TRUE(mixed.Allows(addr("10.9.9.9")));
    EXPECT_FALSE(mixed.Allows(addr("192.0.2.1")));
    EXPECT_FALSE(mixed.Allows(addr("1.2.3.4")));

    // Nothing good in it: nobody, never everybody.
    for (const char* bad : {"localhost, 300.1.1.1, *", ",", "0.0.0.0/33"}) {
        const TAllowList none(bad);
        EXPECT_FALSE(none.AllowsEveryone()) << bad;
        EXPECT_FALSE(none.Allows(addr("127.0.0.1"))) << bad;
        EXPECT_FALSE(none.Allows(addr("::1"))) << bad;
    }
    // A hostile entry is quoted short and without control characters.
    const TAllowList hostile(std::string(1000, 'x') + "\n\x1b[2J");
    ASSERT_EQ(hostile.Errors().size(), 1u);
    EXPECT_LT(hostile.Errors()[0].size(), 120u);
    EXPECT_EQ(hostile.Errors()[0].find_first_of("\n\x1b"), std::string::npos);
}

TEST(AuthGate, AdmitsOnlyTheRightAnswerInTimeAndSlowsAndBoundsGuessing) {
    // The mac is HMAC-SHA256 in hex (RFC 4231 style check with a known pair).
    EXPECT_EQ(AuthMac("key", "The quick brown fox jumps over the lazy dog"),
              "f7bc83f430538424b13298e6aa6fb143ef4d59a14946175997479dbc2d1a3cd8");

    auto now = std::chrono::steady_clock::time_point{} + 1h;
    bool haveRandom = true;
    TAuthGate gate(
        "s3cret", [&] { return now; },
        [&](std::uint8_t* b, std::size_t n) { return haveRandom && TAuthGate::SystemRandom(b, n); });
    const TPeerAddress me = addr("127.0.0.1");

    // Right answer; other lines meanwhile are dropped, not failures.
    TAuthGate::TStart s = gate.Begin(me);
    ASSERT_EQ(s.Verdict, TAuthGate::gsChallenge);
    ASSERT_EQ(s.Line.size(), 6 + 32 + 2u);
    EXPECT_EQ(s.Line.substr(0, 6), "[AUTH ");
    EXPECT_EQ(gate.Answer(s.Id, "Link test").Verdict, TAuthGate::gvPending);
    EXPECT_EQ(gate.Answer(s.Id, "[REMOTE]").Verdict, TAuthGate::gvPending);
    const std::optional<std::string> answer = AuthAnswer("s3cret", withoutCr(s.Line));
    ASSERT_TRUE(answer);
    now += 4999ms;
    TAuthGate::TResult r = gate.Answer(s.Id, withoutCr(*answer));
    EXPECT_EQ(r.Verdict, TAuthGate::gvAdmitted);
    EXPECT_EQ(r.Line, "[AUTHOK]\r");
    EXPECT_EQ(gate.Answer(s.Id, withoutCr(*answer)).Verdict, TAuthGate::gvUnknown); // decided once
    // Another challenge, another nonce; an old answer does not fit it.
    TAuthGate::TStart again = gate.Begin(me);
    EXPECT_NE(again.Line, s.Line);
    r = gate.Answer(again.Id, withoutCr(*answer));
    EXPECT_EQ(r.Verdict, TAuthGate::gvFailed);
    EXPECT_EQ(r.Line, "[AUTHFAIL wrong]\r");

    // The address waits now, doubling with each failure up to a minute.
    const std::chrono::milliseconds expected[] = {1s, 2s, 4s, 8s, 16s, 32s, 60s, 60s};
    for (const auto wait : expected) {
        EXPECT_EQ(gate.Wait(me), wait);
        EXPECT_EQ(gate.Begin(me).Verdict, TAuthGate::gsBackOff);
        now += wait - 1ms;
        const TAuthGate::TStart early = gate.Begin(me);
        EXPECT_EQ(early.Verdict, TAuthGate::gsBackOff);
        EXPECT_EQ(early.Line, "[REFUSED wait 1]\r");
        now += 1ms;
        const TAuthGate::TStart next = gate.Begin(me);
        ASSERT_EQ(next.Verdict, TAuthGate::gsChallenge);
        EXPECT_EQ(gate.Answer(next.Id, "[AUTHR " + std::string(64, '0') + "]").Verdict, TAuthGate::gvFailed);
    }
    // Others are not held up by it; an IPv6 host is held by its /64.
    EXPECT_EQ(gate.Wait(addr("127.0.0.2")), 0ms);
    const TAuthGate::TStart six = gate.Begin(addr("2001:db8:1:2::7"));
    gate.Abandon(six.Id); // a peer that went counts as a failed one
    EXPECT_EQ(gate.Wait(addr("2001:db8:1:2::99")), 1s);
    EXPECT_EQ(gate.Wait(addr("2001:db8:1:3::7")), 0ms);

    // Late and missing answers fail too, each once.
    now += 61s;
    const TAuthGate::TStart late = gate.Begin(addr("127.0.0.3"));
    const TAuthGate::TStart silent = gate.Begin(addr("127.0.0.4"));
    now += 5001ms;
    r = gate.Answer(late.Id, withoutCr(*AuthAnswer("s3cret", withoutCr(late.Line))));
    EXPECT_EQ(r.Verdict, TAuthGate::gvFailed);
    EXPECT_EQ(r.Line, "[AUTHFAIL late]\r");
    const auto expired = gate.Expire();
    ASSERT_EQ(expired.size(), 1u);
    EXPECT_EQ(expired[0], std::make_pair(silent.Id, std::string("[AUTHFAIL missing]\r")));
    EXPECT_TRUE(gate.Expire().empty());
    EXPECT_EQ(gate.Wait(addr("127.0.0.4")), 1s);

    // At most eight in the challenge at once; a ninth is turned away until one is decided.
    std::vector<TAuthGate::TId> ids;
    for (int i = 10; i < 18; ++i) {
        const TAuthGate::TStart p = gate.Begin(addr(("127.0.1." + std::to_string(i)).c_str()));
        ASSERT_EQ(p.Verdict, TAuthGate::gsChallenge);
        ids.push_back(p.Id);
    }
    const TAuthGate::TStart ninth = gate.Begin(addr("127.0.2.1"));
    EXPECT_EQ(ninth.Verdict, TAuthGate::gsBusy);
    EXPECT_EQ(ninth.Line, "[REFUSED busy]\r");
    gate.Abandon(ids.back());
    EXPECT_EQ(gate.Begin(addr("127.0.2.1")).Verdict, TAuthGate::gsChallenge);
    EXPECT_EQ(gate.InChallenge(), 8u);

    // No random bytes to be had: turned away, never a guessable nonce.
    now += 10s;
    gate.Expire();
    haveRandom = false;
    EXPECT_EQ(gate.Begin(addr("127.0.3.1")).Verdict, TAuthGate::gsNoRandom);

    // A thousand addresses failing: what is remembered stays bounded, and
    // the latest failures are the ones kept.
    haveRandom = true;
    for (int i = 0; i < 1100; ++i) {
        in6_addr a = in6addr_loopback;
        a.s6_addr[6] = static_cast<std::uint8_t>(i >> 8);
        a.s6_addr[7] = static_cast<std::uint8_t>(i);
        const TAuthGate::TStart p = gate.Begin(TPeerAddress::FromIPv6(a));
        ASSERT_EQ(p.Verdict, TAuthGate::gsChallenge);
        gate.Abandon(p.Id);
        now += 1ms;
    }
    EXPECT_GT(gate.Wait(addr("0:0:0:44b::1")), 0ms);
    EXPECT_EQ(gate.Wait(addr("::1")), 0ms); // the earliest, forgotten
}

TEST(AuthLines, StoredCorpusKeepsEveryInvariant) {
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(DRAVANE_ACCESS_CORPUS)) {
        std::ifstream f(entry.path(), std::ios::binary);
        const std::string data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        EXPECT_EQ(test::AccessFuzzOne(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()), "")
            << entry.path();
        ++files;
    }
    EXPECT_GE(files, 4);
}
