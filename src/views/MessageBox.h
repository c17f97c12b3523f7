#pragma once

#include "views/Overlay.h"

#include <optional>

class DeviceViewModel;
class NormalButton;
class QLabel;

// The one modal dialog: a 300 x 200 panel with a title, a message, OK and, when given a Cancel text, Cancel. It
// shows the texts it was made with; its buttons hand the answer to the view model, which closes the box and runs
// the callback it holds for it. There is no other way out of it.
class MessageBox : public Overlay {
    Q_OBJECT

public:
    MessageBox(const QString& title, const QString& message, const QString& ok, const std::optional<QString>& cancel,
               DeviceViewModel& dv, QWidget* parent);

    QWidget* firstFocus() const override;

    // The box's two buttons: each hands its answer to the view model, which records it, closes the box and then
    // runs the box's callback.
    void okAction();
    void cancelAction();

private:
    DeviceViewModel& dv_;
    QLabel* title_;
    QLabel* message_;
    NormalButton* ok_;
    NormalButton* cancel_;
};
