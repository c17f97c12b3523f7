#include "fido/Cbor.h"

#include "TestHex.h"

#include <gtest/gtest.h>

namespace {

CborItem item(const std::string& hex)
{
    auto decoded = cborDecode(H(hex));
    EXPECT_TRUE(decoded) << hex;
    return decoded ? std::move(*decoded) : CborItem();
}

} // namespace

// Maps decoded in any order come out in CTAP 2 canonical order: unsigned keys, then negative ones, then text by
// encoded length first (a 24-byte key takes a two-byte head), then the rest; maps under map keys are sorted alike,
// maps inside arrays are written as they are.
TEST(CborCanonical, MapsAreWrittenInCanonicalOrder)
{
    std::string descending24;
    std::string ascending24;
    for (std::uint8_t i = 0; i < 24; ++i) {
        descending24 = X(Bytes{i, 0}) + descending24;
        ascending24 += X(Bytes{i, 0});
    }
    const std::pair<std::string, std::string> rows[] = {
        {"A3 03181E 010A 02A2 6474797065 6A7075626C69632D6B6579 626964 41AA",
         "A3 010A 02A2 626964 41AA 6474797065 6A7075626C69632D6B6579 03181E"},
        {"A4 033818 2001 0102 214101", "A4 0102 033818 2001 214101"},
        {"A3 616100 2081A2 0200 0100 05F5", "A3 05F5 2081A2 0200 0100 616100"},
        {"A1 03A4 6B646973706C61794E616D65 6144 646E616D65 614E 6469636F6E 6149 626964 4101",
         "A1 03A4 626964 4101 6469636F6E 6149 646E616D65 614E 6B646973706C61794E616D65 6144"},
        {"A0", "A0"},
        {"A4 4101 00 7818" + X(Bytes(24, 'A')) + "00 77" + X(Bytes(23, 'z')) + "00 6162 00",
         "A4 6162 00 77" + X(Bytes(23, 'z')) + "00 7818" + X(Bytes(24, 'A')) + "00 4101 00"},
        {"B818" + descending24, "B818" + ascending24}, // 24 pairs take a one-byte count
    };
    for (const auto& [given, canonical] : rows)
        EXPECT_EQ(X(encodeCanonicalCborMap(item(given).get())), removeSpaces(canonical)) << given;
}

// The key order is a strict weak ordering, as the sort needs: unsigned, then negative, then text, then every other
// kind, all of which rank alike.
TEST(CborCanonical, KeyOrderIsStrictWeak)
{
    CborItem u1 = cborFromInt64(1), n1 = cborFromInt64(-1), t = cborFromString("id"), b = cborFromBytes(Bytes{1});
    auto less = [](const cbor_item_t* a, const cbor_item_t* c) {
        return canonicalCborKeyLess({a, nullptr}, {c, nullptr});
    };
    EXPECT_TRUE(less(u1.get(), n1.get()));
    EXPECT_FALSE(less(n1.get(), u1.get()));
    EXPECT_TRUE(less(n1.get(), t.get()));
    EXPECT_TRUE(less(u1.get(), t.get()));
    EXPECT_TRUE(less(t.get(), b.get()));
    EXPECT_FALSE(less(b.get(), b.get()));
    CborItem id = cborFromString("id"), type = cborFromString("type");
    EXPECT_TRUE(less(id.get(), type.get()));
    CborItem m2 = cborFromInt64(-2), m3 = cborFromInt64(-3);
    EXPECT_TRUE(less(m2.get(), m3.get()));
}

TEST(CborBuild, ShortestIntegerHeads)
{
    const std::pair<std::int64_t, std::string> rows[] = {
        {0, "00"}, {23, "17"}, {24, "1818"}, {255, "18FF"}, {256, "190100"}, {65535, "19FFFF"},
        {65536, "1A00010000"}, {4294967295LL, "1AFFFFFFFF"}, {4294967296LL, "1B0000000100000000"}, {-1, "20"},
        {-24, "37"}, {-25, "3818"}, {-256, "38FF"}, {-257, "390100"}, {INT64_MIN, "3B7FFFFFFFFFFFFFFF"},
    };
    for (const auto& [value, hex] : rows)
        EXPECT_EQ(X(cborEncode(cborFromInt64(value).get())), hex) << value;
    EXPECT_EQ(X(cborEncode(cborFromUInt64(UINT64_MAX).get())), "1BFFFFFFFFFFFFFFFF");
    EXPECT_EQ(X(cborHead(4, 24)), "9818");
}

// Each accessor reads its own kind only (i int64, u uint64, s text, y bytes, b bool, m map, a array), and the
// integers to their limits.
TEST(CborAccess, StrictKinds)
{
    const std::pair<std::string, std::string> rows[] = {
        {"20", "i"}, {"01", "iu"}, {"1BFFFFFFFFFFFFFFFF", "u"}, {"3BFFFFFFFFFFFFFFFF", ""}, {"626964", "s"},
        {"40", "y"}, {"F5", "b"}, {"F6", ""}, {"F93C00", ""}, {"A0", "m"}, {"80", "a"},
    };
    for (const auto& [hex, kinds] : rows) {
        const CborItem c = item(hex);
        const cbor_item_t* v = c.get();
        const bool read[] = {cborInt64Value(v).has_value(), cborUInt64Value(v).has_value(),
                             cborStringValue(v).has_value(), cborBytesValue(v).has_value(),
                             cborBoolValue(v).has_value(), cborMapValue(v).has_value(), cborArrayValue(v).has_value()};
        std::string got;
        for (std::size_t k = 0; k < std::size(read); ++k)
            got += read[k] ? std::string(1, "iusybma"[k]) : "";
        EXPECT_EQ(got, kinds) << hex;
    }
    EXPECT_EQ(cborInt64Value(item("3B7FFFFFFFFFFFFFFF").get()), INT64_MIN);
    EXPECT_EQ(cborUInt64Value(item("1BFFFFFFFFFFFFFFFF").get()), UINT64_MAX);
}

// Keys are found by kind and value: -2 is not the unsigned 1 its encoding carries, nor any text.
TEST(CborAccess, MapLookup)
{
    auto map = item("A3" "01" "6141" "6474797065" "02" "21" "F4");
    EXPECT_EQ(cborStringValue(cborMapFind(map.get(), 1)), "A");
    EXPECT_EQ(cborInt64Value(cborMapFind(map.get(), "type")), 2);
    EXPECT_EQ(cborBoolValue(cborMapFind(map.get(), -2)), false);
    EXPECT_EQ(cborMapFind(map.get(), 7), nullptr);
    auto view = cborMapValue(map.get());
    ASSERT_TRUE(view);
    EXPECT_EQ(view->size(), 3u);
}

TEST(CborDecode, RefusesMalformedAndOversizedInput)
{
    const char* refused[] = {
        "",                                     // nothing
        "9A08000000", "BA08000000", "5A08000000", // a huge declared array, map or byte string in five bytes
        "A201",                                 // truncated map
        "0101",                                 // trailing bytes
        "1C",                                   // reserved additional info
        "FF",                                   // a lone break
        "1F",                                   // indefinite integer
        "5F4101FF00",                           // trailing byte after an indefinite string
        "5F6101FF",                             // text chunk inside a byte string
    };
    for (const char* hex : refused)
        EXPECT_FALSE(cborDecode(H(hex))) << hex;
    EXPECT_FALSE(cborDecode(H(X(Bytes(40, 0x81)) + "00"))); // well formed, but nested deeper than the limit
    EXPECT_TRUE(cborDecode(H("9F0102FF")));    // indefinite arrays are well formed
}
