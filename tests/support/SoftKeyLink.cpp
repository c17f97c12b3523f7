#include "support/SoftKeyLink.h"

#include "support/Eventually.h"

SoftKeyLink::SoftKeyLink(Transport transport, SoftKeyConfig config, CtaphidFront::Options usbOptions,
                         NfcCardFront::Options cardOptions)
    : transport_(transport), config_(std::move(config)), usbOptions_(usbOptions)
{
    auto onTouchPrompt = [this](bool waiting) {
        if (waiting)
            ++touchPrompts_;
    };
    if (transport_ == Transport::Usb) {
        usb_ = std::make_unique<UsbKeyRig>();
        usb_->helper().setWaitUserInputAction(onTouchPrompt);
        usbKey_ = &usb_->plug(config_, "KWO FIDO", {}, usbOptions_);
    } else {
        card_ = std::make_unique<CardRig>(config_, std::move(cardOptions));
        pcsc_ = std::make_unique<PcscHelper>(onTouchPrompt);
    }
}

SoftKeyLink::~SoftKeyLink()
{
    close();
    monitor_.reset();
    if (manager_)
        manager_->stop();
    usb_.reset();
    card_.reset();
}

SoftAuthenticator& SoftKeyLink::key()
{
    return transport_ == Transport::Usb ? usbKey_->authenticator() : card_->key();
}

HidHelper* SoftKeyLink::hidHelper()
{
    return transport_ == Transport::Usb ? &usb_->helper() : nullptr;
}

bool SoftKeyLink::open()
{
    if (transport_ == Transport::Usb) {
        usb_->start();
        usb_->helper().setDevice(usbKey_->device);
        return true;
    }
    if (!card_->insert())
        return false;
    // A card is usable once the monitor reports it: its session is open by then.
    auto onCard = [this](bool present, const std::string& reader) {
        if (reader == card_->readerName())
            cardReported_ = present;
    };
    if (pcscApi_) {
        manager_ = std::make_shared<SmartCardSlotManager>(pcscApi_);
        monitor_ = PcscMonitor::create(onCard, manager_);
    } else {
        monitor_ = PcscMonitor::create(onCard);
    }
    monitor_->startWatching();
    if (!eventually([&] { return cardReported_.load(); }, std::chrono::seconds(5)))
        return false;
    std::shared_ptr<SmartCard> card = monitor_->getActiveCard(card_->readerName());
    if (!card)
        return false;
    pcsc_->setActiveCard(card);
    cardBound_ = true;
    return pcsc_->sendCmdSelect() == kIOReturnSuccess;
}

void SoftKeyLink::close()
{
    if (!cardBound_)
        return;
    pcsc_->sendCmdDeselect();
    pcsc_->setActiveCard(nullptr);
    cardBound_ = false;
}

void SoftKeyLink::removeKey()
{
    if (transport_ == Transport::Usb)
        usb_->unplug(*usbKey_);
    else
        card_->front().remove();
}

std::size_t SoftKeyLink::received() const
{
    if (transport_ == Transport::Usb)
        return usbKey_->front->reportsReceived();
    return card_->front().receivedApdus().size();
}

std::size_t SoftKeyLink::sent() const
{
    return transport_ == Transport::Usb ? usbKey_->front->reportsSent() : 0;
}
