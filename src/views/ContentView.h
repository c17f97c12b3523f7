#pragma once

#include "views/WindowHooks.h"

#include <QPointer>
#include <QWidget>

class DeviceViewModel;
class MessageBox;
class Overlay;

// The window's content: top bar, the page area (each page whose flag is up, in the order device list, PIN,
// settings, credential list), bottom bar, and over everything the touch prompt, the re-insert prompt and the
// message box, each while its flag is up. Nothing under a shown overlay takes input, but for the top bar's
// Minimize and Exit under a prompt. When the last overlay goes, the keyboard goes back where it was.
class ContentView : public QWidget {
    Q_OBJECT

public:
    ContentView(DeviceViewModel& dv, const WindowHooks& hooks, QWidget* parent = nullptr);

    // The overlay on top of the others that is shown, if any.
    Overlay* activeOverlay() const { return activeOverlay_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    // While an overlay is up, Tab cycles through what it keeps usable.
    bool focusNextPrevChild(bool next) override;

private:
    void followFlags();
    // The message box is made from the model's message each time it comes up, and again for a newer message.
    void buildMessageBox();
    void replaceMessageBox();
    static void discardMessageBox(MessageBox* box);
    void keepFocusInOverlay(QWidget* now);
    void restoreFocus();

    DeviceViewModel& dv_;
    QWidget* deviceListView_;
    QWidget* pinView_;
    QWidget* settingsView_;
    QWidget* rpListView_;
    QWidget* frame_;
    Overlay* userTouchView_;
    Overlay* reinsertView_;
    MessageBox* messageBox_ = nullptr; // while one is shown
    Overlay* activeOverlay_ = nullptr;
    // Where the keyboard was when the first overlay came up.
    QPointer<QWidget> focusBefore_;
};
