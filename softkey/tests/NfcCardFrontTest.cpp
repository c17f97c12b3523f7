#include "softkey/NfcCardFront.h"
#include "softkey/tests/TestCtapClient.h"

#include "TestHex.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using namespace std::chrono_literals;

std::string sw(const Bytes& r) { return r.size() < 2 ? "" : X(std::span(r).last(2)); }
Bytes dataOf(const Bytes& r) { return r.size() < 2 ? Bytes{} : Bytes(r.begin(), r.end() - 2); }

const Bytes kSelect = H("00A4040008A0000006472F000100");

// A host for these tests: NFCCTAP_MSG with short-APDU chaining in pieces of `piece` bytes, 91 00 polling and
// GET RESPONSE, as a PC/SC client would send them.
struct CardHost {
    explicit CardHost(NfcCardFront& c) : card(c) {}
    NfcCardFront& card;
    std::size_t piece = 100;
    std::vector<Bytes> statuses;

    Bytes exchange(Bytes apdu)
    {
        Bytes r = card.handleApdu(apdu);
        Bytes all = dataOf(r);
        while (r.size() >= 2 && r[r.size() - 2] == 0x61) {
            r = card.handleApdu(Bytes{0x00, 0xC0, 0x00, 0x00, r.back()});
            const Bytes more = dataOf(r);
            all.insert(all.end(), more.begin(), more.end());
        }
        all.push_back(r[r.size() - 2]);
        all.push_back(r.back());
        return all;
    }
    Bytes ctap(const Bytes& request)
    {
        std::size_t pos = 0;
        while (request.size() - pos > piece) {
            Bytes a{0x90, 0x10, 0x80, 0x00, static_cast<std::uint8_t>(piece)};
            a.insert(a.end(), request.begin() + static_cast<std::ptrdiff_t>(pos),
                     request.begin() + static_cast<std::ptrdiff_t>(pos + piece));
            if (sw(card.handleApdu(a)) != "9000")
                return {};
            pos += piece;
        }
        Bytes a{0x80, 0x10, 0x80, 0x00, static_cast<std::uint8_t>(request.size() - pos)};
        a.insert(a.end(), request.begin() + static_cast<std::ptrdiff_t>(pos), request.end());
        a.push_back(0x00);
        Bytes r = exchange(a);
        for (int i = 0; i < 200 && sw(r) == "9100"; ++i) {
            statuses.push_back(dataOf(r));
            r = exchange(H("8011000000"));
        }
        return sw(r) == "9000" ? dataOf(r) : Bytes{};
    }
};

} // namespace

TEST(NfcCardFront, SelectIdentityAndErrors)
{
    SoftAuthenticator key;
    NfcCardFront card(key);
    EXPECT_EQ(X(card.atr()), "3B8E80010E783381024A4F56204B574F3032" +
                                 X(Bytes{static_cast<std::uint8_t>(0x8E ^ 0x80 ^ 0x01 ^ 0x0E ^ 0x78 ^ 0x33 ^ 0x81 ^ 0x02 ^
                                                                   0x4A ^ 0x4F ^ 0x56 ^ 0x20 ^ 0x4B ^ 0x57 ^ 0x4F ^ 0x30 ^
                                                                   0x32)}));
    EXPECT_EQ(X(card.handleApdu(H("801080000104"))), "6985"); // not selected yet
    EXPECT_EQ(X(card.handleApdu(H("00A4040008A0000006472F000200"))), "6A82");
    EXPECT_EQ(X(card.handleApdu(kSelect)), "4649444F5F325F309000"); // "FIDO_2_0"
    EXPECT_EQ(X(card.handleApdu(H("FFCA010000"))), "0E783381024A4F56204B574F30329000");
    EXPECT_EQ(X(card.handleApdu(H("804000000414010000"))), "6D00");
    EXPECT_EQ(X(card.handleApdu(H("00B0000000"))), "6D00");
    EXPECT_EQ(X(card.handleApdu(H("20100000"))), "6E00");
    EXPECT_EQ(X(card.handleApdu(H("801080"))), "6700");
    EXPECT_EQ(X(card.handleApdu(H("8010800005 04"))), "6700"); // Lc says 5, one byte follows
    EXPECT_EQ(X(card.handleApdu(H("00C0000010"))), "6985");     // nothing left to get

    card.updateOptions([](NfcCardFront::Options& o) {
        o.identity = NfcCardFront::Identity::Unavailable;
        o.vendorAnswer = "KWO02";
        o.selectAnswer = "U2F_V2";
    });
    EXPECT_EQ(X(card.handleApdu(H("FFCA010000"))), "6A81");
    EXPECT_EQ(X(card.handleApdu(H("804000000414010000"))), "4B574F30329000");
    EXPECT_EQ(X(card.handleApdu(kSelect)), "5532465F56329000");
    card.updateOptions([](NfcCardFront::Options& o) { o.identity = NfcCardFront::Identity::Foreign; });
    EXPECT_EQ(sw(card.handleApdu(H("FFCA010000"))), "9000");
    EXPECT_NE(X(dataOf(card.handleApdu(H("FFCA010000")))), "0E783381024A4F56204B574F3032");
    EXPECT_EQ(card.receivedApdus().size(), 15u);
}

