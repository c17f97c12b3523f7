#pragma once

#include <array>
#include <cstddef>
#include <string_view>

// Every text the application shows, in English. The English text is also the key its translation is looked
// up by. The list is kept in one place so the constants, the fields of UIStringVal and their order can never
// drift apart.
#define MT_UI_STRINGS(X)                                                                                       \
    X(topBarTitle, "JOV Marrowtillance")                                                                           \
    X(topBarOTP, "OTP")                                                                                            \
    X(topBarSettings, "Settings")                                                                                  \
    X(topBarLanguage, "Language")                                                                                  \
    X(topBarHelp, "Help")                                                                                          \
    X(topBarMinimize, "Minimize")                                                                                  \
    X(topBarExit, "Exit")                                                                                          \
    X(btnSetPin, "Set PIN")                                                                                        \
    X(btnChangePin, "Change PIN")                                                                                  \
    X(btnReset, "Reset")                                                                                           \
    X(btnCredMgmt, "Credential Management")                                                                        \
    X(lvDevice, "Device")                                                                                          \
    X(lvStatus, "Status")                                                                                          \
    X(itemFWVersion, "Firmware Version:")                                                                          \
    X(itemAAGUID, "AAGUID:")                                                                                       \
    X(itemProtocol, "Protocol:")                                                                                   \
    X(itemStatusPinSet, "PIN is set")                                                                              \
    X(itemStatusPinNotSet, "PIN is not set")                                                                       \
    X(itemStatusRetriesLeft, "_retries left")                                                                      \
    X(itemStatusSupportCredMgmt, "support credential management")                                                  \
    X(promptInsertKey, "Insert a security key into the USB port")                                                  \
    X(lvRpUser, "Relying party - User name")                                                                       \
    X(lvCount, "Resident credential counts:_, remains:")                                                           \
    X(itemId, "rpId:")                                                                                             \
    X(itemIdHash, "rpIdHash:")                                                                                     \
    X(itemCredId, "credentialId:")                                                                                 \
    X(promptNoRpRecord, "No RP record")                                                                            \
    X(pinLengthHint, "to_characters")                                                                              \
    X(pinOldPin, "Old PIN")                                                                                        \
    X(pinNewPin, "New PIN")                                                                                        \
    X(pinConfirmPin, "Confirm PIN")                                                                                \
    X(pinAuthPin, "Security PIN")                                                                                  \
    X(pinOk, "Ok")                                                                                                 \
    X(pinCancel, "Cancel")                                                                                         \
    X(pinMessageBoxTitle, "PIN Set/Change")                                                                        \
    X(pinAuthTitle, "PIN authentication")                                                                          \
    X(pinChangeLength, "PIN length must be_to_characters")                                                         \
    X(pinChangeNotMatch, "PINs do not match")                                                                      \
    X(pinNewPinSet, "New PIN is set")                                                                              \
    X(pinWrongPin, "Original PIN is wrong")                                                                        \
    X(pinSetFailed, "Set PIN failed")                                                                              \
    X(pinAuthFailed, "Wrong PIN")                                                                                  \
    X(resetMessageBoxTitle, "Reset Device")                                                                        \
    X(resetWarning, "All data and credentials on this key will be cleared")                                        \
    X(resetSuccess, "Reset device is successful")                                                                  \
    X(resetFailed, "Reset device is failed")                                                                       \
    X(settingsAdvancedMode, "Advanced Mode")                                                                       \
    X(settingsOk, "Ok")                                                                                            \
    X(credMgmtDelete, "Delete")                                                                                    \
    X(credMgmtBack, "Back")                                                                                        \
    X(reinsertPrompt, "Please re-insert the security Key")                                                         \
    X(touchTwicePrompt, "Touch your security twice within 10 seconds")                                             \
    X(touchPrompt, "Touch your security key")                                                                      \
    X(reinsertPromptNfc, "Tap your security key twice on your reader")                                             \
    X(credMgmtDeleteFailed, "Some credentials could not be deleted")                                               \
    X(credMgmtReadFailed, "Credentials could not be read, enter the PIN again")                                    \
    X(keyNoClearAnswer, "No clear answer: the key may or may not have changed")                                    \
    X(credMgmtNothingDeleted, "Nothing was deleted")                                                               \
    X(credMgmtDeleteNeedsPin, "Could not delete credentials, enter the PIN again")                                 \
    X(pinBlocked, "The PIN is blocked: only a reset makes the key usable again")                                   \
    X(pinAuthBlocked, "Too many wrong PINs since the key was plugged in: remove and re-insert it")                 \
    X(keyBusyNothingChanged, "The key is busy or in use by another program: nothing was changed")

// The English texts as constants, one per field of UIStringVal and named as that field.
struct UIStringKey {
    UIStringKey() = delete;

#define MT_UI_STRING_KEY(field, text) static constexpr std::string_view field = text;
    MT_UI_STRINGS(MT_UI_STRING_KEY)
#undef MT_UI_STRING_KEY

    struct Entry {
        std::string_view field;
        std::string_view text;
    };

#define MT_UI_STRING_ENTRY(field, text) Entry{#field, text},
    // Every text in field order.
    static constexpr std::array all = {MT_UI_STRINGS(MT_UI_STRING_ENTRY)};
#undef MT_UI_STRING_ENTRY

    static constexpr std::size_t count = all.size();
};

static_assert(UIStringKey::count == 62);
