#include "softkey/NfcCardFront.h"

#include "TestHex.h"

#include <gtest/gtest.h>

#include <numeric>
#include <tuple>

namespace {

using namespace std::chrono_literals;

const std::string kSelect = "00A4040008A0000006472F000100";

// A card with the FIDO applet selected, and a host that speaks to it as a PC/SC client would.
struct Card {
    explicit Card(NfcCardFront::Options options = {}) : card(key, std::move(options))
    {
        EXPECT_EQ(apdu(kSelect), "4649444F5F325F309000"); // "FIDO_2_0"
    }
    std::string apdu(const std::string& hex) { return X(card.handleApdu(H(hex))); }
    // NFCCTAP_MSG (P1 0x80: status updates welcome), chained in short APDUs of 100 bytes, then polled with
    // NFCCTAP_GETRESPONSE while the card answers 91 00; `statuses` keeps the status bytes.
    std::string ctap(const Bytes& request)
    {
        std::size_t pos = 0;
        for (; request.size() - pos > 100; pos += 100)
            if (X(card.handleApdu(nfcctap(0x90, std::span(request).subspan(pos, 100)))) != "9000")
                return "chain refused";
        Bytes last = nfcctap(0x80, std::span(request).subspan(pos));
        last.push_back(0x00);
        std::string answer = X(card.handleApdu(last));
        for (int i = 0; i < 200 && answer.ends_with("9100"); ++i) {
            statuses += answer.substr(0, 2);
            answer = apdu("8011000000");
        }
        return answer;
    }
    static Bytes nfcctap(std::uint8_t cla, std::span<const std::uint8_t> data)
    {
        Bytes a{cla, 0x10, 0x80, 0x00, static_cast<std::uint8_t>(data.size())};
        a.insert(a.end(), data.begin(), data.end());
        return a;
    }

    SoftAuthenticator key;
    NfcCardFront card;
    std::string statuses;
};

} // namespace

TEST(NfcCardFront, StatusWordsChainingExtendedLengthAndLongAnswers)
{
    Card c;
    EXPECT_EQ(c.apdu("801080"), "6700");        // shorter than a header
    EXPECT_EQ(c.apdu("8010800005 04"), "6700"); // Lc says 5, one byte follows
    EXPECT_EQ(c.apdu("00C0000010"), "6985");    // nothing left to get
    EXPECT_EQ(c.apdu("8011000000"), "6985");    // nothing running to poll

    Bytes request(300);
    std::iota(request.begin(), request.end(), std::uint8_t{0});
    c.ctap(request);
    EXPECT_EQ(c.key.requestLog().back().request, request) << "three chained pieces reach the key whole";

    // A long answer: 256 bytes with 61 xx, the rest through GET RESPONSE; less when Le asks for less; all of it
    // at once in extended length.
    c.key.queueRawReply({Bytes(300, 0x42)});
    EXPECT_EQ(c.apdu("80108000010400"), X(Bytes(256, 0x42)) + "612C");
    EXPECT_EQ(c.apdu("00C000002C"), X(Bytes(44, 0x42)) + "9000");
    c.key.queueRawReply({Bytes(20, 0x43)});
    EXPECT_EQ(c.apdu("80108000010410"), X(Bytes(16, 0x43)) + "6104");
    c.key.queueRawReply({Bytes(300, 0x44)});
    EXPECT_EQ(c.apdu("80108000000001040000"), X(Bytes(300, 0x44)) + "9000");

    // A chain longer than any request is refused and forgotten.
    std::string answer;
    for (int i = 0; i < 40 && answer != "6700"; ++i)
        answer = X(c.card.handleApdu(Card::nfcctap(0x90, Bytes(255, 0x01))));
    EXPECT_EQ(answer, "6700");
    EXPECT_EQ(c.apdu("80108000010400").substr(0, 2), "00");

    EXPECT_EQ(c.apdu("00A4040008A0000006472F000200"), "6A82"); // another applet...
    EXPECT_EQ(c.apdu("801080000104"), "6985");                 // ...and ours is no longer selected
}

