#pragma once

#include "fido/CtapConstants.h"
#include "platform/IOReturn.h"
#include "platform/SecureBytes.h"
#include "platform/SmartCard.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>

// Carries CTAP requests to a FIDO card on a PC/SC reader as ISO 7816-4 APDUs: selects and deselects the FIDO
// applet, sends CTAP 2 requests as NFCCTAP messages (polling while the card is still working), passes raw
// APDUs through and reads the card's identity. It works on one card at a time, its active card, bound by one
// thread at a time (the view model's work queue) for one operation; only a cancel and stop() come from other
// threads.
//
// Each call that talks to the card is a request with a cancellation source of its own: a cancel (CANCEL through
// sendCommand, or setCancel) and stop() trip the one in progress, which ends its waits at once (the card's late
// answer is dropped), so a cancel that lands in a request's first exchange still ends that request. A cancel ends
// only the request in progress; whether later ones reach the card is the operation's to say, through the
// cancellation the card was bound with (setActiveCard): once it is tripped, the CTAP request (sendCmdCbor) in
// progress ends as on a cancel and no later one of that binding reaches the card. stop() is for good: every request
// after it fails without reaching the card.
class PcscHelper {
public:
    using WaitUserInputAction = std::function<void(bool waiting)>;
    using Response = std::pair<Bytes, IOReturn>;
    using ApduHook = std::function<void(std::span<const std::uint8_t> apdu)>;

    struct Timing {
        // Longest wait for the card's answer to one APDU, and for another program to let the card go.
        std::chrono::milliseconds transmitTimeout{5000};
        // Longest run of "still processing" answers that do not ask for a touch.
        std::chrono::milliseconds processingTimeout{30000};
    };

    static constexpr int MAX_BYTE_SIZE = 255;
    static constexpr int PROTOCOL_CONTROL_INFORMATION_LENGTH = 8;
    static constexpr std::uint8_t SW1_MORE_DATA = 0x61;
    static constexpr std::array<std::uint8_t, 2> SW_SUCCESS{0x90, 0x00};
    static constexpr std::array<std::uint8_t, 2> SW_UPDATE{0x91, 0x00};
    static constexpr std::array<std::uint8_t, 4> NFCCTAP_MSG{0x80, 0x10, 0x80, 0x00};
    static constexpr std::array<std::uint8_t, 4> NFCCTAP_GETRESPONSE{0x80, 0x11, 0x00, 0x00};
    static constexpr std::array<std::uint8_t, 4> NFCCTAP_SELECT{0x00, 0xA4, 0x04, 0x00};
    static constexpr std::array<std::uint8_t, 4> NFCCTAP_DESELECT{0x80, 0x12, 0x01, 0x00};
    static constexpr std::array<std::uint8_t, 8> AID_FIDO{0xA0, 0x00, 0x00, 0x06, 0x47, 0x2F, 0x00, 0x01};

    explicit PcscHelper(WaitUserInputAction waitUserInputAction);
    PcscHelper(WaitUserInputAction waitUserInputAction, Timing timing);
    PcscHelper(const PcscHelper&) = delete;
    PcscHelper& operator=(const PcscHelper&) = delete;

    // Setting a different value tells waitUserInputAction.
    bool waitUserInput() const;
    void setWaitUserInput(bool waiting);
    WaitUserInputAction waitUserInputAction() const;
    void setWaitUserInputAction(WaitUserInputAction action);

    bool extendedApdu() const { return extendedApdu_; }
    void setExtendedApdu(bool extended) { extendedApdu_ = extended; }
    // Whether the request in progress (or the latest one) was cancelled; always true after stop().
    bool cancel() const;
    // true cancels the request in progress, as CANCEL does; with none in progress it does nothing. A cancel cannot
    // be taken back, so false changes nothing.
    void setCancel(bool cancelled);
    // The request in progress is cancelled only while the card asks for the user's touch in it; any other request
    // goes on.
    void cancelTouchWait();
    void stop();
    // Runs on the sender's thread as each APDU is about to go to the card, its request in progress: lets a test land
    // what another thread does at exactly that point.
    void setApduHook(ApduHook hook);

    std::shared_ptr<SmartCard> activeCard() const;
    // Binding a card keeps other programs away from it (a PC/SC transaction) until it is unbound (nullptr), so
    // none of their commands lands inside the operation. `cancel` is the operation's: when it is tripped, the CTAP
    // request in progress is cancelled and no later CTAP request of this binding reaches the card (the select and
    // deselect around it still may). A binding without one (reading a card that arrived) is never ended by another
    // operation's cancel. When another program keeps the card beyond transmitTimeout, or on a cancel, nothing is
    // bound and the result says why.
    IOReturn setActiveCard(std::shared_ptr<SmartCard> card, std::stop_token cancel = {});
    bool isCardPresent() const;

    // The last two bytes; 00 00 when there are fewer.
    static Bytes getStatusWord(std::span<const std::uint8_t> response);
    // All but the last two bytes; empty when there are fewer.
    static Bytes getResponseData(std::span<const std::uint8_t> response);

    Response transmit(std::span<const std::uint8_t> apdu);
    Response sendApdu(std::span<const std::uint8_t> header, std::span<const std::uint8_t> data);
    // The card's identity as uppercase hex ("" when it has none we can read).
    std::string getAtr();
    IOReturn sendCmdSelect();
    IOReturn sendCmdDeselect();
    // A CTAP 2 request (command byte and CBOR); the answer without its status word.
    Response sendCmdCbor(std::span<const std::uint8_t> request);
    // A raw APDU; the card's whole answer, status word included.
    Response sendCmdMsg(std::span<const std::uint8_t> apdu);
    Response sendCommand(CTAPHID command, std::span<const std::uint8_t> data);
    // Whether the latest CTAP request (sendCmdCbor) reached the card: the APDU that completes it went to the card,
    // whatever became of the answer. False when it was never sent (no card, a cancel or stop first, an earlier
    // piece of a chain refused, a stalled card still busy with an earlier APDU).
    bool requestHandedOver() const;

    static bool isValidReaderName(std::string_view name);

private:
    // The token of a new request; none after stop(), nor for a CTAP request (ctap) of a cancelled operation.
    std::optional<std::stop_token> beginRequest(bool ctap = false);
    // transmit and sendApdu as parts of a request.
    // handedOver: whether the APDU (for sendApdu: the one that completes the command) went to the card.
    Response transmit(std::span<const std::uint8_t> apdu, const std::stop_token& request,
                      bool* handedOver = nullptr);
    Response sendApdu(std::span<const std::uint8_t> header, std::span<const std::uint8_t> data,
                      const std::stop_token& request, bool* handedOver = nullptr);

    const Timing timing_;
    std::atomic<bool> extendedApdu_{false};

    mutable std::mutex mutex_; // guards what follows; never held while the card is waited for
    WaitUserInputAction waitUserInputAction_;
    ApduHook apduHook_;
    std::shared_ptr<SmartCard> activeCard_;
    bool waitUserInput_ = false;
    std::stop_source request_;
    std::stop_token operationCancel_; // of the bound card's operation
    bool stopped_ = false;
    std::atomic<bool> handedOver_{false};
};
