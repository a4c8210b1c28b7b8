#pragma once

#include <QGroupBox>
#include <QString>
#include <QVBoxLayout>

// A titled group box that lays its children out in one column, as the window and the pages
// use for every titled section.
inline QGroupBox* columnBox(const QString& title, QWidget* parent) {
    auto* box = new QGroupBox(title, parent);
    new QVBoxLayout(box);
    return box;
}
