#include "viewmodel/DeviceViewModel.h"

#include "fido/Utils.h"
#include "viewmodel/TextTemplates.h"

#include <algorithm>
#include <memory>
#include <unordered_set>

namespace {

std::vector<RpItem> rowsOf(const RpInfo& rp, const std::vector<CredentialInfo>& creds)
{
    std::vector<RpItem> rows;
    rows.reserve(creds.size());
    for (const CredentialInfo& cred : creds) {
        RpItem row(rp, cred);
        if (removeSpaces(row.name).empty())
            row.name = row.id;
        rows.push_back(std::move(row));
    }
    return rows;
}

// The key's answer says the token is no longer good: it ended it on its own, or another program's token replaced
// it.
bool saysTokenEnded(std::optional<std::uint8_t> statusByte)
{
    const auto code = statusByte ? ctapErrorFromRaw(*statusByte) : std::nullopt;
    return code == CTAPHID_ERROR_CODE::ERR_PIN_AUTH_INVALID || code == CTAPHID_ERROR_CODE::ERR_PIN_TOKEN_EXPIRED;
}

} // namespace

struct DeviceViewModel::DeleteOutcome {
    IOReturn touch = kIOReturnError; // until the key answers the touch request
    bool tokenEnded = false;
    // Credential ids whose deletion failed, or that the user's Cancel kept from being sent.
    std::vector<std::string> failed;
    // After a failure the list is read again: an answer that never came may hide a deletion the key made. After a
    // Cancel only when a deletion had gone out (its counts included); until then the page still shows what the key
    // holds.
    bool readAgain = false;
    IOReturn reread = kIOReturnSuccess;
    std::vector<RpItem> rows;
};

