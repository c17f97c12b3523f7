#include "fido/Cbor.h"

#include "TestHex.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::pair<CborItem, CborItem>> entries()
{
    return {};
}

template <typename... Rest>
std::vector<std::pair<CborItem, CborItem>> entries(CborItem k, CborItem v, Rest... rest)
{
    auto out = entries(std::move(rest)...);
    out.insert(out.begin(), std::make_pair(std::move(k), std::move(v)));
    return out;
}

CborItem item(const std::string& hex)
{
    auto decoded = cborDecode(H(hex));
    EXPECT_TRUE(decoded) << hex;
    return decoded ? std::move(*decoded) : CborItem();
}

} // namespace

TEST(CborCanonical, SortsIntegerKeysAndNestedMaps)
{
    // Keys 1, 3, 2 with a nested map {"type", "id"} under 2.
    CborItem inner = cborMap(entries(cborFromString("type"), cborFromString("public-key"), cborFromString("id"),
                                     cborFromBytes(Bytes{0xAA})));
    CborItem map = cborMap(entries(cborFromInt64(1), cborFromInt64(10), cborFromInt64(3), cborFromInt64(30),
                                   cborFromInt64(2), std::move(inner)));
    EXPECT_EQ(X(encodeCanonicalCborMap(map.get())),
              "A3" "010A" "02A2" "626964" "41AA" "6474797065" "6A7075626C69632D6B6579" "03181E");
}

TEST(CborCanonical, CoseKeyOrderAndEmptyMap)
{
    CborItem cose = cborMap(entries(cborFromInt64(3), cborFromInt64(-25), cborFromInt64(-1), cborFromInt64(1),
                                    cborFromInt64(1), cborFromInt64(2), cborFromInt64(-2), cborFromBytes(Bytes{1})));
    EXPECT_EQ(X(encodeCanonicalCborMap(cose.get())), "A4" "0102" "033818" "2001" "214101");
    CborItem empty = cborMap({});
    EXPECT_EQ(X(encodeCanonicalCborMap(empty.get())), "A0");
}

TEST(CborCanonical, MixedRanksAndMapsInsideArraysKeepTheirOrder)
{
    // Text sorts after every integer; a map inside an array is written as built.
    CborItem inArray = cborMap(entries(cborFromInt64(2), cborFromInt64(0), cborFromInt64(1), cborFromInt64(0)));
    std::vector<CborItem> elems;
    elems.push_back(std::move(inArray));
    CborItem map = cborMap(entries(cborFromString("a"), cborFromInt64(0), cborFromInt64(-1), cborArray(std::move(elems)),
                                   cborFromInt64(5), cborFromBool(true)));
    EXPECT_EQ(X(encodeCanonicalCborMap(map.get())), "A3" "05F5" "2081A2" "0200" "0100" "616100");
}

TEST(CborCanonical, TwentyFourPairsUseOneByteHead)
{
    std::vector<std::pair<CborItem, CborItem>> e;
    for (int i = 23; i >= 0; --i)
        e.emplace_back(cborFromInt64(i), cborFromInt64(0));
    CborItem map = cborMap(std::move(e));
    const Bytes enc = encodeCanonicalCborMap(map.get());
    ASSERT_GE(enc.size(), 4u);
    EXPECT_EQ(X(Bytes(enc.begin(), enc.begin() + 4)), "B8180000");
}

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

TEST(CborCanonical, TextKeysOrderByEncodedLengthThenBytes)
{
    // Byte-wise these run "displayName" < "icon" < "id" < "name"; keys are compared by their whole encoding.
    const std::vector<std::string> ordered = {"a", "b", "id", "icon", "name", "displayName"};
    auto less = [](const CborItem& a, const CborItem& c) {
        return canonicalCborKeyLess({a.get(), nullptr}, {c.get(), nullptr});
    };
    for (std::size_t i = 0; i < ordered.size(); ++i) {
        for (std::size_t j = 0; j < ordered.size(); ++j) {
            const CborItem a = cborFromString(ordered[i]), c = cborFromString(ordered[j]);
            EXPECT_EQ(less(a, c), i < j) << ordered[i] << " < " << ordered[j];
        }
    }
    // A 24-byte key takes a two-byte head, so it follows every shorter key whatever its bytes.
    const CborItem longKey = cborFromString(std::string(24, 'A')), shortKey = cborFromString(std::string(23, 'z'));
    EXPECT_TRUE(less(shortKey, longKey));
    EXPECT_FALSE(less(longKey, shortKey));
}

