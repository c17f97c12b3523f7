#include "ctap/Ctap2.h"

#include "ctap/CredentialManagementCommand.h"
#include "ctap/CredentialManagementResponse.h"
#include "ctap/InfoParser.h"
#include "ctap/PinCommand.h"
#include "fido/Cbor.h"
#include "fido/HidHelper.h"
#include "fido/PcscHelper.h"
#include "fido/Utils.h"
#include "platform/Log.h"

#include <algorithm>

namespace {

constexpr std::uint8_t kGetInfo = 0x04;
constexpr std::uint8_t kMakeCredential = 0x01;
constexpr std::uint8_t kReset = 0x07;
constexpr std::uint8_t kSelection = 0x0B;
constexpr std::size_t kMaxPinBytes = 63;

IOReturn mapCtapError(CTAPHID_ERROR_CODE code)
{
    switch (code) {
    case CTAPHID_ERROR_CODE::ERR_NO_ERROR: return kIOReturnSuccess;
    case CTAPHID_ERROR_CODE::ERR_OPERATION_DENIED:
    case CTAPHID_ERROR_CODE::ERR_KEEPALIVE_CANCEL: return kIOReturnAborted;
    case CTAPHID_ERROR_CODE::ERR_USER_ACTION_TIMEOUT: return kIOReturnTimeout;
    case CTAPHID_ERROR_CODE::ERR_NOT_ALLOWED: return kIOReturnNotPermitted;
    default: return kIOReturnError;
    }
}

bool pinAcceptable(const SecureBytes& pin) { return !pin.empty() && pin.size() <= kMaxPinBytes; }

using Entries = std::vector<std::pair<CborItem, CborItem>>;

} // namespace

void Ctap2::setFido2Pre(bool value)
{
    fido2Pre_ = value;
    credMgmtCommand = value ? 0x41 : 0x0A;
}

void Ctap2::applyKeySettings(std::uint32_t cid, PinProtocol protocol, bool fido2Pre)
{
    setCid(cid);
    setPinProtocol(protocol);
    setFido2Pre(fido2Pre);
}

bool Ctap2::isWaitForeverCmd(CTAPHID cmd, const Bytes& data)
{
    if (cmd != CTAPHID::CBOR || data.empty())
        return false;
    return data[0] == kMakeCredential || data[0] == kSelection || data[0] == kReset;
}

std::pair<Bytes, IOReturn> Ctap2::sendCmd(std::uint32_t cid, CTAPHID cmd, const Bytes& data)
{
    std::pair<Bytes, IOReturn> result{Bytes{}, kIOReturnIOError};
    // How long the answer is awaited goes with the request itself: a CANCEL from another thread, which comes
    // through here too, cannot change it for a request it overtakes.
    if (HidHelper* hid = hidHelper())
        result = hid->sendCmd(cid, cmd, data, isWaitForeverCmd(cmd, data));
    if (PcscHelper* pcsc = pcscHelper())
        result = pcsc->sendCommand(cmd, data);
    if (result.second != kIOReturnSuccess)
        result.first.clear();
    return result;
}

Ctap2::CborAnswer Ctap2::sendCmdCbor(const Bytes& data)
{
    CborAnswer answer;
    lastStatusByte_.reset();
    auto [bytes, status] = sendCmd(cid(), CTAPHID::CBOR, data);
    answer.status = status;
    if (status != kIOReturnSuccess)
        return answer;
    if (!bytes.empty()) {
        answer.statusByteReceived = true;
        answer.statusByte = bytes[0];
        lastStatusByte_ = bytes[0];
        // A byte without a case is a plain failure: ERR_OTHER is neither success nor one of the codes the
        // touch requests read specially.
        answer.code = ctapErrorFromRaw(bytes[0]).value_or(CTAPHID_ERROR_CODE::ERR_OTHER);
    }
    if (answer.code != CTAPHID_ERROR_CODE::ERR_NO_ERROR || !answer.statusByteReceived) {
        logLine("CBOR error: " + (answer.statusByteReceived ? ctapErrorName(answer.statusByte)
                                                            : toString(CTAPHID_ERROR_CODE::ERR_INVALID_CBOR)));
        answer.status = answer.statusByteReceived ? mapCtapError(answer.code) : kIOReturnError;
    }
    if (bytes.size() >= 2)
        answer.payload.assign(bytes.begin() + 1, bytes.end());
    return answer;
}

