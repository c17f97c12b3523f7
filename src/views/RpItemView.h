#pragma once

#include <QRect>
#include <QString>

#include <array>

class QPainter;
struct RpItem;
struct UIStringVal;

// One resident credential of the credential list, laid out for the list's width: a check box with the relying
// party's name, "- " and the user name, then the rpId, rpIdHash and credentialId lines. The list draws its rows
// rather than holding widgets, so laying out (fitting the texts, the costly part) is done once per row and
// language; painting and hit-testing use the result. Rectangles are relative to the row's top left.
class RpItemView {
public:
    RpItemView(const RpItem& item, const UIStringVal& texts, int width);

    int height() const { return height_; }
    // The check box with its label: a click here ticks or clears the row.
    const QRect& checkBoxRect() const { return box_; }
    void paint(QPainter& painter, int top, bool checked, bool focused) const;

private:
    struct Line {
        QString text;
        QRect rect;
    };

    int width_;
    int height_;
    QString name_;
    QRect box_;
    Line user_;
    std::array<Line, 3> lines_;
};