// What the application asks of a card before it uses it: its identity (GET DATA of the historical bytes, else the
// vendor command) and the applet's version in the answer to SELECT; the ATR carries the same historical bytes.
TEST(NfcCardFront, IdentityAndSelectAnswerFollowTheOptions)
{
    const std::string maker = "0E783381024A4F56204B574F3032";
    NfcCardFront::Options unavailable;
    unavailable.identity = NfcCardFront::Identity::Unavailable;
    NfcCardFront::Options vendor = unavailable;
    vendor.vendorAnswer = "KWO02";
    vendor.selectAnswer = "U2F_V2";
    const std::tuple<const char*, NfcCardFront::Options, std::vector<std::string>> cases[] = {
        {"the maker's card", {}, {maker + "9000", "6D00", "4649444F5F325F309000"}},
        {"no historical bytes", unavailable, {"6A81", "6D00", "4649444F5F325F309000"}},
        {"a vendor answer", vendor, {"6A81", "4B574F30329000", "5532465F56329000"}},
    };
    for (const auto& [what, options, answers] : cases) {
        SCOPED_TRACE(what);
        SoftAuthenticator key;
        NfcCardFront card(key, options);
        std::vector<std::string> got;
        for (const char* apdu : {"FFCA010000", "804000000414010000", kSelect.c_str()})
            got.push_back(X(card.handleApdu(H(apdu))));
        EXPECT_EQ(got, answers);
    }
    SoftAuthenticator key;
    const Bytes atr = NfcCardFront(key).atr();
    std::uint8_t tck = 0;
    for (std::size_t i = 1; i < atr.size(); ++i)
        tck ^= atr[i];
    EXPECT_EQ(X(atr).substr(0, 8 + maker.size()), "3B8E8001" + maker);
    EXPECT_EQ(atr.size(), 4 + maker.size() / 2 + 1);
    EXPECT_EQ(tck, 0) << "TCK makes the bytes after TS add up to zero";
}

// While the key works the card answers 91 00 with what it waits for; DESELECT ends the request, and after a
// power-off the applet must be selected again.
TEST(NfcCardFront, StatusUpdatesWhileTheKeyWorksUntilDeselect)
{
    NfcCardFront::Options options;
    options.pollWait = 0ms;
    Card c(options);
    c.key.setProcessingDelay(60s);
    EXPECT_EQ(c.apdu("80108000010400"), "019100"); // processing
    EXPECT_EQ(c.apdu("8011000000"), "019100");
    EXPECT_EQ(c.apdu("80120100"), "9000");
    EXPECT_EQ(c.apdu("8011000000"), "6985");
    c.key.setProcessingDelay(0ms);
    EXPECT_EQ(c.apdu(kSelect), "4649444F5F325F309000");

    c.card.control(0);
    EXPECT_EQ(c.apdu("80108000010400"), "6985");
}

// The key's answer is data: whatever its last bytes happen to be (a token or a hash ending in 91 xx, 91 00, a
// lone FF), it goes out whole with 90 00, whether it is ready at once or after status updates.
TEST(NfcCardFront, AnswersThatLookLikeStatusUpdatesOrMarkersGoOutAsData)
{
    const std::pair<const char*, const char*> cases[] = {
        {"ends in 91 xx", "00A1025820E38B82303D79D3000102030405060708090A0B0C0D0E0F101112131415161718199149"},
        {"is a status update's shape", "019100"},
        {"is a lone FF", "FF"},
    };
    for (const auto delay : {0ms, 250ms}) {
        for (const auto& [what, answer] : cases) {
            SCOPED_TRACE(std::string(what) + (delay > 0ms ? ", after status updates" : ", at once"));
            Card card;
            card.key.setProcessingDelay(delay);
            card.key.queueRawReply({H(answer)});
            EXPECT_EQ(card.ctap(H("06A201010202")), std::string(answer) + "9000");
            EXPECT_TRUE(delay == 0ms || !card.statuses.empty());
        }
    }
}
