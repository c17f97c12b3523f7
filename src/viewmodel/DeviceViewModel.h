#pragma once

#include "ctap/AuthenToken.h"
#include "ctap/Ctap2.h"
#include "platform/SecureString.h"
#include "platform/SerialQueue.h"
#include "viewmodel/Config.h"
#include "viewmodel/DeviceItem.h"
#include "viewmodel/Language.h"
#include "viewmodel/MainThreadHop.h"
#include "viewmodel/PublishedValue.h"
#include "viewmodel/RpItem.h"
#include "viewmodel/StringTables.h"
#include "viewmodel/UIStringVal.h"
#include "viewmodel/Workspace.h"

#include <QObject>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class HidDevice;
class HidHelper;
class PcscHelper;
class PcscMonitor;

// The one application object: the whole UI state as published properties, and every user flow. Work with
// keys runs on one serial work queue ("thread-safe-DeviceViewModel"); published properties change only on
// the main thread (the thread that made the object), reached from the queue through queued invocations. The
// main thread never waits for the work queue: operations whose outcome the UI needs post their work and
// continue on the main thread when it reports back, with `busy` up meanwhile.
class DeviceViewModel : public QObject
{
    Q_OBJECT

public:
    enum class View { deviceList = 0, pin = 1, settings = 2, credMgmt = 3 };
    // The page whose raw value this is; nothing outside 0 to 3.
    static std::optional<View> viewFromRawValue(int raw);
    enum class PinField { oldPin, newPin, confirmPin, authPin };

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
        std::shared_ptr<Config> config;             // Config::defaults() when not given
        std::shared_ptr<Workspace> workspace;       // the desktop when not given
        const StringTables* stringTables = nullptr; // the built-in tables when not given
        bool watchCards = true;                     // make the card transport and the reader watcher
        // For tests: runs on the thread that handles a reader list as the watcher has begun to watch a new reader.
        std::function<void(const std::string& readerName)> readerWatchedHook;
    };

    explicit DeviceViewModel(QObject* parent = nullptr);
    explicit DeviceViewModel(Dependencies dependencies, QObject* parent = nullptr);
    ~DeviceViewModel() override;

    // Cancels a pending touch wait, then stops the work queue, USB watching and card watching and joins their
    // threads. Called by the destructor; safe to call more than once.
    void shutdown();
    // Starts USB watching (once, after the window is up).
    void startUsbThread();

    // Pages and the message box ---------------------------------------------------------------------------
    View currentView() const { return currentView_; }
    void setCurrentView(View view);
    void presentMessageBox(std::string title, std::string message, std::string ok, std::optional<std::string> cancel,
                           std::function<void()> callback);
    const MessageBoxInfo& messageBoxInfo() const { return messageBoxInfo_; }
    // The window closes the box: okPressed true for its OK button, false for Cancel or any other way.
    void closeMessageBox(bool okPressed);

    MT_PUBLISHED(bool, deviceListViewVisible, setDeviceListViewVisibleFlag, true)
    MT_PUBLISHED(bool, pinViewVisible, setPinViewVisibleFlag, false)
    MT_PUBLISHED(bool, settingsViewVisible, setSettingsViewVisibleFlag, false)
    MT_PUBLISHED(bool, credMgmtViewVisible, setCredMgmtViewVisibleFlag, false)
    MT_PUBLISHED(bool, showMessageBox, setShowMessageBox, false)
    // An operation whose outcome the page waits for is under way: the window refuses OK, Cancel and page
    // switches meanwhile.
    MT_PUBLISHED(bool, busy, setBusy, false)

    // Device list -----------------------------------------------------------------------------------------
