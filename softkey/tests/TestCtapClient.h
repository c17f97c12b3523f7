#pragma once

#include "fido/Cbor.h"
#include "platform/Crypto.h"
#include "softkey/CtapCbor.h"

#include <functional>
#include <optional>
#include <string>
#include <utility>

// The platform side of the PIN/UV-auth protocols, written for the software key's tests only: it sends
// requests through any transport (the core, the CTAPHID harness, APDUs) and checks nothing itself.
class TestCtapClient {
public:
    using Send = std::function<Bytes(const Bytes&)>;

    TestCtapClient(Send send, std::uint64_t protocol) : send_(std::move(send)), protocol_(protocol) {}

    static Bytes request(std::uint8_t command, std::vector<CtapCbor::Entry> params)
    {
        Bytes out{command};
        const Bytes map = CtapCbor::map(std::move(params));
        out.insert(out.end(), map.begin(), map.end());
        return out;
    }
    static CtapCbor::Entry e(std::int64_t key, Bytes value) { return {CtapCbor::integer(key), std::move(value)}; }
    static std::optional<CborItem> body(const Bytes& answer)
    {
        if (answer.size() < 2 || answer[0] != 0)
            return std::nullopt;
        return cborDecode(std::span(answer).subspan(1));
    }

    Bytes send(const Bytes& r) { return send_(r); }
    std::uint64_t protocol() const { return protocol_; }

    // getKeyAgreement and the shared secret; false when the key's answer is unusable.
    bool agree()
    {
        auto item = body(send_(request(0x06, {e(1, CtapCbor::uint(protocol_)), e(2, CtapCbor::uint(2))})));
        if (!item)
            return false;
        const cbor_item_t* cose = cborMapFind(item->get(), 1);
        auto x = cborBytesValue(cborMapFind(cose, -2));
        auto y = cborBytesValue(cborMapFind(cose, -3));
        peerX_ = x.value_or(Bytes{});
        auto kp = crypto::P256KeyPair::generate();
        if (!x || !y || !kp)
            return false;
        auto z = kp->ecdh(*x, *y);
        if (!z)
            return false;
        platform_.emplace(std::move(*kp));
        if (protocol_ == 1) {
            secret_ = *crypto::sha256(*z);
        } else {
            const Bytes salt(32, 0);
            const std::string h = "CTAP2 HMAC key", a = "CTAP2 AES key";
            secret_ = *crypto::hkdfSha256(*z, salt, Bytes(h.begin(), h.end()), 32);
            secret_.append(*crypto::hkdfSha256(*z, salt, Bytes(a.begin(), a.end()), 32));
        }
        return true;
    }
    const Bytes& peerX() const { return peerX_; }

    Bytes cose() const { return CtapCbor::coseP256(-25, platform_->x(), platform_->y()); }
    Bytes encrypt(std::span<const std::uint8_t> data) const
    {
        if (protocol_ == 1)
            return crypto::aes256CbcEncrypt(secret_, Bytes(16, 0), data)->toBytes();
        Bytes iv(16, 0x5A);
        Bytes out = iv;
        const Bytes ct = crypto::aes256CbcEncrypt(std::span(secret_.data() + 32, 32), iv, data)->toBytes();
        out.insert(out.end(), ct.begin(), ct.end());
        return out;
    }
    Bytes decrypt(std::span<const std::uint8_t> data) const
    {
        if (protocol_ == 1)
            return crypto::aes256CbcDecrypt(secret_, Bytes(16, 0), data)->toBytes();
        return crypto::aes256CbcDecrypt(std::span(secret_.data() + 32, 32), data.first(16), data.subspan(16))->toBytes();
    }
    Bytes mac(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message) const
    {
        Bytes m = crypto::hmacSha256(key.first(std::min<std::size_t>(key.size(), 32)), message)->toBytes();
        m.resize(protocol_ == 1 ? 16 : 32);
        return m;
    }
    Bytes mac(std::span<const std::uint8_t> message) const { return mac(secret_, message); }

    static Bytes padded(const std::string& pin)
    {
        Bytes p(pin.begin(), pin.end());
        p.resize(64, 0);
        return p;
    }
    Bytes pinHashEnc(const std::string& pin) const
    {
        Bytes h = crypto::sha256(Bytes(pin.begin(), pin.end()))->toBytes();
        h.resize(16);
        return encrypt(h);
    }

