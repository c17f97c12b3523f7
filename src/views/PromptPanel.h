#pragma once

#include "views/Overlay.h"

#include <functional>

class NormalButton;
class QLabel;

// The 500 x 250 panel of the two prompts: one instruction and a Cancel button, together in the middle.
class PromptPanel : public Overlay {
    Q_OBJECT

public:
    PromptPanel(std::function<void()> cancel, QWidget* parent);

    QWidget* firstFocus() const override;
    void setTexts(const QString& text, const QString& cancel);
    QString text() const;

private:
    QLabel* text_;
    NormalButton* cancel_;
};
