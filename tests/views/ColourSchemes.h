#pragma once

#include <QApplication>
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
    const std::pair<QPalette::ColorRole, QRgb> darkColours[] = {
        {QPalette::Window, 0x2B2B2E}, {QPalette::WindowText, 0xEEEEF0}, {QPalette::Base, 0x1E1F24},
        {QPalette::Text, 0xEEEEF0},   {QPalette::Button, 0x3A3C43},     {QPalette::ButtonText, 0xEEEEF0},
        {QPalette::PlaceholderText, 0x9A9AA0}, {QPalette::Highlight, 0x3D7EDB}};
    for (auto [role, rgb] : darkColours)
        if (dark)
            palette.setColor(role, QColor(rgb));
    QApplication::setPalette(palette);
}
