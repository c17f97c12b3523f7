#pragma once

#include "fido/CtapConstants.h"
#include "platform/IOReturn.h"
#include "platform/SecureBytes.h"
#include "platform/SmartCard.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

// Carries CTAP requests to a FIDO card on a PC/SC reader as ISO 7816-4 APDUs: selects and deselects the FIDO
// applet, sends CTAP 2 requests as NFCCTAP messages (polling while the card is still working), passes raw
// APDUs through and reads the card's identity. It works on one card at a time, its active card.
//
// One exchange sequence at a time: from setActiveCard(card) to setActiveCard(nullptr) the transport belongs to
// the thread that bound the card, and any other thread's exchanges (or binding) wait until it is unbound, for
// at most sequenceTimeout (then they fail with kIOReturnTimeout), or until stop(). CANCEL never waits.
//
// A cancel ends the CTAP request in progress when it comes after that request began, however late in the
// request it lands; a cancel that comes before a request begins is not carried over to it. stop() is for good:
// the request in progress ends, and every exchange after it fails without reaching the card.
class PcscHelper {
public:
    using WaitUserInputAction = std::function<void(bool waiting)>;
    using Response = std::pair<Bytes, IOReturn>;

    struct Timing {
        // Longest wait for the card's answer to one APDU.
        std::chrono::milliseconds transmitTimeout{5000};
        // Longest run of "still processing" answers that do not ask for a touch.
        std::chrono::milliseconds processingTimeout{30000};
        // Longest wait of another thread for the transport while one thread's sequence holds it.
        std::chrono::milliseconds sequenceTimeout{30000};
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

    const WaitUserInputAction& waitUserInputAction() const { return waitUserInputAction_; }
    const Timing& timing() const { return timing_; }

    // Setting a different value tells waitUserInputAction.
    bool waitUserInput() const;
    void setWaitUserInput(bool waiting);

    bool extendedApdu() const { return extendedApdu_; }
    void setExtendedApdu(bool extended) { extendedApdu_ = extended; }
    // True from a cancel until setCancel(false), and for good after stop(). Clearing it forgets nothing a
    // request has to see: the request in progress still ends on a cancel that came after it began.
    bool cancel() const { return cancel_ || stopped_; }
    void setCancel(bool cancelled);
    void stop();
    bool stopped() const { return stopped_; }

    std::shared_ptr<SmartCard> activeCard() const;
    // Binding a card starts this thread's exchange sequence and keeps other programs away from the card until
    // it is unbound (binding nullptr). A thread that does not hold the transport fails (and changes nothing)
    // when it cannot get it within sequenceTimeout, or after stop(). When another program keeps the card
    // beyond transmitTimeout, nothing is bound and the result says why.
    IOReturn setActiveCard(std::shared_ptr<SmartCard> card);
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

    static bool isValidReaderName(std::string_view name);

private:
    class Sequence;
    IOReturn acquireSequence();
    void releaseSequence();
    bool interrupted(std::uint64_t cancelGeneration) const;

    const WaitUserInputAction waitUserInputAction_;
    const Timing timing_;
    std::atomic<bool> extendedApdu_{false};
    std::atomic<bool> cancel_{false};
    std::atomic<std::uint64_t> cancelGeneration_{0};
    std::atomic<bool> stopped_{false};

    mutable std::mutex mutex_; // guards activeCard_ and waitUserInput_
    std::shared_ptr<SmartCard> activeCard_;
    bool waitUserInput_ = false;

    std::mutex sequenceMutex_;
    std::condition_variable sequenceFree_;
    std::thread::id sequenceOwner_;
    int sequenceDepth_ = 0;
    bool cardBound_ = false;
};
