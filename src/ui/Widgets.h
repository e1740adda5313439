#pragma once

#include <QPoint>
#include <QRect>
#include <QString>

class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

// The windows place their controls at fixed positions; each control carries its name as
// its objectName, which is how the tests find it.
QPushButton* makeButton(QWidget* parent, const char* name, const QString& text, QRect geometry);
QLabel* makeLabel(QWidget* parent, const char* name, const QString& text, QPoint at); // sized to its text
QLabel* makeLabel(QWidget* parent, const char* name, const QString& text, QRect geometry);
QLineEdit* makeEdit(QWidget* parent, const char* name, QRect geometry);
