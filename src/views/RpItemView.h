#pragma once

#include "platform/SecureBytes.h"

#include <QRect>
#include <QString>

#include <array>
#include <cstddef>
#include <string>

class DeviceViewModel;
class QPainter;
struct UIStringVal;

// One resident credential of the credential list, laid out for the list's width: a check box with the relying
// party's name, "- " and the user name, then the rpId, rpIdHash and credentialId lines. The list draws its rows
// rather than holding widgets, so laying out (fitting the texts, the costly part) is done once per row and
// language; painting and hit-testing use the result. Rectangles are relative to the row's top left.
class RpItemView {
public:
    // A row's tick where it lives: isChecked of the element at index in the view model's rpList. Reading it reads the
    // element; writing it goes through the model, which writes the element and then works out again what depends on
    // the ticks (the Delete button).
    class IsCheckedBinding {
    public:
        IsCheckedBinding(DeviceViewModel& dv, std::size_t index) : dv_(&dv), index_(index) {}

        bool get() const;
        void set(bool checked) const;
        void setIndex(std::size_t index) { index_ = index; }

    private:
        DeviceViewModel* dv_;
        std::size_t index_;
    };

    // The credential's values, and the binding of its tick. userId and credType are never shown.
    RpItemView(const std::string& id, const std::string& name, const std::string& idHash, const Bytes& userId,
               const std::string& userName, const std::string& credentialId, const std::string& credType,
               IsCheckedBinding isChecked, const UIStringVal& texts, int width);

    int height() const { return height_; }
    // The check box with its label: a click here ticks or clears the row.
    const QRect& checkBoxRect() const { return box_; }
    bool isChecked() const { return isChecked_.get(); }
    void setChecked(bool checked) const { isChecked_.set(checked); }
    // Rows before this one came or went: its element is now at index.
    void rebind(std::size_t index) { isChecked_.setIndex(index); }
    void paint(QPainter& painter, int top, bool focused) const;

private:
    struct Line {
        QString text;
        QRect rect;
    };

    IsCheckedBinding isChecked_;
    int width_;
    int height_;
    QString name_;
    QRect box_;
    Line user_;
    std::array<Line, 3> lines_;
};
