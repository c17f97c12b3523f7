#include "viewmodel/DeviceViewModel.h"

#include "fido/HidHelper.h"
#include "fido/PcscHelper.h"
#include "platform/Log.h"
#include "viewmodel/JOVFidoDevice.h"
#include "viewmodel/TextTemplates.h"

#include <algorithm>

void DeviceViewModel::setDeviceListViewVisible(bool visible)
{
    if (visible && selectedDeviceItem_) {
        // The selected key is read again; its row is replaced when the work queue reports back.
        beginBusy();
        const DeviceItem item = *selectedDeviceItem_;
        runOnQueue([this, item] {
            refreshDevice(item);
            runOnMain([this] { endBusy(); });
        });
    }
    // The list always opens with no key selected, whatever was selected when it was left.
    if (visible && !deviceListViewVisible_ && selectedDeviceItem_) {
        setSelectedDeviceItem(std::nullopt);
        selectedDeviceChanged();
    }
    setDeviceListViewVisibleFlag(visible);
}

bool DeviceViewModel::selectedDeviceSupportsCredMgmt() const
{
    return selectedDeviceItem_ && selectedDeviceItem_->hasCredMgmt;
}

void DeviceViewModel::updateSetPinVisible()
{
    setSetPinVisible(supportsPin() && !isPinSet());
}

void DeviceViewModel::updateChangePinVisible()
{
    setChangePinVisible(isPinSet());
}

void DeviceViewModel::updateResetVisible()
{
    setResetVisible(selectedDeviceItem_.has_value());
}

void DeviceViewModel::updateCredMgmtVisible()
{
    setCredMgmtVisible(advancedMode_ && selectedDeviceSupportsCredMgmt());
}

void DeviceViewModel::updateButtons()
{
    updateSetPinVisible();
    updateChangePinVisible();
    updateResetVisible();
    updateCredMgmtVisible();
}

void DeviceViewModel::selectedDeviceChanged()
{
    updateButtons();
    if (!selectedDeviceItem_) {
        std::lock_guard lock(stateMutex_);
        currentDevicePath_.reset();
        return;
    }
    const DeviceItem item = *selectedDeviceItem_;
    {
        std::lock_guard lock(stateMutex_);
        currentDevicePath_ = item.device;
    }
    runOnQueue([this, item] {
        bool stillSelected = false;
        {
            std::lock_guard lock(stateMutex_);
            stillSelected = currentDevicePath_ && *currentDevicePath_ == item.device;
        }
        if (stillSelected)
            winkDevice(item);
    });
}

void DeviceViewModel::selectDeviceItem(const std::optional<DeviceItem>& item)
{
    if (busy_ || samePublishedValue(selectedDeviceItem_, item))
        return;
    setSelectedDeviceItem(item);
    selectedDeviceChanged();
}

std::string DeviceViewModel::deviceStatus(const DeviceItem& item) const
{
    return deviceStatusText(item.retries, item.pinPresent, item.hasCredMgmt, rawValue(language_), *stringTables_);
}

std::string DeviceViewModel::deviceName(const Device& device)
{
    if (device.isHidDevice())
        return hidHelper_->getProductName();
    return pcscHelper_ ? pcscHelper_->getAtr() : std::string{};
}

std::pair<DeviceItem, IOReturn> DeviceViewModel::readDeviceInfo(const Device& device)
{
    DeviceItem item;
    item.device = device;
    const IOReturn status = ctap2_->sendCmdInit().second;
    if (status != kIOReturnSuccess)
        return {item, status};
    item.cid = ctap2_->cid();
    auto [info, infoStatus] = ctap2_->getInfo();
    // A key that gave no AAGUID (its getInfo failed or was no map) is not one this program can show.
    if (info.aaguid.empty())
        return {item, infoStatus};
    item.deviceName = displayName(deviceName(device));
    item.pinProtocol = ctap2_->pinProtocol();
    item.aaguid = info.aaguid;
    std::string protocols;
    for (const auto& version : info.versions)
        protocols += (protocols.empty() ? "" : ", ") + version;
    item.protocols = protocols;
    if (info.firmwareVersion != 0)
        item.firmware = std::to_string(info.firmwareVersion);
    if (auto it = info.options.find("clientPin"); it != info.options.end())
        item.pinPresent = it->second;
    if (auto it = info.options.find("credMgmt"); it != info.options.end()) {
        item.hasCredMgmt = it->second;
    } else if (auto pre = info.options.find("credentialMgmtPreview"); pre != info.options.end()) {
        item.hasCredMgmt = pre->second;
        item.fido2Pre = true;
    }
    if (item.pinProtocol != PinProtocol::None) {
        // A count the key cannot give leaves the row without one; the key is listed all the same.
        auto [retries, retriesStatus] = ctap2_->getPinRetries();
        if (retriesStatus == kIOReturnSuccess) {
            item.retries = retries.retries;
            if (info.minPINLength > 0)
                item.minPinLength = info.minPINLength;
        } else {
            logFailure("getPinRetries", retriesStatus);
        }
    }
    return {item, infoStatus};
}

