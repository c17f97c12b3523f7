#pragma once

#include "fido/Cbor.h"
#include "platform/Crypto.h"
#include "softkey/CtapCbor.h"

#include <functional>
#include <optional>
#include <string>
#include <utility>

// The platform side of the PIN/UV-auth protocols, written for the software key's tests only: it sends
// requests through any transport and checks nothing itself.
class TestCtapClient {
public:
    using Send = std::function<Bytes(const Bytes&)>;
    using K = CtapCbor;

    TestCtapClient(Send send, std::uint64_t protocol) : send_(std::move(send)), protocol_(protocol) {}

    static Bytes request(std::uint8_t command, std::vector<K::Entry> params)
    {
        Bytes out = K::map(std::move(params));
        out.insert(out.begin(), command);
        return out;
    }
    static K::Entry e(std::int64_t key, Bytes value) { return {K::integer(key), std::move(value)}; }

    // A clientPIN request under this client's protocol.
    Bytes pinRequest(std::uint64_t sub, std::vector<K::Entry> more = {}) const
    {
        more.push_back(e(1, K::uint(protocol_)));
        more.push_back(e(2, K::uint(sub)));
        return request(0x06, std::move(more));
    }

    // getKeyAgreement and the shared secret; false when the key's answer is unusable.
    bool agree()
    {
        auto item = body(send_(pinRequest(2)));
        const cbor_item_t* cose = item ? cborMapFind(item->get(), 1) : nullptr;
        auto x = cborBytesValue(cborMapFind(cose, -2));
        auto y = cborBytesValue(cborMapFind(cose, -3));
        auto kp = crypto::P256KeyPair::generate();
        auto z = x && y && kp ? kp->ecdh(*x, *y) : std::nullopt;
        if (!z)
            return false;
        platform_.emplace(std::move(*kp));
        const Bytes salt(32, 0);
        const std::string h = "CTAP2 HMAC key", a = "CTAP2 AES key";
        secret_ = protocol_ == 1 ? *crypto::sha256(*z) : *crypto::hkdfSha256(*z, salt, Bytes(h.begin(), h.end()), 32);
        if (protocol_ != 1)
            secret_.append(*crypto::hkdfSha256(*z, salt, Bytes(a.begin(), a.end()), 32));
        return true;
    }
    Bytes cose() const { return K::coseP256(-25, platform_->x(), platform_->y()); }

    // AES-256-CBC: protocol One under the whole secret with a zero IV; Two under its second half, IV in front.
    Bytes encrypt(std::span<const std::uint8_t> data) const
    {
        Bytes out(protocol_ == 1 ? 0 : 16, 0x5A);
        const Bytes ct = crypto::aes256CbcEncrypt(aesKey(), protocol_ == 1 ? Bytes(16, 0) : out, data)->toBytes();
        out.insert(out.end(), ct.begin(), ct.end());
        return out;
    }
    // HMAC-SHA-256 under the first 32 bytes of the key, cut to 16 bytes under protocol One.
    Bytes mac(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message) const
    {
        Bytes m = crypto::hmacSha256(key.first(std::min<std::size_t>(key.size(), 32)), message)->toBytes();
        m.resize(protocol_ == 1 ? 16 : 32);
        return m;
    }
    Bytes pinHashEnc(const std::string& pin) const
    {
        Bytes h = crypto::sha256(Bytes(pin.begin(), pin.end()))->toBytes();
        h.resize(16);
        return encrypt(h);
    }

    // setPIN, or changePIN from the current PIN, after a fresh key agreement.
    Bytes setPinRequest(const std::string& next, std::optional<std::string> current = {})
    {
        if (!agree())
            return {};
        Bytes padded(next.begin(), next.end());
        padded.resize(64, 0);
        Bytes enc = encrypt(padded), authenticated = enc;
        std::vector<K::Entry> p{e(3, cose()), e(5, K::bytes(enc))};
        if (current) {
            const Bytes hashEnc = pinHashEnc(*current);
            authenticated.insert(authenticated.end(), hashEnc.begin(), hashEnc.end());
            p.push_back(e(6, K::bytes(hashEnc)));
        }
        p.push_back(e(4, K::bytes(mac(secret_, authenticated))));
        return pinRequest(current ? 4 : 3, std::move(p));
    }

    // getPinToken (permissions 0) or getPinUvAuthTokenUsingPinWithPermissions: the decrypted token, or the status.
    std::pair<std::uint8_t, Bytes> token(const std::string& pin, std::uint64_t permissions,
                                         std::optional<std::string> rpId = {})
    {
        if (!agree())
            return {0xFF, {}};
        std::vector<K::Entry> p{e(3, cose()), e(6, K::bytes(pinHashEnc(pin)))};
        if (permissions)
            p.push_back(e(9, K::uint(permissions)));
        if (rpId)
            p.push_back(e(10, K::text(*rpId)));
        const Bytes a = send_(pinRequest(permissions ? 9 : 5, std::move(p)));
        auto item = body(a);
        auto enc = item ? cborBytesValue(cborMapFind(item->get(), 2)) : std::nullopt;
        if (!enc)
            return {item ? std::uint8_t{0xFE} : a.empty() ? std::uint8_t{0xFF} : a[0], {}};
        const Bytes zero(16, 0);
        const std::span<const std::uint8_t> all(*enc), iv = protocol_ == 1 ? zero : all.first(16);
        return {0, crypto::aes256CbcDecrypt(aesKey(), iv, all.subspan(protocol_ == 1 ? 0 : 16))->toBytes()};
    }

    // A credential-management request, authenticated with the token (when one is given) over sub-command ||
    // encoded params.
    Bytes credMgmt(std::uint8_t command, std::uint64_t sub, const Bytes& token, std::optional<Bytes> params = {}) const
    {
        std::vector<K::Entry> p{e(1, K::uint(sub))};
        Bytes message{static_cast<std::uint8_t>(sub)};
        if (params) {
            message.insert(message.end(), params->begin(), params->end());
            p.push_back(e(2, *params));
        }
        if (!token.empty()) {
            p.push_back(e(3, K::uint(protocol_)));
            p.push_back(e(4, K::bytes(mac(token, message))));
        }
        return request(command, std::move(p));
    }

private:
    static std::optional<CborItem> body(const Bytes& answer)
    {
        return answer.size() < 2 || answer[0] != 0 ? std::nullopt : cborDecode(std::span(answer).subspan(1));
    }
    std::span<const std::uint8_t> aesKey() const { return std::span(secret_.data() + (protocol_ == 1 ? 0 : 32), 32); }

    Send send_;
    std::uint64_t protocol_;
    std::optional<crypto::P256KeyPair> platform_;
    SecureBytes secret_;
};