    Bytes setPinRequest(const std::string& pin)
    {
        const Bytes enc = encrypt(padded(pin));
        return request(0x06, {e(1, CtapCbor::uint(protocol_)), e(2, CtapCbor::uint(3)), e(3, cose()),
                              e(4, CtapCbor::bytes(mac(enc))), e(5, CtapCbor::bytes(enc))});
    }
    Bytes changePinRequest(const std::string& current, const std::string& next)
    {
        const Bytes enc = encrypt(padded(next));
        const Bytes hashEnc = pinHashEnc(current);
        Bytes both = enc;
        both.insert(both.end(), hashEnc.begin(), hashEnc.end());
        return request(0x06, {e(1, CtapCbor::uint(protocol_)), e(2, CtapCbor::uint(4)), e(3, cose()),
                              e(4, CtapCbor::bytes(mac(both))), e(5, CtapCbor::bytes(enc)),
                              e(6, CtapCbor::bytes(hashEnc))});
    }
    // getPinToken (sub-command 5, permissions 0) or the permissions request (9).
    Bytes tokenRequest(const std::string& pin, std::uint64_t permissions, std::optional<std::string> rpId = {})
    {
        std::vector<CtapCbor::Entry> p{e(1, CtapCbor::uint(protocol_)), e(2, CtapCbor::uint(permissions ? 9 : 5)),
                                       e(3, cose()), e(6, CtapCbor::bytes(pinHashEnc(pin)))};
        if (permissions)
            p.push_back(e(9, CtapCbor::uint(permissions)));
        if (rpId)
            p.push_back(e(10, CtapCbor::text(*rpId)));
        return request(0x06, std::move(p));
    }

    std::uint8_t setPin(const std::string& pin)
    {
        if (!agree())
            return 0xFF;
        return status(send_(setPinRequest(pin)));
    }
    std::uint8_t changePin(const std::string& current, const std::string& next)
    {
        if (!agree())
            return 0xFF;
        return status(send_(changePinRequest(current, next)));
    }
    // The decrypted token, or the key's status.
    std::pair<std::uint8_t, Bytes> token(const std::string& pin, std::uint64_t permissions,
                                         std::optional<std::string> rpId = {})
    {
        if (!agree())
            return {0xFF, {}};
        const Bytes a = send_(tokenRequest(pin, permissions, std::move(rpId)));
        auto item = body(a);
        if (!item)
            return {status(a), {}};
        auto enc = cborBytesValue(cborMapFind(item->get(), 2));
        if (!enc)
            return {0xFE, {}};
        return {0, decrypt(*enc)};
    }
    std::optional<std::uint64_t> retries()
    {
        auto item = body(send_(request(0x06, {e(1, CtapCbor::uint(protocol_)), e(2, CtapCbor::uint(1))})));
        if (!item)
            return std::nullopt;
        return cborUInt64Value(cborMapFind(item->get(), 3));
    }

    // A credential-management request authenticated over sub-command || encoded params.
    Bytes credMgmt(std::uint8_t command, std::uint64_t sub, const Bytes& token, std::optional<Bytes> params = {},
                   std::optional<std::uint64_t> protocolOverride = {})
    {
        std::vector<CtapCbor::Entry> p{e(1, CtapCbor::uint(sub))};
        if (sub == 1 || sub == 2 || sub == 4 || sub == 6) {
            Bytes message{static_cast<std::uint8_t>(sub)};
            if (params)
                message.insert(message.end(), params->begin(), params->end());
            p.push_back(e(3, CtapCbor::uint(protocolOverride.value_or(protocol_))));
            p.push_back(e(4, CtapCbor::bytes(mac(token, message))));
        }
        if (params)
            p.push_back(e(2, *params));
        return request(command, std::move(p));
    }

    static std::uint8_t status(const Bytes& answer) { return answer.empty() ? 0xFF : answer[0]; }

private:
    Send send_;
    std::uint64_t protocol_;
    std::optional<crypto::P256KeyPair> platform_;
    SecureBytes secret_;
    Bytes peerX_;
};
