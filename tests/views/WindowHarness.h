#pragma once

#include "viewmodel/ViewModelHarness.h"
#include "views/ColourSchemes.h"
#include "views/MainWindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QTest>

#include <memory>
#include <string>
#include <vector>

// The real window over a view model on software keys, with the window-system hooks recorded.
struct WindowHarness {
    explicit WindowHarness(bool watchCards = false, std::map<std::string, std::string> settings = {})
        : model(watchCards, std::move(settings))
    {
        WindowHooks hooks;
        hooks.minimize = [this](QWidget*) { ++minimized; };
        hooks.exit = [this](QWidget* closing) {
            ++exited;
            closing->close();
        };
        hooks.startMove = [this](QWidget*) {
            ++moves;
            return true;
        };
        window = std::make_unique<MainWindow>(*model.vm, hooks);
        window->show();
        pumpUntil([&] { return window->isVisible(); });
    }
    ~WindowHarness()
    {
        window.reset();
        model.vm->shutdown();
    }

    DeviceViewModel& vm() { return *model.vm; }

    template <typename T = QWidget> T* find(const char* name) const
    {
        return window->findChild<T*>(QString::fromLatin1(name));
    }
    // A widget that a person can see: it and all its parents are shown.
    bool shown(const char* name) const
    {
        QWidget* w = find(name);
        return w && w->isVisibleTo(window.get());
    }
    QString text(const char* name) const
    {
        auto* label = find<QLabel>(name);
        return label ? label->text() : QString();
    }
    // Clicks as a person would: the window system delivers the click to whatever lies at that point.
    void clickAt(QPoint inWindow) const
    {
        QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {}, inWindow);
        QApplication::processEvents();
    }
    void pressAt(QPoint inWindow) const
    {
        QTest::mousePress(window->windowHandle(), Qt::LeftButton, {}, inWindow);
        QTest::mouseRelease(window->windowHandle(), Qt::LeftButton, {}, inWindow);
        QApplication::processEvents();
    }
    void click(QWidget* widget, QPoint at = {}) const
    {
        // Widgets that just appeared are placed by pending layout passes: the click goes where they will be.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        QApplication::processEvents();
        clickAt(widget->mapTo(window.get(), at.isNull() ? widget->rect().center() : at));
    }
    void click(const char* name) const { click(find(name)); }
    // Clicks a row of the device list.
    void clickRow(int row) const
    {
        auto* list = find<QListWidget>("deviceList");
        click(list->viewport(), list->visualItemRect(list->item(row)).center());
    }

    ViewModelHarness model;
    std::unique_ptr<MainWindow> window;
    int minimized = 0;
    int exited = 0;
    int moves = 0;
};
