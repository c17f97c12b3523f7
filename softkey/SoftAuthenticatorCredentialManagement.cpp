#include "softkey/SoftAuthenticator.h"

#include "softkey/SoftAuthenticatorShared.h"

#include <algorithm>

using namespace softauth;

// ---- credential management ----

Bytes SoftAuthenticator::credentialManagement(std::uint8_t command, const cbor_item_t* p,
                                              std::span<const std::uint8_t> rawParams)
{
    std::uint64_t sub = 0;
    if (auto s = required(getUInt(p, 1, sub)); s != OK)
        return status(s);
    const cbor_item_t* subParams = nullptr;
    const Field subParamsField = getMap(p, 2, subParams);
    if (subParamsField == Field::Wrong)
        return status(CBOR_UNEXPECTED_TYPE);

    const bool authenticated = sub == 1 || sub == 2 || sub == 4 || sub == 6;
    if (sub == 0 || sub > 6)
        return status(INVALID_SUBCOMMAND);
    if (authenticated) {
        std::uint64_t protocol = 0;
        Bytes param;
        if (auto s = required(getUInt(p, 3, protocol)); s != OK)
            return status(s);
        const Field paramField = getBytes(p, 4, param);
        if (paramField == Field::Wrong)
            return status(CBOR_UNEXPECTED_TYPE);
        if (paramField == Field::Absent)
            return status(PUAT_REQUIRED);
        if (!supportsProtocol(protocol))
            return status(INVALID_PARAMETER);
        if (!token_)
            return status(PIN_AUTH_INVALID);
        Bytes message{static_cast<std::uint8_t>(sub)};
        if (subParamsField == Field::Present) {
            auto raw = CtapCbor::rawMapValue(rawParams, 2);
            if (!raw)
                return status(INVALID_CBOR);
            message.insert(message.end(), raw->begin(), raw->end());
        }
        auto mac = crypto::hmacSha256(tokenMacKey(token_->value, protocol), message);
        const std::size_t macLen = protocol == 1 ? 16 : 32;
        if (!mac || !equalConstTime(std::span(mac->data(), macLen), param) || token_->protocol != protocol)
            return status(PIN_AUTH_INVALID);
        const bool permitted = (token_->permissions & PERM_CM) != 0 || (command == CMD_CRED_MGMT_PRE && token_->legacy);
        if (!permitted)
            return status(PIN_AUTH_INVALID);
        if ((sub == 1 || sub == 2) && token_->rpId)
            return status(PIN_AUTH_INVALID);
    }

    auto credentialAnswer = [&](const StoredCredential& c, std::optional<std::size_t> total) {
        std::vector<CtapCbor::Entry> userEntity{{CtapCbor::text("id"), CtapCbor::bytes(c.userId)}};
        if (!c.userName.empty())
            userEntity.push_back({CtapCbor::text("name"), CtapCbor::text(c.userName)});
        if (!c.userDisplayName.empty())
            userEntity.push_back({CtapCbor::text("displayName"), CtapCbor::text(c.userDisplayName)});
        std::vector<CtapCbor::Entry> out{
            {CtapCbor::uint(6), CtapCbor::map(std::move(userEntity))},
            {CtapCbor::uint(7), CtapCbor::map({{CtapCbor::text("id"), CtapCbor::bytes(c.credentialId)},
                                               {CtapCbor::text("type"), CtapCbor::text("public-key")}})},
            {CtapCbor::uint(8), CtapCbor::coseP256(-7, c.key->x(), c.key->y())},
            {CtapCbor::uint(10), CtapCbor::uint(c.credProtect)}};
        if (total)
            out.push_back({CtapCbor::uint(9), CtapCbor::uint(*total)});
        return answer(CtapCbor::map(std::move(out)));
    };
    auto rpAnswer = [&](const RpIndex::Rp& rp, std::optional<std::size_t> total) {
        std::vector<CtapCbor::Entry> rpEntity{{CtapCbor::text("id"), CtapCbor::text(rp.id)}};
        if (!rp.name.empty())
            rpEntity.push_back({CtapCbor::text("name"), CtapCbor::text(rp.name)});
        std::vector<CtapCbor::Entry> out{{CtapCbor::uint(3), CtapCbor::map(std::move(rpEntity))},
                                         {CtapCbor::uint(4), CtapCbor::bytes(rp.idHash)}};
        if (total)
            out.push_back({CtapCbor::uint(5), CtapCbor::uint(*total)});
        return answer(CtapCbor::map(std::move(out)));
    };

    switch (sub) {
    case 1: {
        const std::size_t used = credentials_.size();
        const std::size_t left = used >= config_.maxDiscoverableCredentials ? 0 : config_.maxDiscoverableCredentials - used;
        return answer(CtapCbor::map({{CtapCbor::uint(1), CtapCbor::uint(used)}, {CtapCbor::uint(2), CtapCbor::uint(left)}}));
    }
    case 2: {
        const auto& rps = rpIndex().rps;
        if (rps.empty())
            return status(NO_CREDENTIALS);
        enumeration_ = rps.size() > 1 ? Enumeration::Rps : Enumeration::None;
        enumerationNext_ = 1;
        return rpAnswer(rps.front(), rps.size());
    }
    case 3: {
        if (enumeration_ != Enumeration::Rps)
            return status(NOT_ALLOWED);
        const auto& rps = rpIndex().rps;
        const RpIndex::Rp& rp = rps[enumerationNext_++];
        if (enumerationNext_ == rps.size())
            enumeration_ = Enumeration::None;
        return rpAnswer(rp, std::nullopt);
    }
    case 4: {
        Bytes rpIdHash;
        if (subParamsField != Field::Present)
            return status(MISSING_PARAMETER);
        if (auto s = required(getBytes(subParams, 1, rpIdHash)); s != OK)
            return status(s);
        if (token_->rpId && hash(toBytes(*token_->rpId)) != rpIdHash)
            return status(PIN_AUTH_INVALID);
        const RpIndex& index = rpIndex();
        const auto found = index.byHash.find(rpIdHash);
        if (found == index.byHash.end())
            return status(NO_CREDENTIALS);
        const auto& matches = index.rps[found->second].credentials;
        enumeration_ = matches.size() > 1 ? Enumeration::Credentials : Enumeration::None;
        enumerationRp_ = found->second;
        enumerationNext_ = 1;
        return credentialAnswer(credentials_[matches.front()], matches.size());
    }
    case 5: {
        if (enumeration_ != Enumeration::Credentials)
            return status(NOT_ALLOWED);
        const auto& matches = rpIndex().rps[enumerationRp_].credentials;
        const StoredCredential& c = credentials_[matches[enumerationNext_++]];
        if (enumerationNext_ == matches.size())
            enumeration_ = Enumeration::None;
        return credentialAnswer(c, std::nullopt);
    }
    case 6: {
        const cbor_item_t* descriptor = nullptr;
        Bytes id;
        if (subParamsField != Field::Present)
            return status(MISSING_PARAMETER);
        if (auto s = required(getMap(subParams, 2, descriptor)); s != OK)
            return status(s);
        if (auto s = required(getBytes(descriptor, "id", id)); s != OK)
            return status(s);
        auto it = std::find_if(credentials_.begin(), credentials_.end(),
                               [&](const StoredCredential& c) { return c.credentialId == id; });
        if (it == credentials_.end())
            return status(NO_CREDENTIALS);
        if (token_->rpId && *token_->rpId != it->rpId)
            return status(PIN_AUTH_INVALID);
        credentialsChanged();
        credentials_.erase(it);
        return status(OK);
    }
    default: return status(INVALID_SUBCOMMAND);
    }
}
