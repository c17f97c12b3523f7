#pragma once

#include "viewmodel/ViewModelHarness.h"
#include "views/ColourSchemes.h"
#include "views/MainWindow.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QTest>

using Names = std::vector<std::string>;

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
        hooks.startMove = [this](QWidget*) { return ++moves > 0; };
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

    template <typename T = QWidget> T* find(const char* name) const { return window->findChild<T*>(name); }
    template <typename T = QWidget> T* in(const char* parent, const char* name) const
    {
        return find(parent)->findChild<T*>(name);
    }
    QLineEdit* field(const char* name) const { return find<QLineEdit>(name); }
    // A widget that a person can see: it and all its parents are shown.
    bool shown(const char* name) const { return find(name) && find(name)->isVisibleTo(window.get()); }
    Names visible(std::initializer_list<const char*> names) const
    {
        Names seen;
        for (const char* name : names)
            if (shown(name))
                seen.emplace_back(name);
        return seen;
    }
    // Label texts as read: lines wrapped to fit read as one.
    QString text(const char* name) const { return text(find<QLabel>(name)); }
    static QString text(const QLabel* label) { return label ? label->text().replace('\n', ' ') : QString(); }

    // Clicks as a person would: the window system delivers the click to whatever lies at that point.
    void clickAt(QPoint inWindow) const
    {
        QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {}, inWindow);
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
    void clickRow(int row) const
    {
        auto* list = find<QListWidget>("deviceList");
        click(list->viewport(), list->visualItemRect(list->item(row)).center());
    }
    // Fills PIN fields as a person would (a click for the focus, then the keys) and clicks OK.
    void submitPin(std::initializer_list<std::pair<const char*, const char*>> typed) const
    {
        for (auto [name, pin] : typed) {
            field(name)->clear();
            click(field(name));
            QTest::keyClicks(field(name), pin);
        }
        click(in("pinPage", "okButton"));
    }
    // Waits for the message box, answers it, and tells what it said.
    std::string answerBox(bool ok = true) const
    {
        if (!pumpUntil([&] { return shown("messageBox"); }))
            return "(no message box)";
        const std::string said = text(in<QLabel>("messageBox", "messageText")).toStdString();
        click(in("messageBox", ok ? "okButton" : "cancelButton"));
        EXPECT_FALSE(shown("messageBox"));
        return said;
    }

    ViewModelHarness model;
    std::unique_ptr<MainWindow> window;
    int minimized = 0, exited = 0, moves = 0;
};