TEST(CborCanonical, UserEntityIsWrittenInCtapOrder)
{
    CborItem user = cborMap(entries(cborFromString("displayName"), cborFromString("D"), cborFromString("name"),
                                    cborFromString("N"), cborFromString("icon"), cborFromString("I"),
                                    cborFromString("id"), cborFromBytes(Bytes{0x01})));
    CborItem map = cborMap(entries(cborFromInt64(3), std::move(user)));
    EXPECT_EQ(X(encodeCanonicalCborMap(map.get())),
              "A1" "03A4" "626964" "4101" "6469636F6E" "6149" "646E616D65" "614E" "6B646973706C61794E616D65" "6144");
}

TEST(CborBuild, ShortestIntegerHeads)
{
    const std::vector<std::pair<std::int64_t, std::string>> cases = {
        {0, "00"},          {23, "17"},         {24, "1818"},        {255, "18FF"},
        {256, "190100"},    {65535, "19FFFF"},  {65536, "1A00010000"}, {4294967295LL, "1AFFFFFFFF"},
        {4294967296LL, "1B0000000100000000"}, {-1, "20"}, {-24, "37"}, {-25, "3818"}, {-256, "38FF"},
        {-257, "390100"},
    };
    for (const auto& [value, hex] : cases)
        EXPECT_EQ(X(cborEncode(cborFromInt64(value).get())), hex) << value;
    EXPECT_EQ(X(cborEncode(cborFromInt64(INT64_MIN).get())), "3B7FFFFFFFFFFFFFFF");
    EXPECT_EQ(X(cborEncode(cborFromUInt64(UINT64_MAX).get())), "1BFFFFFFFFFFFFFFFF");
    EXPECT_EQ(X(cborHead(4, 24)), "9818");
}

TEST(CborAccess, StrictKinds)
{
    auto neg = item("20");
    EXPECT_EQ(cborInt64Value(neg.get()), -1);
    EXPECT_FALSE(cborUInt64Value(neg.get()));
    auto text = item("626964");
    EXPECT_EQ(cborStringValue(text.get()), "id");
    EXPECT_FALSE(cborInt64Value(text.get()));
    EXPECT_FALSE(cborBytesValue(text.get()));
    auto one = item("01");
    EXPECT_FALSE(cborBoolValue(one.get()));
    EXPECT_EQ(cborUInt64Value(one.get()), 1u);
    auto t = item("F5");
    EXPECT_EQ(cborBoolValue(t.get()), true);
    auto big = item("1BFFFFFFFFFFFFFFFF");
    EXPECT_FALSE(cborInt64Value(big.get()));
    EXPECT_EQ(cborUInt64Value(big.get()), UINT64_MAX);
    auto bigNeg = item("3BFFFFFFFFFFFFFFFF");
    EXPECT_FALSE(cborInt64Value(bigNeg.get()));
    auto minNeg = item("3B7FFFFFFFFFFFFFFF");
    EXPECT_EQ(cborInt64Value(minNeg.get()), INT64_MIN);
    auto bytes = item("43010203");
    EXPECT_EQ(cborBytesValue(bytes.get()), (Bytes{1, 2, 3}));
    auto emptyBytes = item("40");
    EXPECT_EQ(cborBytesValue(emptyBytes.get()), Bytes{});
    auto null = item("F6");
    EXPECT_FALSE(cborBoolValue(null.get()));
    EXPECT_FALSE(cborMapValue(null.get()));
    EXPECT_FALSE(cborArrayValue(null.get()));
    EXPECT_FALSE(cborStringValue(nullptr));
}

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
    EXPECT_FALSE(cborDecode(H("")));
    EXPECT_FALSE(cborDecode(H("9A08000000")));         // a huge declared array in five bytes
    EXPECT_FALSE(cborDecode(H("BA08000000")));         // a huge declared map
    EXPECT_FALSE(cborDecode(H("5A08000000")));         // a huge declared byte string
    EXPECT_FALSE(cborDecode(H("A201")));               // truncated map
    EXPECT_FALSE(cborDecode(H("0101")));               // trailing bytes
    EXPECT_FALSE(cborDecode(H("1C")));                 // reserved additional info
    EXPECT_FALSE(cborDecode(H("FF")));                 // a lone break
    EXPECT_FALSE(cborDecode(H("1F")));                 // indefinite integer
    EXPECT_FALSE(cborDecode(H("5F4101FF00")));         // trailing byte after an indefinite string
    EXPECT_FALSE(cborDecode(H("5F6101FF")));           // text chunk inside a byte string
    EXPECT_FALSE(cborDecode(Bytes(40, 0x81)));         // nesting deeper than the limit
    EXPECT_TRUE(cborDecode(H("9F0102FF")));            // indefinite arrays are well formed
    EXPECT_TRUE(cborDecode(H("A0")));
    auto half = cborDecode(H("F93C00"));                // a float is not a boolean (and must not assert)
    ASSERT_TRUE(half);
    EXPECT_FALSE(cborBoolValue(half->get()));
}
