#include "fido/Utils.h"

#include "platform/Crypto.h"

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Splits UTF-8 text into code points; a byte that does not start a valid sequence is one character of its own.
std::vector<std::uint32_t> codePoints(std::string_view text)
{
    std::vector<std::uint32_t> out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<std::uint8_t>(text[i]);
        std::size_t len = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
        bool ok = len != 0 && i + len <= text.size();
        std::uint32_t cp = len == 1 ? b : len == 2 ? (b & 0x1Fu) : len == 3 ? (b & 0x0Fu) : (b & 0x07u);
        for (std::size_t k = 1; ok && k < len; ++k) {
            const auto c = static_cast<std::uint8_t>(text[i + k]);
            ok = (c & 0xC0) == 0x80;
            cp = (cp << 6) | (c & 0x3Fu);
        }
        if (!ok) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        out.push_back(cp);
        i += len;
    }
    return out;
}

int hexValue(std::uint32_t c)
{
    if (c >= '0' && c <= '9')
        return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f')
        return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F')
        return static_cast<int>(c - 'A' + 10);
    return -1;
}

std::optional<std::uint8_t> parsePair(std::uint32_t first, std::uint32_t second)
{
    const int lo = hexValue(second);
    if (lo < 0)
        return std::nullopt;
    if (first == '+')
        return static_cast<std::uint8_t>(lo);
    if (first == '-') // only "-0" stays within 0...255
        return lo == 0 ? std::optional<std::uint8_t>(0) : std::nullopt;
    const int hi = hexValue(first);
    if (hi < 0)
        return std::nullopt;
    return static_cast<std::uint8_t>(hi * 16 + lo);
}

} // namespace

std::string bytesToHexString(std::span<const std::uint8_t> bytes)
{
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        out.push_back(kHexDigits[b >> 4]);
        out.push_back(kHexDigits[b & 0x0F]);
    }
    return out;
}

std::string joinedWithSpace(const std::vector<std::string>& texts)
{
    std::string out;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (i != 0)
            out.push_back(' ');
        out += texts[i];
    }
    return out;
}

std::string removeSpaces(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != ' ')
            out.push_back(c);
    return out;
}

Bytes hexToBytes(std::string_view text)
{
    const std::vector<std::uint32_t> chars = codePoints(text);
    Bytes out;
    out.reserve(chars.size() / 2);
    for (std::size_t i = 0; i + 1 < chars.size(); i += 2)
        if (auto b = parsePair(chars[i], chars[i + 1]))
            out.push_back(*b);
    return out;
}

Bytes dataToBytes(std::span<const std::uint8_t> data) { return Bytes(data.begin(), data.end()); }

std::optional<Bytes> randomBytes(long count)
{
    if (count < 0)
        return std::nullopt;
    Bytes out(static_cast<std::size_t>(count));
    if (!crypto::randomFill(out))
        return std::nullopt;
    return out;
}

Bytes sha256(std::span<const std::uint8_t> data)
{
    auto digest = crypto::sha256(data);
    return digest ? digest->toBytes() : Bytes{};
}

Bytes toBytes(std::uint16_t value, CFByteOrder order)
{
    const auto hi = static_cast<std::uint8_t>(value >> 8);
    const auto lo = static_cast<std::uint8_t>(value & 0xFF);
    if (order == CFByteOrderLittleEndian)
        return {lo, hi};
    return {hi, lo};
}