Ctap2::CborAnswer Ctap2::sendChangeCmdCbor(const Bytes& data)
{
    CborAnswer answer = sendCmdCbor(data);
    // Asked of the transport that carried it (a CANCEL from another thread never changes what it says).
    const HidHelper* hid = hidHelper();
    const PcscHelper* pcsc = pcscHelper();
    if ((hid && hid->requestHandedOver()) || (pcsc && pcsc->requestHandedOver()))
        changeRequestHandedOver_ = true;
    return answer;
}

std::pair<ResponseInit, IOReturn> Ctap2::sendCmdInit()
{
    ResponseInit init;
    auto nonce = randomBytes(8);
    if (!nonce)
        return {init, kIOReturnError};
    setCid(kBroadcastCid);
    auto [answer, status] = sendCmd(kBroadcastCid, CTAPHID::INIT, *nonce);
    if (status == kIOReturnSuccess) {
        if (answer.size() != 17 || !std::equal(nonce->begin(), nonce->end(), answer.begin())) {
            status = kIOReturnInvalid;
        } else {
            init.cid = static_cast<std::uint32_t>(answer[8]) << 24 | static_cast<std::uint32_t>(answer[9]) << 16 |
                       static_cast<std::uint32_t>(answer[10]) << 8 | answer[11];
            init.protocolVersion = answer[12];
            init.deviceMajor = answer[13];
            init.deviceMinor = answer[14];
            init.deviceBuild = answer[15];
            init.capabilityFlag = answer[16];
            setCid(init.cid);
        }
    }
    if (status == kIOReturnUnsupported) // cards have no channels
        status = kIOReturnSuccess;
    return {init, status};
}

IOReturn Ctap2::sendCmdPing(const Bytes& data)
{
    auto [answer, status] = sendCmd(cid(), CTAPHID::PING, data);
    if (status == kIOReturnSuccess && answer != data) {
        logLine("sendCmdPing: Received data not match");
        return kIOReturnInvalid;
    }
    return status;
}

IOReturn Ctap2::sendCmdCancel() { return sendCmd(cid(), CTAPHID::CANCEL, {}).second; }

IOReturn Ctap2::sendCmdWink() { return sendCmd(cid(), CTAPHID::WINK, {}).second; }

IOReturn Ctap2::sendCmdLock(std::uint8_t seconds)
{
    if (seconds > 10)
        return kIOReturnInvalid;
    return sendCmd(cid(), CTAPHID::LOCK, Bytes{seconds}).second;
}

std::pair<Info, IOReturn> Ctap2::getInfo()
{
    Info info;
    setPinProtocol(PinProtocol::None);
    CborAnswer answer = sendCmdCbor(Bytes{kGetInfo});
    if (answer.status != kIOReturnSuccess)
        return {info, answer.status};
    // Only an answer that is no map at all fails; the caller then sees a key that said nothing (no AAGUID).
    PinProtocol chosen = PinProtocol::None;
    const bool parsed = parseInfo(answer.payload, info, chosen);
    setPinProtocol(chosen);
    return {info, parsed ? kIOReturnSuccess : kIOReturnInvalid};
}

