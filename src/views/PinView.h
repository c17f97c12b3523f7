#pragma once

#include <QWidget>

#include <array>
#include <optional>
#include <string>

class DeviceViewModel;
class SecureString;
class NormalButton;
class QLabel;
class QLineEdit;

// The page on which PINs are typed: the old PIN, the new PIN and its confirmation, or the Security PIN
// before credential management, each row shown as the view model says. Every edit goes to the model, which
// drops spaces and decides whether OK is allowed; OK and Cancel go to the model too.
class PinView : public QWidget {
    Q_OBJECT

public:
    explicit PinView(DeviceViewModel& dv, QWidget* parent = nullptr);

    enum Field { oldPin, newPin, confirmPin, authPin };
    // The fields the page itself puts the keyboard in when it comes up. The confirmation is none of them: a person
    // types the PIN first, and may still click or tab into the confirmation.
    enum class FocusedField { oldPinField, newPinField, authPinField };

    // The PIN field that holds the keyboard focus, when it is one of those.
    std::optional<FocusedField> focusedField() const;

protected:
    void changeEvent(QEvent* event) override;

private:
    struct Row {
        QWidget* row;
        QLabel* label;
        QLineEdit* edit;
    };

    void edited(Field field, const QString& text);
    void showModelText(Field field);
    void refreshRows();
    void refreshTexts();
    void refreshButtons();
    void placeFocus();
    void pageShownOrHidden();
    void colourFields();
    const SecureString& modelText(Field field) const;

    DeviceViewModel& dv_;
    std::array<Row, 4> rows_{};
    NormalButton* ok_;
    NormalButton* cancel_;
};
