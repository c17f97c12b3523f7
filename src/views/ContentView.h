#pragma once

#include "views/WindowHooks.h"

#include <QWidget>

class DeviceViewModel;
class Overlay;

// The window's content: top bar, the page area (each page whose flag is up, in the order device list, PIN,
// settings, credential list), bottom bar, and over everything the touch prompt, the re-insert prompt and the
// message box, each while its flag is up. Nothing under a shown overlay takes input.
class ContentView : public QWidget {
    Q_OBJECT

public:
    ContentView(DeviceViewModel& dv, const WindowHooks& hooks, QWidget* parent = nullptr);

    // The overlay on top of the others that is shown, if any.
    Overlay* activeOverlay() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void followFlags();
    void keepFocusInOverlay(QWidget* now);

    DeviceViewModel& dv_;
    QWidget* deviceListPage_;
    QWidget* pinPage_;
    QWidget* settingsPage_;
    QWidget* credentialListPage_;
    QWidget* frame_;
    Overlay* touchPrompt_;
    Overlay* reinsertPrompt_;
    Overlay* messageBox_;
};