public:
    void selectedDeviceChanged();
    // The device list's selection: the chosen row (or none) becomes the selection and the buttons follow.
    // Refused while busy; the list then shows the selection the model still has.
    void selectDeviceItem(const std::optional<DeviceItem>& item);
    // The status line of a device card in the current language.
    std::string deviceStatus(const DeviceItem& item) const;
    // The image asset a device card shows for a key's display name.
    static std::string imageName(std::string_view displayedName);
    // The language tables the texts are looked up in; a card builds its status line with deviceStatusText from them.
    const StringTables& stringTables() const { return *stringTables_; }
    // Reads every listed key again, on the work queue.
    void refreshAllDevices();

    MT_PUBLISHED(std::vector<DeviceItem>, deviceList, setDeviceList, {})
    MT_PUBLISHED(std::optional<DeviceItem>, selectedDeviceItem, setSelectedDeviceItem, std::nullopt)
    MT_PUBLISHED(bool, setPinVisible, setSetPinVisible, false)
    MT_PUBLISHED(bool, changePinVisible, setChangePinVisible, false)
    MT_PUBLISHED(bool, resetVisible, setResetVisible, false)
    MT_PUBLISHED(bool, credMgmtVisible, setCredMgmtVisible, false)

    // PIN page --------------------------------------------------------------------------------------------
public:
    static constexpr std::uint64_t pinLengthMin = 4;
    static constexpr std::uint64_t pinLengthMax = 63;

    void showPinViewForSetOrChange();
    void showPinViewForCredMgmt();
    bool pinAuthen() const { return pinAuthen_; }
    void setPinAuthen(bool value) { pinAuthen_ = value; }
    bool supportsPin() const;
    bool isPinSet() const;
    std::uint64_t minimumPinLength() const;
    void updatePinLengthHint();
    void updatePinInputDone();
    // Takes the text of a PIN field as the user left it (typed or pasted): spaces and control characters
    // (line feeds, tabs, ...) are dropped, never anything else; the field then holds the rest and OK follows.
    void pinFieldEdited(PinField field, std::string_view text);
    // Drops every space and control character, and only those.
    static void sanitizePinInput(SecureString& text);
    void pinOkClicked();
    void pinCancelClicked();

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

    // Credential page -------------------------------------------------------------------------------------
public:
    void updateCredMgmtDeleteButtonEnable();
    void updateCredMgmtCountInfo();
    // A row's check box: ticks or clears the row at index.
    void setRpItemChecked(std::size_t index, bool checked);
    // Deletes the ticked rows after a touch; ignored while busy and while the list loads.
    void credMgmtDeleteClicked();
    void credMgmtBackClicked();
    std::uint64_t existingResidentCredentialCount() const { return existingCount_.load(); }
    std::uint64_t maxPossibleRemainingResidentCredentialsCount() const { return remainingCount_.load(); }
    // The credentials shown. A key may hold a thousand, so the list changes in place, on the main thread, and
    // each change is announced with the rows it touched (rpListReset, rpItemsInserted, rpItemsRemoved,
    // rpItemChanged): a view follows row by row instead of reading the whole list again.
    const std::vector<RpItem>& rpList() const { return rpList_; }

    MT_PUBLISHED(bool, loading, setLoading, false)
    MT_PUBLISHED(std::string, credMgmtCountInfo, setCredMgmtCountInfo, {})
    MT_PUBLISHED(bool, credMgmtDeleteButtonEnable, setCredMgmtDeleteButtonEnable, false)
    std::vector<RpItem> rpList_; // main thread only

    // Reset, and the re-insert and touch prompts ----------------------------------------------------------
public:
    void confirmReset();
    void startReset();
    void cancelReinsert();
    void cancelUserTouch();

    MT_PUBLISHED(std::string, touchPromptText, setTouchPromptTextValue, {})
    MT_PUBLISHED(bool, waitUserTouch, setWaitUserTouchValue, false)
    MT_PUBLISHED(bool, reinsertNeeded, setReinsertNeeded, false)
    MT_PUBLISHED(std::string, reinsertText, setReinsertText, {})

    // Settings, language and the top bar ------------------------------------------------------------------
public:
    void switchLanguage();
    void saveAdvancedMode();
    void showSettings();
    void openOtpApp();
    void openUserManual();

    MT_PUBLISHED(Language, language, setLanguage, Language::EN)
    MT_PUBLISHED(UIStringVal, uiStr, setUiStr, {})
    MT_PUBLISHED(bool, advancedMode, setAdvancedModeValue, false)

public:
    // The settings page's switch: the value shown until the page's OK saves it.
    void setAdvancedMode(bool on) { setAdvancedModeValue(on); }

