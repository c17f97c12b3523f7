#pragma once

// What the software authenticator's command files share: its status bytes and command codes, the strict
// look-up of request parameters, and the records it stores. Only SoftAuthenticator*.cpp include this.
#include "fido/Cbor.h"
#include "softkey/CtapCbor.h"
#include "softkey/SoftAuthenticator.h"

#include <algorithm>
#include <map>
#include <string>
#include <string_view>

namespace softauth {

// CTAP status bytes, as the key sends them.
constexpr std::uint8_t OK = 0x00;
constexpr std::uint8_t INVALID_COMMAND = 0x01;
constexpr std::uint8_t INVALID_PARAMETER = 0x02;
constexpr std::uint8_t INVALID_LENGTH = 0x03;
constexpr std::uint8_t CBOR_UNEXPECTED_TYPE = 0x11;
constexpr std::uint8_t INVALID_CBOR = 0x12;
constexpr std::uint8_t MISSING_PARAMETER = 0x14;
constexpr std::uint8_t CREDENTIAL_EXCLUDED = 0x19;
constexpr std::uint8_t UNSUPPORTED_ALGORITHM = 0x26;
constexpr std::uint8_t OPERATION_DENIED = 0x27;
constexpr std::uint8_t KEY_STORE_FULL = 0x28;
constexpr std::uint8_t UNSUPPORTED_OPTION = 0x2B;
constexpr std::uint8_t INVALID_OPTION = 0x2C;
constexpr std::uint8_t KEEPALIVE_CANCEL = 0x2D;
constexpr std::uint8_t NO_CREDENTIALS = 0x2E;
constexpr std::uint8_t USER_ACTION_TIMEOUT = 0x2F;
constexpr std::uint8_t NOT_ALLOWED = 0x30;
constexpr std::uint8_t PIN_INVALID = 0x31;
constexpr std::uint8_t PIN_BLOCKED = 0x32;
constexpr std::uint8_t PIN_AUTH_INVALID = 0x33;
constexpr std::uint8_t PIN_AUTH_BLOCKED = 0x34;
constexpr std::uint8_t PIN_NOT_SET = 0x35;
constexpr std::uint8_t PUAT_REQUIRED = 0x36;
constexpr std::uint8_t PIN_POLICY_VIOLATION = 0x37;
constexpr std::uint8_t REQUEST_TOO_LARGE = 0x39;
constexpr std::uint8_t INVALID_SUBCOMMAND = 0x3E;
constexpr std::uint8_t UNAUTHORIZED_PERMISSION = 0x40;

constexpr std::uint8_t CMD_MAKE_CREDENTIAL = 0x01;
constexpr std::uint8_t CMD_GET_INFO = 0x04;
constexpr std::uint8_t CMD_CLIENT_PIN = 0x06;
constexpr std::uint8_t CMD_RESET = 0x07;
constexpr std::uint8_t CMD_CRED_MGMT = 0x0A;
constexpr std::uint8_t CMD_SELECTION = 0x0B;
constexpr std::uint8_t CMD_CRED_MGMT_PRE = 0x41;

constexpr std::uint8_t PERM_MC = 0x01;
constexpr std::uint8_t PERM_GA = 0x02;
constexpr std::uint8_t PERM_CM = 0x04;

Bytes status(std::uint8_t code);
Bytes answer(const Bytes& cbor); // OK followed by the CBOR
Bytes toBytes(std::string_view s);
std::string toString(const Bytes& b);
Bytes concat(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);
bool equalConstTime(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);
Bytes hash(std::span<const std::uint8_t> data);
std::size_t codePoints(std::span<const std::uint8_t> utf8);
// The HMAC key a PIN token gives: the whole token under protocol 1, at most its first 32 bytes under 2.
std::span<const std::uint8_t> tokenMacKey(const SecureBytes& token, std::uint64_t protocol);

// A looked-up request parameter: absent, of the wrong type, or present.
enum class Field { Absent, Wrong, Present };

// The value under an integer or text key of a map, read with one of the strict accessors of fido/Cbor.h.
template <class Key, class T, class Read> Field getField(const cbor_item_t* map, Key key, T& out, Read read)
{
    const cbor_item_t* v = cborMapFind(map, key);
    if (!v)
        return Field::Absent;
    auto value = read(v);
    if (!value)
        return Field::Wrong;
    out = std::move(*value);
    return Field::Present;
}
template <class Key> Field getUInt(const cbor_item_t* map, Key key, std::uint64_t& out)
{
    return getField(map, key, out, cborUInt64Value);
}
template <class Key> Field getBytes(const cbor_item_t* map, Key key, Bytes& out)
{
    return getField(map, key, out, cborBytesValue);
}
template <class Key> Field getText(const cbor_item_t* map, Key key, std::string& out)
{
    return getField(map, key, out, cborStringValue);
}
Field getMap(const cbor_item_t* map, std::int64_t key, const cbor_item_t*& out);

// The status for a required field: OK when present.
std::uint8_t required(Field f);
// The status for an optional field: OK unless it is of the wrong type.
std::uint8_t optional(Field f);

} // namespace softauth

struct SoftAuthenticator::StoredCredential {
    std::string rpId;
    Bytes rpIdHash;
    std::string rpName;
    Bytes userId;
    std::string userName;
    std::string userDisplayName;
    Bytes credentialId;
    Bytes privateKey;
    std::uint64_t credProtect = 1;
    std::optional<crypto::P256KeyPair> key;
};

// The relying parties in the order their first credential was stored, each with the name its credentials last
// gave and the positions of its credentials in the store: enumerations read it instead of searching the store.
struct SoftAuthenticator::RpIndex {
    struct Rp {
        std::string id;
        std::string name;
        Bytes idHash;
        std::vector<std::size_t> credentials;
    };
    std::vector<Rp> rps;
    std::map<Bytes, std::size_t> byHash;
};

struct SoftAuthenticator::Token {
    SecureBytes value;
    std::uint64_t protocol = 0;
    std::uint8_t permissions = 0;
    std::optional<std::string> rpId;
    bool legacy = false; // from getPinToken: no permissions of its own, good for the prototype commands
};
