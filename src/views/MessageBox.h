#pragma once

#include "views/Overlay.h"

class DeviceViewModel;
class NormalButton;
class QLabel;

// The one modal dialog: a 300 x 200 panel with a title, a message, OK and, when asked for, Cancel. Its
// buttons hand the answer to the view model, which closes the box and runs the box's callback. There is no
// other way out of it.
class MessageBox : public Overlay {
    Q_OBJECT

public:
    MessageBox(DeviceViewModel& dv, QWidget* parent);

    QWidget* firstFocus() const override;

    // The box's two buttons: each hands its answer to the view model, which records it, closes the box and then
    // runs the box's callback.
    void okAction();
    void cancelAction();

private:
    void refresh();

    DeviceViewModel& dv_;
    QLabel* title_;
    QLabel* message_;
    NormalButton* ok_;
    NormalButton* cancel_;
};
