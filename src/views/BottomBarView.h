#pragma once

#include <QWidget>

// The strip along the bottom: the application's version at the right end of a panel-coloured bar with a
// one-pixel grey border.
class BottomBarView : public QWidget {
    Q_OBJECT

public:
    explicit BottomBarView(QWidget* parent = nullptr);

    static constexpr int barHeight = 30;
    // The version the program was built as.
    static QString appVersion();
    // "KWO-VR v" and the version.
    static QString versionText();

protected:
    void paintEvent(QPaintEvent* event) override;
};
