#pragma once

#include "ctap/AuthenToken.h"
#include "ctap/Ctap2.h"
#include "platform/SecureString.h"
#include "platform/SerialQueue.h"
#include "viewmodel/Config.h"
#include "viewmodel/DeviceItem.h"
#include "viewmodel/Language.h"
#include "viewmodel/RpItem.h"
#include "viewmodel/StringTables.h"
#include "viewmodel/UIStringVal.h"
#include "viewmodel/Workspace.h"

#include <QObject>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class HidDevice;
class HidHelper;
class PcscHelper;
class PcscMonitor;

// Published values are compared field by field; rows of the credential list compare by credential ID for
// identity, but a tick is a change the page must see.
template <typename T>
bool samePublishedValue(const T& a, const T& b)
{
    return a == b;
}
inline bool samePublishedValue(const std::vector<RpItem>& a, const std::vector<RpItem>& b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const RpItem& x, const RpItem& y) {
        return x.credentialId == y.credentialId && x.isChecked == y.isChecked && x.name == y.name &&
               x.id == y.id && x.userName == y.userName && x.idHash == y.idHash && x.credType == y.credType &&
               x.userId == y.userId;
    });
}

// Declares a published property: a getter, a setter that announces a change through <name>Changed (only
// when the value changes), and the storage. Setters run on the main thread only.
#define MT_PUBLISHED(Type, name, setter, initial)                                                              \
public:                                                                                                        \
    const Type& name() const { return name##_; }                                                               \
    void setter(const Type& value)                                                                             \
    {                                                                                                          \
        assertMainThread();                                                                                    \
        if (samePublishedValue(name##_, value))                                                                \
            return;                                                                                            \
        name##_ = value;                                                                                       \
        emit name##Changed();                                                                                  \
    }                                                                                                          \
                                                                                                               \
private:                                                                                                       \
    Type name##_ = initial;

// The one application object: the whole UI state as published properties, and every user flow. Work with
// keys runs on one serial work queue ("thread-safe-DeviceViewModel"); published properties change only on
// the main thread (the thread that made the object), reached from the queue through queued invocations. The
// main thread never waits for the work queue: operations whose outcome the UI needs post their work and
// continue on the main thread when it reports back, with `busy` up meanwhile.
class DeviceViewModel : public QObject {
    Q_OBJECT

public:
    enum class View { deviceList = 0, pin = 1, settings = 2, credMgmt = 3 };

    struct MessageBoxInfo {
        std::string title;
        std::string message;
        std::string ok;
        std::optional<std::string> cancel;
        bool result = false;
        std::function<void()> callback;
    };

    struct Dependencies {
        HidHelper* hidHelper = nullptr;             // the process-wide one when not given
        std::shared_ptr<Config> config;             // QSettings when not given
        std::shared_ptr<Workspace> workspace;       // the desktop when not given
        const StringTables* stringTables = nullptr; // the built-in tables when not given
        bool watchCards = true;                     // make the card transport and the reader watcher
    };

    explicit DeviceViewModel(QObject* parent = nullptr);
    explicit DeviceViewModel(Dependencies dependencies, QObject* parent = nullptr);
    ~DeviceViewModel() override;

    // Cancels a pending touch wait, then stops the work queue, USB watching and card watching and joins their
    // threads. Called by the destructor; safe to call more than once.
    void shutdown();

    // Starts USB watching (once, after the window is up).
    void startUsbThread();

    // Pages and buttons.
    View currentView() const { return currentView_; }
    void setCurrentView(View view);
    bool pinAuthen() const { return pinAuthen_; }
    void setPinAuthen(bool value) { pinAuthen_ = value; }
    void selectedDeviceChanged();
    // The device list's selection: the chosen row (or none) becomes the selection and the buttons follow.
    // Refused while busy; the list then shows the selection the model still has.
    void selectDeviceItem(const std::optional<DeviceItem>& item);
    // The status line of a device card in the current language.
    std::string deviceStatus(const DeviceItem& item) const;
    void showPinViewForSetOrChange();
    void showPinViewForCredMgmt();
    void confirmReset();
    void startReset();
    void presentMessageBox(std::string title, std::string message, std::string ok, std::optional<std::string> cancel,
                           std::function<void()> callback);
    const MessageBoxInfo& messageBoxInfo() const { return messageBoxInfo_; }
    // The window closes the box: okPressed true for its OK button, false for Cancel or any other way.
    void closeMessageBox(bool okPressed);

    // PIN page.
    bool supportsPin() const;
    bool isPinSet() const;
    std::uint64_t minimumPinLength() const;
    void updatePinLengthHint();
    void updatePinInputDone();
    // Drops the last character of a field that holds a space (the page calls it on every edit).
    static void sanitizePinInput(std::string& text);
    void pinOkClicked();
    void pinCancelClicked();

    // Credential page.
    void updateCredMgmtDeleteButtonEnable();
    void updateCredMgmtCountInfo();
    void setRpItemChecked(std::size_t index, bool checked);
    void credMgmtDeleteClicked();
    void credMgmtBackClicked();

    // Touch and re-insert prompts.
    void cancelReinsert();
    void cancelUserTouch();

    // Settings and top bar.
    void switchLanguage();
    void saveAdvancedMode();
    void showSettings();
    void openOtpApp();
    void openUserManual();

    static constexpr std::uint64_t pinLengthMin = 4;
    static constexpr std::uint64_t pinLengthMax = 63;

    MT_PUBLISHED(bool, deviceListViewVisible, setDeviceListViewVisibleFlag, true)
    MT_PUBLISHED(bool, pinViewVisible, setPinViewVisibleFlag, false)
    MT_PUBLISHED(bool, settingsViewVisible, setSettingsViewVisibleFlag, false)
    MT_PUBLISHED(bool, credMgmtViewVisible, setCredMgmtViewVisibleFlag, false)
    MT_PUBLISHED(Language, language, setLanguage, Language::EN)
    MT_PUBLISHED(UIStringVal, uiStr, setUiStr, {})
    MT_PUBLISHED(bool, setPinVisible, setSetPinVisible, false)
    MT_PUBLISHED(bool, changePinVisible, setChangePinVisible, false)
    MT_PUBLISHED(bool, resetVisible, setResetVisible, false)
    MT_PUBLISHED(bool, credMgmtVisible, setCredMgmtVisible, false)
    MT_PUBLISHED(bool, showMessageBox, setShowMessageBox, false)
    MT_PUBLISHED(std::vector<DeviceItem>, deviceList, setDeviceList, {})
    MT_PUBLISHED(std::optional<DeviceItem>, selectedDeviceItem, setSelectedDeviceItem, std::nullopt)
    MT_PUBLISHED(SecureString, authPin, setAuthPin, {})
    MT_PUBLISHED(SecureString, oldPin, setOldPin, {})
    MT_PUBLISHED(SecureString, newPin, setNewPin, {})
    MT_PUBLISHED(SecureString, confirmPin, setConfirmPin, {})
    MT_PUBLISHED(bool, hasOldPin, setHasOldPin, false)
    MT_PUBLISHED(bool, hasNewPin, setHasNewPin, false)
    MT_PUBLISHED(bool, hasConfirmPin, setHasConfirmPin, false)
    MT_PUBLISHED(bool, hasAuthPin, setHasAuthPin, false)
    MT_PUBLISHED(std::string, pinLengthHint, setPinLengthHint, {})
    MT_PUBLISHED(bool, pinInputDone, setPinInputDone, false)
    MT_PUBLISHED(bool, advancedMode, setAdvancedMode, false)
    MT_PUBLISHED(bool, loading, setLoading, false)
    MT_PUBLISHED(std::vector<RpItem>, rpList, setRpList, {})
    MT_PUBLISHED(std::string, credMgmtCountInfo, setCredMgmtCountInfo, {})
    MT_PUBLISHED(bool, credMgmtDeleteButtonEnable, setCredMgmtDeleteButtonEnable, false)
    MT_PUBLISHED(std::string, touchPromptText, setTouchPromptTextValue, {})
    MT_PUBLISHED(bool, waitUserTouch, setWaitUserTouchValue, false)
    MT_PUBLISHED(bool, reinsertNeeded, setReinsertNeeded, false)
    MT_PUBLISHED(std::string, reinsertText, setReinsertText, {})
    // An operation whose outcome the page waits for is under way: the window refuses OK, Cancel and page
    // switches meanwhile.
    MT_PUBLISHED(bool, busy, setBusy, false)

public:
    std::uint64_t existingResidentCredentialCount() const { return existingCount_.load(); }
    std::uint64_t maxPossibleRemainingResidentCredentialsCount() const { return remainingCount_.load(); }

signals:
    void deviceListViewVisibleChanged();
    void pinViewVisibleChanged();
    void settingsViewVisibleChanged();
    void credMgmtViewVisibleChanged();
    void languageChanged();
    void uiStrChanged();
    void setPinVisibleChanged();
    void changePinVisibleChanged();
    void resetVisibleChanged();
    void credMgmtVisibleChanged();
    void showMessageBoxChanged();
    void deviceListChanged();
    void selectedDeviceItemChanged();
    void authPinChanged();
    void oldPinChanged();
    void newPinChanged();
    void confirmPinChanged();
    void hasOldPinChanged();
    void hasNewPinChanged();
    void hasConfirmPinChanged();
    void hasAuthPinChanged();
    void pinLengthHintChanged();
    void pinInputDoneChanged();
    void advancedModeChanged();
    void loadingChanged();
    void rpListChanged();
    void credMgmtCountInfoChanged();
    void credMgmtDeleteButtonEnableChanged();
    void touchPromptTextChanged();
    void waitUserTouchChanged();
    void reinsertNeededChanged();
    void reinsertTextChanged();
    void busyChanged();
    // A message box was filled in (also while one is already shown, when a newer one replaces it).
    void messageBoxInfoChanged();

private:
    using Operation = std::function<IOReturn()>;

    void assertMainThread() const;

    // Threads and device binding.
    void runOnMain(std::function<void()> block);
    Q_INVOKABLE void runNextMainBlock();
    // From the work queue: runs a block on the main thread and waits for it (never called on the main thread's
    // behalf while it waits for the queue, because it never does). Gives up at shutdown.
    void runOnMainSync(const std::function<void()>& block);
    void runOnQueue(std::function<void()> block);
    IOReturn runOnHid(const Operation& op, const std::shared_ptr<HidDevice>& device);
    IOReturn runOnPcsc(const Operation& op, const std::string& readerName);
    IOReturn runOnDevice(const Operation& op, const Device& device);
    // The same, talking to the key with the channel, protocol and pre-2.1 flag of its row.
    IOReturn runOnDevice(const Operation& op, const DeviceItem& item);
    void beginBusy();
    void endBusy();

    // Pages and buttons.
    void showView(View view);
    void setDeviceListViewVisible(bool visible);
    void setPinViewVisible(bool visible);
    void setSettingsViewVisible(bool visible);
    void setCredMgmtViewVisible(bool visible);
    void updateButtons();

    // Device list (work queue unless noted).
    std::string deviceName(const Device& device);
    std::pair<DeviceItem, IOReturn> readDeviceInfo(const Device& device);
    void addDevice(const Device& device);
    void removeDevice(const Device& device);
    void refreshDevice(const DeviceItem& item);
    void winkDevice(const DeviceItem& item);
    void hidDeviceChanged(const std::shared_ptr<HidDevice>& device, bool inserted); // HID thread
    std::string readCardIdentity(const Device& device);
    void cardChanged(bool present, const std::string& reader); // card watcher thread
    void replaceSelectedItem(const DeviceItem& updated);        // main

    // PIN flows (main thread; device work is posted).
    void setupPinFields();
    void clearPinFields();
    std::size_t characterCount(std::string_view text) const;
    // The local checks of a new PIN; the message when they fail.
    std::optional<std::string> checkNewPin() const;
    std::optional<std::string> checkPinLength(std::string_view pin) const;
    void setOrChangePinOnDevice(bool pinSet, std::function<void(IOReturn)> done);
    void authenticatePin(std::function<void(bool)> done);

    // Credential page (work queue).
    void loadRpList(const DeviceItem& item);
    IOReturn readCredsMetadata(const SecureBytes& token, const SSecret& secret);
    IOReturn deleteRpItem(const std::string& credentialId, const std::string& credType);

    // Reset and touch prompt.
    void setWaitReinsert(std::optional<Device> device);
    bool checkReinsert(const Device& device, const std::optional<std::string>& id); // work queue
    bool isAwaitedDevice(const Device& device, const std::optional<std::string>& id) const;
    void setTouchPromptText(std::string text);
    void setWaitUserTouch(bool wait); // any thread

    // Settings.
    void initLanguage();
    void loadLanguage();
    void applyLanguage();
    void saveLanguage();
    void loadAdvancedMode();

    std::shared_ptr<Config> config_;
    std::shared_ptr<Workspace> workspace_;
    const StringTables* stringTables_;
    HidHelper* hidHelper_;
    std::unique_ptr<Ctap2> ctap2_;
    std::unique_ptr<AuthenToken> authenToken_; // work queue only
    std::optional<Device> tokenDevice_;        // work queue only: the key authenToken_ was obtained from
    std::unique_ptr<PcscHelper> pcscHelper_;
    std::shared_ptr<PcscMonitor> pcscMonitor_;
    SerialQueue queue_{"thread-safe-DeviceViewModel"};

    View currentView_ = View::deviceList;
    View targetView_ = View::deviceList;
    bool pinAuthen_ = false;
    MessageBoxInfo messageBoxInfo_;
    bool needUpdateRpList_ = false;
    int busyCount_ = 0;
    bool usbStarted_ = false;

    // Read by queued blocks: guarded.
    mutable std::mutex stateMutex_;
    std::optional<Device> currentDevicePath_;

    std::atomic<std::uint64_t> existingCount_{0};
    std::atomic<std::uint64_t> remainingCount_{0};

    // The re-insert wait: owned by the work queue.
    std::optional<Device> waitReinsertDevice_;
    std::optional<std::string> waitReinsertName_;
    std::string waitReinsertSerial_;
    std::uint64_t tapCount_ = 0;

    // Blocks on their way to the main thread, oldest first (see runOnMain).
    std::mutex mainBlocksMutex_;
    std::deque<std::function<void()>> mainBlocks_;

    // Main-thread hops that the work queue waits for end at shutdown.
    std::mutex hopMutex_;
    std::condition_variable hopCv_;
    bool shuttingDown_ = false;
    std::atomic<bool> stopped_{false};
};

#undef MT_PUBLISHED