TEST(NfcCardFront, ChainingExtendedLengthAndLongAnswers)
{
    SoftAuthenticator key;
    NfcCardFront card(key);
    ASSERT_EQ(sw(card.handleApdu(kSelect)), "9000");
    CardHost host(card);
    TestCtapClient client([&](const Bytes& r) { return host.ctap(r); }, 2);
    EXPECT_EQ(client.setPin("2468"), 0); // setPIN needs two chained pieces
    EXPECT_TRUE(key.hasPin());
    EXPECT_GT(key.requestLog().back().request.size(), 100u);

    // Extended length: one APDU each way.
    const Bytes info = card.handleApdu(H("80108000000001040000"));
    EXPECT_EQ(sw(info), "9000");
    EXPECT_EQ(info[0], 0x00);

    // A long answer: 256 bytes with 61 xx, the rest through GET RESPONSE.
    key.queueRawReply({Bytes(300, 0x42)});
    const Bytes first = card.handleApdu(H("80108000010400"));
    ASSERT_EQ(first.size(), 258u);
    EXPECT_EQ(sw(first), "612C");
    const Bytes rest = card.handleApdu(H("00C000002C"));
    EXPECT_EQ(rest.size(), 46u);
    EXPECT_EQ(sw(rest), "9000");
    // Le asks for less: the answer is cut there.
    key.queueRawReply({Bytes(20, 0x43)});
    EXPECT_EQ(sw(card.handleApdu(H("80108000010410"))), "6104");

    // An oversized chain is refused and forgotten.
    Bytes piece{0x90, 0x10, 0x80, 0x00, 0xFF};
    piece.resize(5 + 255, 0x01);
    bool refused = false;
    for (int i = 0; i < 40 && !refused; ++i)
        refused = X(card.handleApdu(piece)) == "6700";
    EXPECT_TRUE(refused);
    EXPECT_EQ(sw(card.handleApdu(H("80108000010400"))), "9000");
}

TEST(NfcCardFront, StatusUpdatesWhileTheKeyWaits)
{
    SoftAuthenticator key;
    NfcCardFront card(key);
    ASSERT_EQ(sw(card.handleApdu(kSelect)), "9000");
    CardHost host(card);
    key.setTouch(SoftAuthenticator::Touch::Given, 350ms);
    EXPECT_EQ(X(host.ctap(H("0B"))), "00");
    ASSERT_GE(host.statuses.size(), 2u);
    for (const auto& s : host.statuses)
        EXPECT_EQ(X(s), "02") << "touch needed";
    host.statuses.clear();
    key.setTouch(SoftAuthenticator::Touch::Given);
    key.setProcessingDelay(250ms);
    EXPECT_EQ(host.ctap(H("04"))[0], 0x00);
    ASSERT_FALSE(host.statuses.empty());
    EXPECT_EQ(X(host.statuses[0]), "01") << "processing";
    key.setProcessingDelay(0ms);

    // Without P1 bit 0x80 the card answers only when done.
    key.setTouch(SoftAuthenticator::Touch::Given, 150ms);
    EXPECT_EQ(X(card.handleApdu(H("801000000107 00"))), "009000");
    EXPECT_EQ(X(card.handleApdu(H("8011000000"))), "6985"); // nothing running

    // DESELECT cancels a held request; after a power-off the applet must be selected again.
    key.setTouch(SoftAuthenticator::Touch::HeldUntilCancel);
    EXPECT_EQ(X(card.handleApdu(H("80108000010B00"))), "029100");
    EXPECT_EQ(X(card.handleApdu(H("80120100"))), "9000");
    EXPECT_FALSE(key.touchPending());
    EXPECT_EQ(X(card.handleApdu(H("8011000000"))), "6985");
    EXPECT_EQ(sw(card.handleApdu(kSelect)), "9000");
    card.control(0);
    EXPECT_EQ(X(card.handleApdu(H("80108000010400"))), "6985");
}

// The key's answer is data: whatever its last bytes happen to be (a token or a hash ending in 91 xx, a lone
// FF), it goes out whole with 90 00, whether it is ready at once or after status updates.
TEST(NfcCardFront, AnswersThatLookLikeStatusUpdatesOrMarkersGoOutAsData)
{
    const struct {
        const char* what;
        Bytes answer;
    } cases[] = {
        {"ends in 91 xx", H("00A1025820E38B82303D79D3000102030405060708090A0B0C0D0E0F101112131415161718199149")},
        {"ends in 91 00", H("00A10258200102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D9100")},
        {"is a status update's shape", H("019100")},
        {"is a lone FF", H("FF")},
    };
    for (const auto delay : {0ms, 250ms}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (delay > 0ms ? ", after status updates" : ", at once"));
            SoftAuthenticator key;
            NfcCardFront card(key);
            ASSERT_EQ(sw(card.handleApdu(kSelect)), "9000");
            CardHost host(card);
            key.setProcessingDelay(delay);
            key.queueRawReply({c.answer});
            EXPECT_EQ(X(host.ctap(H("06A201010202"))), X(c.answer));
            EXPECT_EQ(host.statuses.empty(), delay == 0ms);
        }
    }
}

TEST(NfcCardFront, StallHoldsTheAnswer)
{
    SoftAuthenticator key;
    NfcCardFront card(key);
    card.setStall(true);
    Bytes answer;
    std::thread t([&] { answer = card.handleApdu(kSelect); });
    ASSERT_TRUE(card.waitForApdus(1, 2s));
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(answer.empty());
    card.setStall(false);
    t.join();
    EXPECT_EQ(sw(answer), "9000");
}