signals:
    void deviceListViewVisibleChanged();
    void pinViewVisibleChanged();
    void settingsViewVisibleChanged();
    void credMgmtViewVisibleChanged();
    void showMessageBoxChanged();
    // A message box was filled in (also while one is already shown, when a newer one replaces it).
    void messageBoxInfoChanged();
    void busyChanged();
    void deviceListChanged();
    void selectedDeviceItemChanged();
    void setPinVisibleChanged();
    void changePinVisibleChanged();
    void resetVisibleChanged();
    void credMgmtVisibleChanged();
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
    void loadingChanged();
    void rpListReset(); // every row replaced (emptied when the page opens)
    void rpItemsInserted(std::size_t first, std::size_t count);
    void rpItemsRemoved(std::size_t first, std::size_t count);
    void rpItemChanged(std::size_t index); // ticked or cleared
    void credMgmtCountInfoChanged();
    void credMgmtDeleteButtonEnableChanged();
    void touchPromptTextChanged();
    void waitUserTouchChanged();
    void reinsertNeededChanged();
    void reinsertTextChanged();
    void languageChanged();
    void uiStrChanged();
    void advancedModeChanged();

private:
    // Tests raise states no intent reaches (a prompt without a key asking for a touch, a selection while busy).
    friend struct ViewModelTestSeam;

    using Operation = std::function<IOReturn()>;

    // Threads and device binding.
    void assertMainThread() const;
    void runOnMain(std::function<void()> block) { mainHop_.post(std::move(block)); }
    // From the work queue: runs a block on the main thread and waits for it. Gives up at shutdown.
    void runOnMainSync(const std::function<void()>& block) { mainHop_.runSync(block); }
    void runOnQueue(std::function<void()> block) { queue_.async(std::move(block)); }
    IOReturn runOnHid(const Operation& op, const std::shared_ptr<HidDevice>& device);
    IOReturn runOnPcsc(const Operation& op, const std::string& readerName);
    // Binds the key under the cancellation of the steps running now; nothing is bound, and kIOReturnAborted is the
    // result, once that is tripped.
    IOReturn runOnDevice(const Operation& op, const Device& device);
    // The same, talking to the key with the channel, protocol and pre-2.1 flag of its row.
    IOReturn runOnDevice(const Operation& op, const DeviceItem& item);
    // Main thread: runs op on the work queue with the selected key's row, `busy` up until done has its status.
    // How an operation on a key ended, as far as the user must be told: done; refused by the key for a wrong PIN,
    // for a PIN blocked until a reset, or for too many wrong PINs since it was plugged in; refused for another
    // reason; unclear (a request that changes the key reached it, and no answer came, or one that could not be
    // read, so the key may or may not have done it); or not taken (no such request reached the key: it was busy,
    // held by another program or gone before, so nothing changed); or cancelled by the user, and nothing changed.
    enum class Outcome { done, pinInvalid, pinBlocked, pinAuthBlocked, refused, unclear, notTaken, cancelled };
    // Work queue, right after the operation: judged from its status, the key's last answer and whether the user
    // cancelled it.
    Outcome outcomeOf(IOReturn status, bool cancelled = false) const;
    // After a failure the key's row is read again (the key may hold another PIN state or fewer retries now), and
    // the selection follows the new row.
    void runOnSelectedWhileBusy(std::function<IOReturn(const DeviceItem&)> op, std::function<void(Outcome)> done);
    void beginBusy();
    void endBusy();

    // The one owner of a Cancel. A flow the user starts and may cancel (a PIN set, change or authentication, a reset,
    // a deletion) is made an operation of its own on the main thread; the prompts' Cancel and Exit end the operation
    // under way, and one that comes when none runs changes nothing for a later one.
    std::stop_token startUserOperation(); // main
    // No later request of the operation is sent, whichever step it is at; the request under way gets its CANCEL.
    // A request of no user operation (a key or card read as it arrives) goes on, unless the key asked for a touch.
    void cancelUserOperation();
    // Work queue: runs an operation's steps under its cancellation; every runOnDevice among them checks it.
    IOReturn runCancellable(const std::stop_token& cancel, const Operation& steps);
    bool operationCancelled() const { return operationCancel_.stop_requested(); }
    static void logFailure(std::string_view operation, IOReturn status);

    // Pages (main thread).
    void showView(View view);
    // The page switches a user asks for are refused while busy.
    void switchViewUnlessBusy(View view);
    void setDeviceListViewVisible(bool visible);
    void setPinViewVisible(bool visible);
    void setSettingsViewVisible(bool visible);
    void setCredMgmtViewVisible(bool visible);
    // A message box with only an OK button.
    void showNotice(std::string title, std::string message);

    // Device list (work queue unless noted).
    // The four buttons follow the selection, not later changes of its row or of Advanced Mode (main thread).
    bool selectedDeviceSupportsCredMgmt() const;
    void updateSetPinVisible();
    void updateChangePinVisible();
    void updateResetVisible();
    void updateCredMgmtVisible();
    void updateButtons();
    std::string deviceName(const Device& device);
    std::pair<DeviceItem, IOReturn> readDeviceInfo(const Device& device);
    // Binds the key and reads its row; nothing for a key that fails to answer or is no FIDO key. With
    // acceptPartial, a key whose getInfo answer was malformed but still named it is read too.
    std::optional<DeviceItem> readDevice(const Device& device, std::string_view operation, bool acceptPartial);
    void addDevice(const Device& device);
    void removeDevice(const Device& device);
    // Reads the row's key again and replaces the row; the new row when it was replaced.
    std::optional<DeviceItem> refreshDevice(const DeviceItem& item);
    void winkDevice(const DeviceItem& item);
    void hidDeviceChanged(const std::shared_ptr<HidDevice>& device, bool inserted); // HID thread
    std::string readCardIdentity(const Device& device);
    void cardChanged(bool present, const std::string& reader); // card watcher thread
    // A card on the reader of `device` is read and, when it is one of the maker's, taken by the reset's wait or
    // listed (work queue).
    void cardArrived(const Device& device);
    void replaceSelectedItem(const DeviceItem& updated); // main

    // PIN flows (main thread; device work is posted).
    // How a step of the PIN page's OK ended: the message for the box (none for a step the user cancelled), and
    // whether the flow goes on.
    using PinStepDone = std::function<void(std::string message, bool ok)>;
    void setupPinFields();
    void clearPinFields();
    std::size_t characterCount(std::string_view text) const;
    // The local checks of a new PIN; the message when they fail.
    std::optional<std::string> checkNewPin() const;
    std::optional<std::string> checkPinLength(std::string_view pin) const;
    // Sets the selected key's first PIN, or changes its PIN, once the typed PINs pass the local checks. When what
    // the key did is not known, the device list is shown before done hears of it.
    void setOrChangePin(PinStepDone done);
    // The step before a PIN authentication: a key without a PIN gets the new one (the page then holds it as the
    // Security PIN); on a key with one, the typed PIN's length is checked.
    void checkAuthPinLength(PinStepDone done);
    // Work queue: the clientPIN request on the row's key.
    IOReturn setPinOnDevice(const DeviceItem& item, const SecureBytes& newPin);
    IOReturn changePinOnDevice(const DeviceItem& item, const SecureBytes& oldPin, const SecureBytes& newPin);
    void authenticatePin(std::function<void(Outcome)> done);
    // The message of a PIN set or change that ended so.
    std::string pinOutcomeText(Outcome outcome, bool change) const;
    // The message of a PIN authentication that failed so.
    std::string pinAuthFailureText(Outcome outcome) const;

    // Credential page (work queue unless noted).
    struct DeleteOutcome;
    void loadRpList(const DeviceItem& item);
    // Binds the row's key and reads its counts and every credential with the token held; each relying party's rows
    // go to `rows` as they are read.
    IOReturn readRpListOnKey(const DeviceItem& item, const std::function<void(std::vector<RpItem>)>& rows);
    void rpListLoaded(bool failed); // main
    IOReturn readCredsMetadata(const SecureBytes& token, const SSecret& secret);
    // The counts and every credential of the bound key; each relying party's rows go to `rows` as they are read.
    IOReturn readRpItems(const SecureBytes& token, const SSecret& secret,
                         const std::function<void(std::vector<RpItem>)>& rows);
    // countsRead: after a deletion the key's counts were read.
    IOReturn deleteRpItem(const SecureBytes& token, const SSecret& secret, const std::string& credentialId,
                          const std::string& credType, bool& countsRead);
    // The deletion after the Delete button, inside the device operation.
    IOReturn deleteTicked(const std::string& prompt, DeleteOutcome& outcome);
    void credentialsDeleted(DeleteOutcome& outcome);                      // main
    void appendRpItems(std::vector<RpItem> rows);                         // main
    void removeRpItem(std::size_t hint, const std::string& credentialId); // main
    void resetRpList(std::vector<RpItem> rows);                           // main

    // Reset and touch prompt (work queue unless noted).
    // cancel: the reset's operation, which the steps after the key's return run under.
    void setWaitReinsert(std::optional<Device> device, std::stop_token cancel = {}); // any thread
    // The wait for the device (none: no wait), with the prompt that goes with it.
    void applyWaitReinsert(const std::optional<Device>& device, std::stop_token cancel = {});
    // The re-insert prompt for the awaited key; none without one.
    void showReinsertPrompt(const std::optional<Device>& device);
    bool checkReinsert(const Device& device, const std::optional<std::string>& id);
    // The arriving device is the awaited key come back (id: the identity a card answers with).
    bool isAwaitedDevice(const Device& device, const std::optional<std::string>& id) const;
    // Runs op on the key with the touch prompt reading `prompt`, should the key ask for a touch.
    IOReturn runWithTouchPrompt(std::string prompt, const Operation& op, const Device& device);
    void setTouchPromptText(std::string text); // any thread
    void setWaitUserTouch(bool wait);          // any thread

    // Settings.
    void initLanguage();
    void loadLanguage();
    void applyLanguage();
    void saveLanguage();
    void loadAdvancedMode();

    // Declared first so that it goes last: blocks still on their way are dropped with it.
    MainThreadHop mainHop_;

    std::shared_ptr<Config> config_;
    std::shared_ptr<Workspace> workspace_;
    const StringTables* stringTables_;
    HidHelper* hidHelper_;
    std::unique_ptr<Ctap2> ctap2_;
    std::unique_ptr<PcscHelper> pcscHelper_;
    std::shared_ptr<PcscMonitor> pcscMonitor_;
    SerialQueue queue_{"thread-safe-DeviceViewModel"};
    std::atomic<bool> stopped_{false};

    // Main thread only.
    View currentView_ = View::deviceList;
    View targetView_ = View::deviceList;
    bool pinAuthen_ = false;
    MessageBoxInfo messageBoxInfo_;
    bool needUpdateRpList_ = false;
    int busyCount_ = 0;
    bool usbStarted_ = false;

    // Work queue only.
    std::stop_token operationCancel_; // of the steps running now; none outside a user's operation
    std::unique_ptr<AuthenToken> authenToken_;
    std::optional<Device> tokenDevice_; // the key authenToken_ was obtained from
    // The key a reset waits for: a USB key unplugged and plugged in again, or a card taken away and tapped twice.
    std::optional<Device> waitReinsertDevice_;
    // The USB product string, or the card's identity as read when the wait began.
    std::optional<std::string> waitReinsertName_;
    // The USB serial number ("" when the key reports none, and for a card).
    std::string waitReinsertSerial_;
    std::stop_token waitReinsertCancel_; // the reset's operation
    std::uint64_t tapCount_ = 0;         // awaited card arrivals taken during the current wait

    // The user's operation under way; shutdown may come from any thread.
    std::mutex operationMutex_;
    std::stop_source userOperation_{std::nostopstate};

    // Read by queued blocks: guarded.
    mutable std::mutex stateMutex_;
    std::optional<Device> currentDevicePath_;

    std::atomic<std::uint64_t> existingCount_{0};
    std::atomic<std::uint64_t> remainingCount_{0};
};

// The macro is the view model's own.
#undef MT_PUBLISHED