Bytes Ctap2::makeSelectDeviceRequest()
{
    // Written in CTAP 2 canonical order (shorter text keys first), so the map is built in that order and
    // encoded as built.
    Entries rp;
    rp.emplace_back(cborFromString("id"), cborFromString("SelectDevice"));
    rp.emplace_back(cborFromString("name"), cborFromString("SelectDevice"));
    Entries user;
    user.emplace_back(cborFromString("id"), cborFromBytes(hexToBytes("112233445544332211")));
    user.emplace_back(cborFromString("name"), cborFromString("SelectDevice"));
    user.emplace_back(cborFromString("displayName"), cborFromString("SelectDevice"));
    Entries param;
    param.emplace_back(cborFromString("alg"), cborFromInt64(-7));
    param.emplace_back(cborFromString("type"), cborFromString("public-key"));
    std::vector<CborItem> params;
    params.push_back(cborMap(std::move(param)));
    Entries request;
    request.emplace_back(cborFromUInt64(1), cborFromBytes(hexToBytes(
                                                "A6CB97932A23D9DA7F87221AB61D432B2BC28E66EE94397C1DC71FEDF47897CB")));
    request.emplace_back(cborFromUInt64(2), cborMap(std::move(rp)));
    request.emplace_back(cborFromUInt64(3), cborMap(std::move(user)));
    request.emplace_back(cborFromUInt64(4), cborArray(std::move(params)));
    request.emplace_back(cborFromUInt64(8), cborFromBytes(Bytes{}));
    request.emplace_back(cborFromUInt64(9), cborFromUInt64(1));
    CborItem map = cborMap(std::move(request));
    Bytes out{kMakeCredential};
    const Bytes body = cborEncode(map.get());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

IOReturn Ctap2::selectDevice()
{
    const CborAnswer answer = sendCmdCbor(makeSelectDeviceRequest());
    // Only an answer from the key proves a touch; without one the transport's failure stands.
    if (!answer.statusByteReceived)
        return answer.status == kIOReturnSuccess ? kIOReturnError : answer.status;
    if (answer.status == kIOReturnAborted || answer.status == kIOReturnNotPermitted ||
        answer.status == kIOReturnTimeout)
        return answer.status;
    return kIOReturnSuccess;
}

IOReturn Ctap2::reset() { return sendChangeCmdCbor(Bytes{kReset}).status; }

IOReturn Ctap2::selection()
{
    const CborAnswer answer = sendCmdCbor(Bytes{kSelection});
    if (!answer.statusByteReceived)
        return answer.status == kIOReturnSuccess ? kIOReturnError : answer.status;
    if (answer.code == CTAPHID_ERROR_CODE::ERR_OPERATION_DENIED)
        return kIOReturnAborted;
    if (answer.code == CTAPHID_ERROR_CODE::ERR_INVALID_CBOR)
        return kIOReturnSuccess;
    return answer.status;
}

std::pair<KeyAgreement, IOReturn> Ctap2::getKeyAgreement()
{
    const CborAnswer answer = sendCmdCbor(PinCommand::getKeyAgreement(pinProtocol()));
    if (answer.status != kIOReturnSuccess)
        return {KeyAgreement{}, answer.status};
    auto [key, ok] = PinResponse::parseCborPinGetKeyAgreement(answer.payload);
    return {key, ok ? kIOReturnSuccess : kIOReturnInvalid};
}

std::pair<std::optional<SSecret>, IOReturn> Ctap2::getSharedSecret()
{
    auto [key, status] = getKeyAgreement();
    if (status != kIOReturnSuccess)
        return {std::nullopt, status};
    auto secret = SSecret::create(key, pinProtocol());
    if (!secret)
        return {std::nullopt, kIOReturnInvalid};
    return {std::move(secret), kIOReturnSuccess};
}

IOReturn Ctap2::setPin(const SecureBytes& pin)
{
    if (!pinAcceptable(pin))
        return kIOReturnInvalid;
    auto [secret, status] = getSharedSecret();
    if (status != kIOReturnSuccess)
        return status;
    auto newPinEnc = secret->encryptNewPin(pin);
    if (!newPinEnc)
        return kIOReturnInvalid;
    const Bytes pinAuth = secret->authenticate(*newPinEnc);
    if (pinAuth.empty())
        return kIOReturnInvalid;
    return sendChangeCmdCbor(PinCommand::setPin(secret->getKeyAgreement(), pinAuth, *newPinEnc, pinProtocol()))
        .status;
}

IOReturn Ctap2::changePin(const SecureBytes& currentPin, const SecureBytes& newPin)
{
    if (!pinAcceptable(currentPin) || !pinAcceptable(newPin))
        return kIOReturnInvalid;
    auto [secret, status] = getSharedSecret();
    if (status != kIOReturnSuccess)
        return status;
    auto pinHashEnc = secret->encryptPinHash(currentPin);
    auto newPinEnc = secret->encryptNewPin(newPin);
    if (!pinHashEnc || !newPinEnc)
        return kIOReturnInvalid;
    Bytes message = *newPinEnc;
    message.insert(message.end(), pinHashEnc->begin(), pinHashEnc->end());
    const Bytes pinAuth = secret->authenticate(message);
    if (pinAuth.empty())
        return kIOReturnInvalid;
    return sendChangeCmdCbor(
               PinCommand::chgPin(secret->getKeyAgreement(), pinAuth, *newPinEnc, *pinHashEnc, pinProtocol()))
        .status;
}

namespace {

// Reads and decrypts the token of a token answer; kIOReturnInvalid for anything unusable.
std::pair<SecureBytes, IOReturn> decryptToken(const Ctap2::CborAnswer& answer, const SSecret& secret)
{
    if (answer.status != kIOReturnSuccess)
        return {SecureBytes{}, answer.status};
    auto [encrypted, ok] = PinResponse::parseCborPinGetPinToken(answer.payload);
    if (!ok)
        return {SecureBytes{}, kIOReturnInvalid};
    // The token is as long as the key made it; decryption alone refuses what cannot be a ciphertext (no whole
    // block, or under Two no IV in front of one).
    auto token = secret.decrypt(encrypted);
    if (!token)
        return {SecureBytes{}, kIOReturnInvalid};
    return {std::move(*token), kIOReturnSuccess};
}

} // namespace

namespace {

// A token request: a fresh shared secret, the PIN hash encrypted under it, the request that build makes of
// them, and the decrypted token. The secret comes back whenever it was made, so the caller keeps the one of a
// failed exchange too.
template <typename Build>
std::tuple<SecureBytes, std::optional<SSecret>, IOReturn> requestPinToken(Ctap2& ctap2, const SecureBytes& pin,
                                                                          Build build)
{
    if (!pinAcceptable(pin))
        return {SecureBytes{}, std::nullopt, kIOReturnInvalid};
    auto [secret, status] = ctap2.getSharedSecret();
    if (status != kIOReturnSuccess)
        return {SecureBytes{}, std::nullopt, status};
    auto pinHashEnc = secret->encryptPinHash(pin);
    if (!pinHashEnc)
        return {SecureBytes{}, std::move(secret), kIOReturnInvalid};
    const Ctap2::CborAnswer answer = ctap2.sendCmdCbor(build(secret->getKeyAgreement(), *pinHashEnc));
    auto [token, tokenStatus] = decryptToken(answer, *secret);
    return {std::move(token), std::move(secret), tokenStatus};
}

} // namespace

std::tuple<SecureBytes, std::optional<SSecret>, IOReturn> Ctap2::getPinToken(const SecureBytes& pin)
{
    return requestPinToken(*this, pin, [this](const KeyAgreement& platformKey, const Bytes& pinHashEnc) {
        return PinCommand::getPinToken(platformKey, pinHashEnc, pinProtocol());
    });
}

std::tuple<SecureBytes, std::optional<SSecret>, IOReturn>
Ctap2::getPinUvAuthTokenUsingPinWithPermissions(const SecureBytes& pin, Permission permission, const std::string& rpId)
{
    // A token for one relying party is asked for in the same single request, with the rpId under key 10.
    return requestPinToken(*this, pin, [&](const KeyAgreement& platformKey, const Bytes& pinHashEnc) {
        return PinCommand::getPinUvAuthTokenUsingPinWithPermissions(platformKey, pinHashEnc, permission,
                                                                    pinProtocol(), rpId);
    });
}

std::pair<PinResponse::PinRetries, IOReturn> Ctap2::getPinRetries()
{
    PinResponse::PinRetries retries;
    const CborAnswer answer = sendCmdCbor(PinCommand::getRetries(pinProtocol()));
    // Whatever kept the count from us (a refusal, no answer, an unreadable one), the caller has no count: one status.
    if (answer.status != kIOReturnSuccess || !PinResponse::parseCborPinGetRetries(answer.payload, retries))
        return {PinResponse::PinRetries{}, kIOReturnInvalid};
    return {retries, kIOReturnSuccess};
}

std::tuple<std::uint64_t, std::uint64_t, IOReturn> Ctap2::getCredsMetadata(const SecureBytes& pinUvAuthToken,
                                                                           const SSecret& sharedSecret)
{
    const CborAnswer answer = sendCmdCbor(
        CredentialManagementCommand::getCredsMetadata(pinUvAuthToken, sharedSecret, sharedSecret.pinProtocol()));
    if (answer.status != kIOReturnSuccess)
        return {0, 0, answer.status};
    auto [existing, remaining, ok] = CredentialManagementResponse::ParseCborGetCredsMetaData(answer.payload);
    return {existing, remaining, ok ? kIOReturnSuccess : kIOReturnInvalid};
}

namespace {

// One enumeration: the begin request, then get-next requests up to the total the begin answer gave (capped,
// since the total comes from the key). A failed exchange ends it; an answer that does not parse adds nothing
// and the enumeration goes on. The first failure is the result, so a later good round cannot hide a lost entry.
template <typename Record, typename Parser>
std::tuple<std::vector<Record>, std::uint64_t, IOReturn> enumerate(Ctap2& ctap2, const Bytes& begin, const Bytes& next,
                                                                   Parser parse, std::uint64_t cap,
                                                                   const std::string& what)
{
    std::vector<Record> list;
    std::uint64_t total = 0;
    Ctap2::CborAnswer answer = ctap2.sendCmdCbor(begin);
    // A key (or a relying party) with nothing stored answers the begin with NO_CREDENTIALS: an empty list.
    if (answer.statusByteReceived && answer.code == CTAPHID_ERROR_CODE::ERR_NO_CREDENTIALS)
        return {list, 0, kIOReturnSuccess};
    if (answer.status != kIOReturnSuccess)
        return {list, 0, answer.status};
    IOReturn status = parse(answer.payload, list, total) ? kIOReturnSuccess : kIOReturnInvalid;
    const std::uint64_t rounds = std::min(total, cap);
    if (total > cap)
        logLine(what + ": the key reports " + std::to_string(total) + " entries, reading " + std::to_string(cap));
    for (std::uint64_t i = 1; i < rounds; ++i) {
        answer = ctap2.sendCmdCbor(next);
        if (answer.status != kIOReturnSuccess) {
            if (status == kIOReturnSuccess)
                status = answer.status;
            break; // the enumeration is over on the key's side; more requests only add noise
        }
        if (!parse(answer.payload, list, total) && status == kIOReturnSuccess)
            status = kIOReturnInvalid;
    }
    return {list, total, status};
}

} // namespace

std::tuple<std::vector<RpInfo>, std::uint64_t, IOReturn> Ctap2::enumerateRPs(const SecureBytes& pinUvAuthToken,
                                                                             const SSecret& sharedSecret)
{
    return enumerate<RpInfo>(
        *this, CredentialManagementCommand::enumerateRPsBegin(pinUvAuthToken, sharedSecret, sharedSecret.pinProtocol()),
        CredentialManagementCommand::enumerateRPsGetNextRP(), CredentialManagementResponse::ParseCborEnumerateRPs,
        kMaxRelyingParties, "enumerateRPs");
}

std::tuple<std::vector<CredentialInfo>, std::uint64_t, IOReturn>
Ctap2::enumerateCredentials(const SecureBytes& pinUvAuthToken, const SSecret& sharedSecret, const Bytes& rpIdHash)
{
    return enumerate<CredentialInfo>(*this,
                                     CredentialManagementCommand::enumerateCredentialsBegin(
                                         pinUvAuthToken, sharedSecret, rpIdHash, sharedSecret.pinProtocol()),
                                     CredentialManagementCommand::enumerateCredentialsGetNextCredential(),
                                     CredentialManagementResponse::ParseCborEnumerateCredentials, kMaxCredentialsPerRp,
                                     "enumerateCredentials");
}

IOReturn Ctap2::deleteCredential(const SecureBytes& pinUvAuthToken, const SSecret& sharedSecret,
                                 const PublicKeyCredentialDescriptor& descriptor)
{
    return sendChangeCmdCbor(CredentialManagementCommand::deleteCredential(
                                 pinUvAuthToken, sharedSecret, descriptor.id, descriptor.type, sharedSecret.pinProtocol()))
        .status;
}
