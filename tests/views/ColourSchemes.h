#pragma once

#include <QApplication>
#include <QColor>
#include <QPalette>
#include <QStyle>
#include <QStyleFactory>

// The program's look for tests and pictures: the same style as the application, in the light scheme.
inline void prepareApplication()
{
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setPalette(QApplication::style()->standardPalette());
}

// Switches the application palette as a desktop switching between light and dark would.
inline void setDarkScheme(bool dark)
{
    QPalette palette = QApplication::style()->standardPalette();
    if (dark) {
        palette.setColor(QPalette::Window, QColor(0x2B, 0x2B, 0x2E));
        palette.setColor(QPalette::WindowText, QColor(0xEE, 0xEE, 0xF0));
        palette.setColor(QPalette::Base, QColor(0x1E, 0x1F, 0x24));
        palette.setColor(QPalette::Text, QColor(0xEE, 0xEE, 0xF0));
        palette.setColor(QPalette::Button, QColor(0x3A, 0x3C, 0x43));
        palette.setColor(QPalette::ButtonText, QColor(0xEE, 0xEE, 0xF0));
        palette.setColor(QPalette::PlaceholderText, QColor(0x9A, 0x9A, 0xA0));
        palette.setColor(QPalette::Highlight, QColor(0x3D, 0x7E, 0xDB));
    }
    QApplication::setPalette(palette);
}
