#pragma once

#include "ctap/CredentialRecords.h"
#include "ctap/Info.h"
#include "ctap/Permission.h"
#include "ctap/PinProtocol.h"
#include "ctap/PinResponse.h"
#include "ctap/ResponseInit.h"
#include "ctap/SSecret.h"
#include "fido/CtapConstants.h"
#include "platform/IOReturn.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <tuple>
#include <vector>

class HidHelper;
class PcscHelper;

// The CTAP 2 client. It sends through whichever transport is bound for the current operation (the view model
// binds exactly one around each operation on a key). Every operation runs on the view model's work queue;
// only sendCmdCancel comes from another thread, so the bound transports and the channel are atomics.
class Ctap2 {
public:
    static constexpr std::uint32_t kBroadcastCid = 0xFFFFFFFF;
    // Enumerations stop at these totals whatever the key claims.
    static constexpr std::uint64_t kMaxRelyingParties = 1000;
    static constexpr std::uint64_t kMaxCredentialsPerRp = 1000;

    struct CborAnswer {
        Bytes payload;                                             // the answer without its status byte
        CTAPHID_ERROR_CODE code = CTAPHID_ERROR_CODE::ERR_INVALID_CBOR;
        IOReturn status = kIOReturnIOError;
        bool statusByteReceived = false;                           // the key actually sent a status byte
        std::uint8_t statusByte = 0;                               // that byte, raw (it may have no case)
    };

    Ctap2() = default;

    HidHelper* hidHelper() const { return hidHelper_.load(); }
    void setHidHelper(HidHelper* helper) { hidHelper_.store(helper); }
    PcscHelper* pcscHelper() const { return pcscHelper_.load(); }
    void setPcscHelper(PcscHelper* helper) { pcscHelper_.store(helper); }

    std::uint32_t cid() const { return cid_.load(); }
    void setCid(std::uint32_t cid) { cid_.store(cid); }
    PinProtocol pinProtocol() const { return pinProtocol_; }
    void setPinProtocol(PinProtocol protocol) { pinProtocol_ = protocol; }
    bool fido2Pre() const { return fido2Pre_; }
    // Also chooses the credential-management command byte (0x41 for the pre-2.1 prototype, else 0x0A).
    void setFido2Pre(bool value);
    // Applies one key's channel, protocol and pre-2.1 flag, so the next operation talks to that key as it must.
    void applyKeySettings(std::uint32_t cid, PinProtocol protocol, bool fido2Pre);

    static bool isWaitForeverCmd(CTAPHID cmd, const Bytes& data);

    // The status byte of the key's answer to the latest CBOR request, or nothing when that request got no answer
    // (lost, timed out, the key gone) or none was sent since forgetLastExchange. Tells a key's own refusal
    // apart from an answer that never came; only the work queue reads and writes it.
    std::optional<std::uint8_t> lastStatusByte() const { return lastStatusByte_; }
    // Whether a request that changes what the key holds (set or change its PIN, reset, delete a credential)
    // reached the key since forgetLastExchange: when none did, a failure without the key's answer changed
    // nothing; when one did and its answer was lost, the key may or may not have done it.
    bool changeRequestHandedOver() const { return changeRequestHandedOver_; }
    void forgetLastExchange()
    {
        lastStatusByte_.reset();
        changeRequestHandedOver_ = false;
    }

    std::pair<Bytes, IOReturn> sendCmd(std::uint32_t cid, CTAPHID cmd, const Bytes& data);
    CborAnswer sendCmdCbor(const Bytes& data);
    std::pair<ResponseInit, IOReturn> sendCmdInit();
    IOReturn sendCmdPing(const Bytes& data);
    IOReturn sendCmdCancel();
    IOReturn sendCmdWink();
    IOReturn sendCmdLock(std::uint8_t seconds);

    // Key information, reset and touch requests.
    std::pair<Info, IOReturn> getInfo();
    static Bytes makeSelectDeviceRequest();
    IOReturn selectDevice();
    IOReturn reset();
    IOReturn selection();

    // clientPIN. PINs are UTF-8 bytes in wiping buffers; an empty PIN or one over 63 bytes is refused with
    // kIOReturnInvalid before anything is sent. A non-empty rpId binds the token to that relying party.
    std::pair<KeyAgreement, IOReturn> getKeyAgreement();
    std::pair<std::optional<SSecret>, IOReturn> getSharedSecret();
    std::tuple<SecureBytes, std::optional<SSecret>, IOReturn> getPinToken(const SecureBytes& pin);
    IOReturn setPin(const SecureBytes& pin);
    IOReturn changePin(const SecureBytes& currentPin, const SecureBytes& newPin);
    std::tuple<SecureBytes, std::optional<SSecret>, IOReturn>
    getPinUvAuthTokenUsingPinWithPermissions(const SecureBytes& pin, Permission permission, const std::string& rpId);
    std::pair<PinResponse::PinRetries, IOReturn> getPinRetries();

    // Credential management, authenticated with a token and the secret of the exchange that produced it.
    std::tuple<std::uint64_t, std::uint64_t, IOReturn> getCredsMetadata(const SecureBytes& pinUvAuthToken,
                                                                        const SSecret& sharedSecret);
    std::tuple<std::vector<RpInfo>, std::uint64_t, IOReturn> enumerateRPs(const SecureBytes& pinUvAuthToken,
                                                                          const SSecret& sharedSecret);
    std::tuple<std::vector<CredentialInfo>, std::uint64_t, IOReturn>
    enumerateCredentials(const SecureBytes& pinUvAuthToken, const SSecret& sharedSecret, const Bytes& rpIdHash);
    IOReturn deleteCredential(const SecureBytes& pinUvAuthToken, const SSecret& sharedSecret,
                              const PublicKeyCredentialDescriptor& descriptor);

private:
    // A CBOR request that changes what the key holds: whether it reached the key is noted.
    CborAnswer sendChangeCmdCbor(const Bytes& data);

    std::atomic<HidHelper*> hidHelper_{nullptr};
    std::atomic<PcscHelper*> pcscHelper_{nullptr};
    std::atomic<std::uint32_t> cid_{kBroadcastCid};
    PinProtocol pinProtocol_ = PinProtocol::None;
    bool fido2Pre_ = false;
    std::optional<std::uint8_t> lastStatusByte_;
    bool changeRequestHandedOver_ = false;
};