std::optional<DeviceItem> DeviceViewModel::readDevice(const Device& device, std::string_view operation,
                                                      bool acceptPartial)
{
    DeviceItem item;
    const IOReturn status = runOnDevice(
        [&] {
            auto [read, readStatus] = readDeviceInfo(device);
            item = std::move(read);
            return readStatus;
        },
        device);
    if (status != kIOReturnSuccess)
        logFailure(operation, status);
    if (item.aaguid.empty() || (status != kIOReturnSuccess && !acceptPartial))
        return std::nullopt;
    return item;
}

void DeviceViewModel::addDevice(const Device& device)
{
    const auto item = readDevice(device, "addDevice", true);
    if (!item)
        return;
    runOnMainSync([this, &item] {
        auto list = deviceList_;
        list.push_back(*item);
        setDeviceList(list);
    });
}

void DeviceViewModel::removeDevice(const Device& device)
{
    // A token is good only on the key that gave it: it is not kept in memory once that key has left.
    if (tokenDevice_ && Device::isSame(*tokenDevice_, device)) {
        authenToken_->clear();
        tokenDevice_.reset();
    }
    runOnMainSync([this, &device] {
        if (selectedDeviceItem_ && Device::isSame(selectedDeviceItem_->device, device)) {
            setSelectedDeviceItem(std::nullopt);
            selectedDeviceChanged();
            if (currentView_ == View::pin || currentView_ == View::credMgmt)
                setCurrentView(View::deviceList);
        }
        auto list = deviceList_;
        std::erase_if(list, [&](const DeviceItem& i) { return Device::isSame(i.device, device); });
        setDeviceList(list);
    });
}

std::optional<DeviceItem> DeviceViewModel::refreshDevice(const DeviceItem& item)
{
    // A half-read key would replace a good row with defaults (no name, no minimum): the old row stays.
    const auto fresh = readDevice(item.device, "refreshDevice", false);
    if (!fresh)
        return std::nullopt;
    bool replaced = false;
    runOnMainSync([this, &item, &fresh, &replaced] {
        auto list = deviceList_;
        auto it = std::find(list.begin(), list.end(), item);
        if (it == list.end())
            return;
        *it = *fresh;
        setDeviceList(list);
        replaced = true;
    });
    return replaced ? fresh : std::nullopt;
}

void DeviceViewModel::refreshAllDevices()
{
    // Each row is taken as the list holds it when its turn comes: a key that left meanwhile ends the walk early.
    runOnQueue([this] {
        std::size_t count = 0;
        runOnMainSync([&] { count = deviceList_.size(); });
        for (std::size_t i = 0; i < count; ++i) {
            std::optional<DeviceItem> item;
            runOnMainSync([&] {
                if (i < deviceList_.size())
                    item = deviceList_[i];
            });
            if (!item)
                break;
            refreshDevice(*item);
        }
    });
}

void DeviceViewModel::winkDevice(const DeviceItem& item)
{
    // A card cannot wink (its transport has no WINK): binding it would only take the card from any other program
    // for a moment, and wait for it while another program holds it.
    if (!item.device.isHidDevice())
        return;
    runOnDevice([this] { return ctap2_->sendCmdWink(); }, item);
}

void DeviceViewModel::hidDeviceChanged(const std::shared_ptr<HidDevice>& hid, bool inserted)
{
    runOnQueue([this, hid, inserted] {
        logLine(inserted ? "Device inserted" : "Device removed");
        const Device device = Device::hidDevice(hid);
        if (inserted) {
            if (!checkReinsert(device, std::nullopt))
                addDevice(device);
        } else {
            removeDevice(device);
        }
    });
}

std::string DeviceViewModel::readCardIdentity(const Device& device)
{
    std::string id;
    const IOReturn status = runOnDevice(
        [&] {
            if (PcscHelper* pcsc = ctap2_->pcscHelper())
                id = pcsc->getAtr();
            return id.empty() ? kIOReturnError : kIOReturnSuccess;
        },
        device);
    // A card that lies on the reader and cannot be identified is never listed: say so.
    if (status != kIOReturnSuccess)
        logFailure("readCardIdentity", status);
    return id;
}

void DeviceViewModel::cardChanged(bool present, const std::string& reader)
{
    logLine(reader + ": card " + (present ? "present" : "absent"));
    runOnQueue([this, present, reader] {
        const Device device = Device::pcscDevice(reader);
        if (present)
            cardArrived(device);
        else
            removeDevice(device);
    });
}

void DeviceViewModel::cardArrived(const Device& device)
{
    const std::string id = readCardIdentity(device);
    if (!jovFidoDeviceFromRawValue(id))
        return;
    if (checkReinsert(device, id))
        return;
    bool listed = false;
    runOnMainSync([&] {
        listed = std::any_of(deviceList_.begin(), deviceList_.end(),
                             [&](const DeviceItem& i) { return Device::isSame(i.device, device); });
    });
    if (!listed)
        addDevice(device);
}

void DeviceViewModel::replaceSelectedItem(const DeviceItem& updated)
{
    if (!selectedDeviceItem_)
        return;
    const DeviceItem old = *selectedDeviceItem_;
    auto list = deviceList_;
    std::replace(list.begin(), list.end(), old, updated);
    setDeviceList(list);
    setSelectedDeviceItem(updated);
}
