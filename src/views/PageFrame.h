#pragma once

#include <QWidget>

class QHBoxLayout;
class QLabel;
class QStackedLayout;

// The frame the two list pages share: a panel-coloured button bar, a divider, a header of two texts, a second
// divider, and the list area with a prompt laid over it when there is nothing to show.
class PageFrame : public QWidget {
    Q_OBJECT

public:
    explicit PageFrame(QWidget* parent = nullptr);

    QHBoxLayout* buttonRow() const { return buttonRow_; }
    QLabel* leftHeader() const { return leftHeader_; }
    QLabel* rightHeader() const { return rightHeader_; }
    QLabel* emptyPrompt() const { return emptyPrompt_; }
    // Puts the list into the list area, under the prompt.
    void setList(QWidget* list);

    static constexpr int barHeight = 49;
    static constexpr int headerHeight = 29;
    static constexpr int listHeight = 340;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QHBoxLayout* buttonRow_;
    QLabel* leftHeader_;
    QLabel* rightHeader_;
    QWidget* listArea_;
    QLabel* emptyPrompt_;
};
