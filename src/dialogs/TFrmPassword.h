#pragma once

#include "ui/MessageBox.h"

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;
class TFrmMain;

// The password dialog: sets, changes or removes the encryption password in the editor's
// hidden password field. The current password is never shown; it must be typed as the old
// password before a new one (or none) replaces it.
class TFrmPassword : public QDialog
{
    Q_OBJECT

public:
    explicit TFrmPassword(TFrmMain& main);

    void BtnOKClick();
    void BtnCancelClick();

    QLabel* Label1 = nullptr;
    QLabel* LblOldPwd = nullptr;
    QLineEdit* EdtOldPwd = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* EdtNewPwd1 = nullptr;
    QLabel* Label4 = nullptr;
    QLineEdit* EdtNewPwd2 = nullptr;
    QPushButton* BtnOK = nullptr;
    QPushButton* BtnCancel = nullptr;

private:
    void FormCreate();
    void showError(const QString& text);

    TFrmMain& m_main;
    MessageBox dlg;
};
