#include "viewmodel/DeviceViewModel.h"

#include "fido/Utils.h"
#include "viewmodel/TextTemplates.h"

#include <algorithm>

void DeviceViewModel::setCredMgmtViewVisible(bool visible)
{
    if (visible && needUpdateRpList_) {
        setLoading(true);
        setRpList({});
        if (selectedDeviceItem_) {
            const DeviceItem item = *selectedDeviceItem_;
            runOnQueue([this, item] { loadRpList(item); });
        } else {
            runOnQueue([this] { runOnMain([this] { rpListLoaded(false); }); });
        }
    }
    needUpdateRpList_ = !visible;
    setCredMgmtViewVisibleFlag(visible);
}

void DeviceViewModel::updateCredMgmtDeleteButtonEnable()
{
    setCredMgmtDeleteButtonEnable(
        std::any_of(rpList_.begin(), rpList_.end(), [](const RpItem& item) { return item.isChecked; }));
}

void DeviceViewModel::updateCredMgmtCountInfo()
{
    setCredMgmtCountInfo(
        credentialCountText(existingCount_.load(), remainingCount_.load(), rawValue(language_), *stringTables_));
}

void DeviceViewModel::setRpItemChecked(std::size_t index, bool checked)
{
    if (index >= rpList_.size() || rpList_[index].isChecked == checked)
        return;
    auto list = rpList_;
    list[index].isChecked = checked;
    setRpList(list);
    updateCredMgmtDeleteButtonEnable();
}

IOReturn DeviceViewModel::readCredsMetadata(const SecureBytes& token, const SSecret& secret)
{
    auto [existing, remaining, status] = ctap2_->getCredsMetadata(token, secret);
    if (status != kIOReturnSuccess) {
        // Zero counts would read as an empty key: the last counts the key gave stay.
        logFailure("readCredsMetadata", status);
        return status;
    }
    existingCount_ = existing;
    remainingCount_ = remaining;
    return status;
}

void DeviceViewModel::loadRpList(const DeviceItem& item)
{
    const SecureBytes& token = authenToken_->getToken();
    const auto& secret = authenToken_->getSharedSecret();
    IOReturn status = kIOReturnNotPermitted;
    if (!token.empty() && secret) {
        // Another program's token request makes ours stale, and the key then refuses every request with it: that
        // is a failure to show, never an empty key (an empty key answers the enumeration with an empty list).
        status = runOnDevice(
            [&] {
                if (const IOReturn metadata = readCredsMetadata(token, *secret); metadata != kIOReturnSuccess)
                    return metadata;
                auto [rps, totalRps, rpStatus] = ctap2_->enumerateRPs(token, *secret);
                if (rpStatus != kIOReturnSuccess)
                    return rpStatus;
                for (const RpInfo& rp : rps) {
                    auto [creds, total, credStatus] = ctap2_->enumerateCredentials(token, *secret, rp.idHash);
                    if (credStatus != kIOReturnSuccess)
                        return credStatus;
                    std::vector<RpItem> rows;
                    for (const CredentialInfo& cred : creds) {
                        RpItem row;
                        row.id = rp.id;
                        row.name = removeSpaces(rp.name).empty() ? rp.id : rp.name;
                        row.idHash = bytesToHexString(rp.idHash);
                        row.userId = cred.userEntity.id;
                        row.userName = cred.userEntity.name;
                        row.credentialId = bytesToHexString(cred.publicKeyCredentialDescriptor.id);
                        row.credType = cred.publicKeyCredentialDescriptor.type;
                        rows.push_back(std::move(row));
                    }
                    runOnMain([this, rows = std::move(rows)] {
                        auto list = rpList_;
                        list.insert(list.end(), rows.begin(), rows.end());
                        setRpList(list);
                    });
                }
                return kIOReturnSuccess;
            },
            item);
    }
    if (status != kIOReturnSuccess)
        logFailure("loadRpList", status);
    runOnMain([this, failed = status != kIOReturnSuccess] { rpListLoaded(failed); });
}

void DeviceViewModel::rpListLoaded(bool failed)
{
    setLoading(false);
    if (failed) {
        // Rows read before the failure would pass for the whole key.
        setRpList({});
        // Back to the list, so the way in again goes through the PIN page and a new token.
        if (currentView_ == View::credMgmt) {
            showNotice(uiStr_.btnCredMgmt, uiStr_.credMgmtReadFailed);
            setCurrentView(View::deviceList);
        }
    }
    updateCredMgmtDeleteButtonEnable();
    updateCredMgmtCountInfo();
}

IOReturn DeviceViewModel::deleteRpItem(const std::string& credentialId, const std::string& credType)
{
    const SecureBytes& token = authenToken_->getToken();
    const auto& secret = authenToken_->getSharedSecret();
    if (token.empty() || !secret)
        return kIOReturnError;
    const IOReturn status =
        ctap2_->deleteCredential(token, *secret, PublicKeyCredentialDescriptor{hexToBytes(credentialId), credType});
    readCredsMetadata(token, *secret);
    return status;
}

void DeviceViewModel::credMgmtDeleteClicked()
{
    if (busy_ || !selectedDeviceItem_)
        return;
    const DeviceItem item = *selectedDeviceItem_;
    const std::string prompt = uiStr_.touchPrompt;
    beginBusy();
    runOnQueue([this, item, prompt] {
        bool deletionFailed = false;
        const IOReturn status = runOnDevice(
            [&] {
                setTouchPromptText(prompt);
                const IOReturn touch = ctap2_->fido2Pre() ? ctap2_->selectDevice() : ctap2_->selection();
                if (touch != kIOReturnSuccess)
                    return touch;
                // The rows ticked at the moment of the touch, last first.
                std::vector<std::pair<std::string, std::string>> ticked;
                runOnMainSync([&] {
                    for (auto it = rpList_.rbegin(); it != rpList_.rend(); ++it)
                        if (it->isChecked)
                            ticked.emplace_back(it->credentialId, it->credType);
                });
                for (const auto& [credentialId, credType] : ticked) {
                    if (const IOReturn deleted = deleteRpItem(credentialId, credType); deleted != kIOReturnSuccess) {
                        // Its row stays, ticked, so the user sees which credential is still on the key.
                        logFailure("credMgmtDeleteClicked", deleted);
                        deletionFailed = true;
                        continue;
                    }
                    runOnMain([this, credentialId] {
                        auto list = rpList_;
                        std::erase_if(list, [&](const RpItem& row) { return row.credentialId == credentialId; });
                        setRpList(list);
                    });
                }
                return touch;
            },
            item);
        if (status != kIOReturnSuccess)
            logFailure("credMgmtDeleteClicked", status);
        runOnMain([this, deletionFailed] {
            updateCredMgmtDeleteButtonEnable();
            updateCredMgmtCountInfo();
            endBusy();
            if (deletionFailed)
                showNotice(uiStr_.btnCredMgmt, uiStr_.credMgmtDeleteFailed);
        });
    });
}

void DeviceViewModel::credMgmtBackClicked()
{
    switchViewUnlessBusy(View::deviceList);
}