void DeviceViewModel::setCredMgmtViewVisible(bool visible)
{
    if (visible && needUpdateRpList_) {
        setLoading(true);
        resetRpList({});
        updateCredMgmtDeleteButtonEnable();
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
    // Not while the list loads: a deletion would wait behind the load, and ask for its touch after it wherever the
    // window is by then.
    setCredMgmtDeleteButtonEnable(
        !loading_ && std::any_of(rpList_.begin(), rpList_.end(), [](const RpItem& item) { return item.isChecked; }));
}

void DeviceViewModel::updateCredMgmtCountInfo()
{
    setCredMgmtCountInfo(
        credentialCountText(existingCount_.load(), remainingCount_.load(), rawValue(language_), *stringTables_));
}

void DeviceViewModel::setRpItemChecked(std::size_t index, bool checked)
{
    assertMainThread();
    if (index >= rpList_.size() || rpList_[index].isChecked == checked)
        return;
    rpList_[index].isChecked = checked;
    emit rpItemChanged(index);
    updateCredMgmtDeleteButtonEnable();
}

void DeviceViewModel::appendRpItems(std::vector<RpItem> rows)
{
    assertMainThread();
    if (rows.empty())
        return;
    const std::size_t first = rpList_.size();
    rpList_.insert(rpList_.end(), std::make_move_iterator(rows.begin()), std::make_move_iterator(rows.end()));
    emit rpItemsInserted(first, rows.size());
}

void DeviceViewModel::removeRpItem(std::size_t hint, const std::string& credentialId)
{
    assertMainThread();
    // Rows go last first, so the row is normally still where it was when the deletion was asked for.
    std::size_t index = hint;
    if (index >= rpList_.size() || rpList_[index].credentialId != credentialId) {
        const auto found = std::find_if(rpList_.begin(), rpList_.end(),
                                        [&](const RpItem& row) { return row.credentialId == credentialId; });
        if (found == rpList_.end())
            return;
        index = static_cast<std::size_t>(found - rpList_.begin());
    }
    rpList_.erase(rpList_.begin() + static_cast<std::ptrdiff_t>(index));
    emit rpItemsRemoved(index, 1);
}

void DeviceViewModel::resetRpList(std::vector<RpItem> rows)
{
    assertMainThread();
    if (rows.empty() && rpList_.empty())
        return;
    rpList_ = std::move(rows);
    emit rpListReset();
}

IOReturn DeviceViewModel::readCredsMetadata(const SecureBytes& token, const SSecret& secret)
{
    // Stored whatever the status: counts the key did not give are 0, never those of an earlier read (which may be
    // another key's); an answer read only in part gives what it held.
    auto [existing, remaining, status] = ctap2_->getCredsMetadata(token, secret);
    existingCount_ = existing;
    remainingCount_ = remaining;
    if (status != kIOReturnSuccess)
        logFailure("readCredsMetadata", status);
    return status;
}

IOReturn DeviceViewModel::readRpItems(const SecureBytes& token, const SSecret& secret,
                                      const std::function<void(std::vector<RpItem>)>& rows)
{
    // Another program's token request makes ours stale, and the key then refuses every request with it: that is a
    // failure to show, never an empty key (an empty key answers the enumeration with an empty list).
    if (const IOReturn metadata = readCredsMetadata(token, secret); metadata != kIOReturnSuccess)
        return metadata;
    auto [rps, totalRps, rpStatus] = ctap2_->enumerateRPs(token, secret);
    if (rpStatus != kIOReturnSuccess)
        return rpStatus;
    for (const RpInfo& rp : rps) {
        auto [creds, total, credStatus] = ctap2_->enumerateCredentials(token, secret, rp.idHash);
        if (credStatus != kIOReturnSuccess)
            return credStatus;
        rows(rowsOf(rp, creds));
    }
    return kIOReturnSuccess;
}

IOReturn DeviceViewModel::readRpListOnKey(const DeviceItem& item, const std::function<void(std::vector<RpItem>)>& rows)
{
    const SecureBytes& token = authenToken_->getToken();
    const auto& secret = authenToken_->getSharedSecret();
    IOReturn status = kIOReturnNotPermitted;
    if (!token.empty() && secret)
        status = runOnDevice([&] { return readRpItems(token, *secret, rows); }, item);
    if (status != kIOReturnSuccess)
        logFailure("loadRpList", status);
    return status;
}

void DeviceViewModel::loadRpList(const DeviceItem& item)
{
    // Each relying party's rows are shown as soon as they are read: only what is new crosses to the main thread.
    const IOReturn status = readRpListOnKey(item, [this](std::vector<RpItem> rows) {
        runOnMain([this, rows = std::make_shared<std::vector<RpItem>>(std::move(rows))] {
            appendRpItems(std::move(*rows));
        });
    });
    runOnMain([this, failed = status != kIOReturnSuccess] { rpListLoaded(failed); });
}

void DeviceViewModel::rpListLoaded(bool failed)
{
    setLoading(false);
    if (failed) {
        // Rows read before the failure would pass for the whole key.
        resetRpList({});
        // Back to the list, so the way in again goes through the PIN page and a new token.
        if (currentView_ == View::credMgmt) {
            showNotice(uiStr_.btnCredMgmt, uiStr_.credMgmtReadFailed);
            setCurrentView(View::deviceList);
        }
    }
    updateCredMgmtDeleteButtonEnable();
    updateCredMgmtCountInfo();
}

IOReturn DeviceViewModel::deleteRpItem(const SecureBytes& token, const SSecret& secret, const std::string& credentialId,
                                       const std::string& credType, bool& countsRead)
{
    const IOReturn status =
        ctap2_->deleteCredential(token, secret, PublicKeyCredentialDescriptor{hexToBytes(credentialId), credType});
    // A failure is followed by reading the whole list again, counts included; until then the key's answer to the
    // deletion stays readable.
    countsRead = status == kIOReturnSuccess && readCredsMetadata(token, secret) == kIOReturnSuccess;
    return status;
}

IOReturn DeviceViewModel::deleteTicked(const std::string& prompt, DeleteOutcome& outcome)
{
    setTouchPromptText(prompt);
    outcome.touch = ctap2_->fido2Pre() ? ctap2_->selectDevice() : ctap2_->selection();
    if (outcome.touch != kIOReturnSuccess)
        return outcome.touch;
    // The rows ticked at the moment of the touch, last first, with where each was.
    struct Ticked {
        std::size_t index;
        std::string credentialId;
        std::string credType;
    };
    std::vector<Ticked> ticked;
    runOnMainSync([&] {
        for (std::size_t i = rpList_.size(); i-- > 0;)
            if (rpList_[i].isChecked)
                ticked.push_back({i, rpList_[i].credentialId, rpList_[i].credType});
    });
    const SecureBytes& token = authenToken_->getToken();
    const auto& secret = authenToken_->getSharedSecret();
    if (token.empty() || !secret) {
        outcome.tokenEnded = true;
        return kIOReturnNotPermitted;
    }
    IOReturn status = kIOReturnSuccess;
    bool cancelled = false;
    bool countsCut = false;
    for (const Ticked& row : ticked) {
        // After the user's Cancel no deletion goes out; the rows left stay ticked.
        bool countsRead = false;
        const IOReturn deleted = operationCancelled()
                                     ? kIOReturnAborted
                                     : deleteRpItem(token, *secret, row.credentialId, row.credType, countsRead);
        if (deleted == kIOReturnSuccess) {
            // A Cancel that came as the deletion was done kept its counts from being read: they are read again
            // with the list, never shown as the 0 and 0 of a read that did not happen.
            countsCut = countsCut || (!countsRead && operationCancelled());
            runOnMain([this, row] { removeRpItem(row.index, row.credentialId); });
            continue;
        }
        status = deleted;
        outcome.failed.push_back(row.credentialId);
        if (deleted == kIOReturnAborted && operationCancelled()) {
            cancelled = true;
            continue;
        }
        logFailure("credMgmtDeleteClicked", deleted);
        if (saysTokenEnded(ctap2_->lastStatusByte())) {
            // Every later request would be refused the same way.
            outcome.tokenEnded = true;
            return status;
        }
    }
    outcome.readAgain =
        countsCut || (!outcome.failed.empty() && (!cancelled || ctap2_->changeRequestHandedOver()));
    return status;
}

void DeviceViewModel::credentialsDeleted(DeleteOutcome& outcome)
{
    endBusy();
    const std::string title = uiStr_.btnCredMgmt;
    bool stillOnKey = false;
    if (outcome.touch == kIOReturnSuccess && !outcome.tokenEnded && outcome.readAgain &&
        outcome.reread == kIOReturnSuccess) {
        // Rows whose deletion failed and that the key still holds stay ticked, so the user sees which they are.
        const std::unordered_set<std::string> failed(outcome.failed.begin(), outcome.failed.end());
        for (RpItem& row : outcome.rows)
            if (failed.count(row.credentialId)) {
                row.isChecked = true;
                stillOnKey = true;
            }
        resetRpList(std::move(outcome.rows));
    }
    updateCredMgmtDeleteButtonEnable();
    updateCredMgmtCountInfo();

    if (outcome.touch != kIOReturnSuccess) {
        // A touch the user cancelled from the prompt needs no word; any other failure leaves them guessing.
        if (outcome.touch != kIOReturnAborted)
            showNotice(title, uiStr_.credMgmtNothingDeleted);
    } else if (outcome.tokenEnded) {
        // As when reading: back to the list, and the way in again asks for the PIN and a new token.
        showNotice(title, uiStr_.credMgmtDeleteNeedsPin);
        setCurrentView(View::deviceList);
    } else if (outcome.reread != kIOReturnSuccess) {
        rpListLoaded(true);
    } else if (stillOnKey) {
        showNotice(title, uiStr_.credMgmtDeleteFailed);
    }
}

void DeviceViewModel::credMgmtDeleteClicked()
{
    if (busy_ || loading_ || !selectedDeviceItem_)
        return;
    const DeviceItem item = *selectedDeviceItem_;
    const std::string prompt = uiStr_.touchPrompt;
    beginBusy();
    runOnQueue([this, item, prompt, cancel = startUserOperation()] {
        auto outcome = std::make_shared<DeleteOutcome>();
        const IOReturn status =
            runCancellable(cancel, [&] { return runOnDevice([&] { return deleteTicked(prompt, *outcome); }, item); });
        if (outcome->touch != kIOReturnSuccess)
            logFailure("credMgmtDeleteClicked", status);
        // Not part of the deletion: after a Cancel it is what shows the user where the key stands.
        if (outcome->readAgain)
            outcome->reread = readRpListOnKey(item, [&](std::vector<RpItem> rows) {
                outcome->rows.insert(outcome->rows.end(), std::make_move_iterator(rows.begin()),
                                     std::make_move_iterator(rows.end()));
            });
        runOnMain([this, outcome] { credentialsDeleted(*outcome); });
    });
}

void DeviceViewModel::credMgmtBackClicked()
{
    switchViewUnlessBusy(View::deviceList);
}
