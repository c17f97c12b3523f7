#pragma once

#include "views/WindowHooks.h"

#include <QWidget>

class ContentView;
class DeviceViewModel;

// The application's one window: frameless, 1024 x 530 and not resizable, showing the content view. Once it
// is first on screen USB watching starts; closing it stops the view model's work so the process can end.
class MainWindow : public QWidget {
    Q_OBJECT

public:
    explicit MainWindow(DeviceViewModel& dv, WindowHooks hooks = WindowHooks::desktop(), QWidget* parent = nullptr);

    ContentView* content() const { return content_; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    DeviceViewModel& dv_;
    ContentView* content_;
    bool started_ = false;
};
