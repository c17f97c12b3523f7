#pragma once

#include "views/WindowHooks.h"

#include <QWidget>

#include <vector>

class CircularButton;
class DeviceViewModel;
class QLabel;

// The strip across the top: logo and title on a midnight-blue background by which the window is dragged,
// and six round buttons (OTP, settings, language, help, minimise, exit).
class TopBarView : public QWidget {
    Q_OBJECT

public:
    TopBarView(DeviceViewModel& dv, const WindowHooks& hooks, QWidget* parent = nullptr);

    static constexpr int barHeight = 80;

    // Minimize and Exit, which work whatever the window waits for.
    std::vector<QWidget*> windowButtons() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void refreshTexts();

    DeviceViewModel& dv_;
    QLabel* title_;
    CircularButton* otp_;
    CircularButton* settings_;
    CircularButton* language_;
    CircularButton* help_;
    CircularButton* minimize_;
    CircularButton* exit_;
};
