#include "TFrmPassword.h"

#include "ui/LayoutFont.h"
#include "ui/Widgets.h"

#include "app/TFrmMain.h"
#include "profiles/FieldChecks.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

QLineEdit* makePasswordEdit(QWidget* parent, const char* name, QRect geometry)
{
    QLineEdit* edit = makeEdit(parent, name, geometry);
    edit->setEchoMode(QLineEdit::Password);
    return edit;
}

} // namespace

TFrmPassword::TFrmPassword(TFrmMain& main)
    : QDialog(&main, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                         | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      m_main(main), dlg(&main)
{
    setObjectName(QStringLiteral("FrmPassword"));
    setWindowTitle(QStringLiteral("Password"));
    setFixedSize(301, 188);

    Label1 = makeLabel(this, "Label1", QStringLiteral("Set up a password to encrypt your backup."), {8, 40});
    LblOldPwd = makeLabel(this, "LblOldPwd", QStringLiteral("Old Password:"), {8, 64});
    EdtOldPwd = makePasswordEdit(this, "EdtOldPwd", {104, 59, 185, 19});
    Label3 = makeLabel(this, "Label3", QStringLiteral("New Password:"), {8, 91});
    EdtNewPwd1 = makePasswordEdit(this, "EdtNewPwd1", {104, 88, 185, 19});
    Label4 = makeLabel(this, "Label4", QStringLiteral("Confirm  Password:"), {8, 119});
    EdtNewPwd2 = makePasswordEdit(this, "EdtNewPwd2", {104, 119, 185, 19});
    BtnOK = makeButton(this, "BtnOK", QStringLiteral("OK"), {56, 152, 80, 27});
    BtnCancel = makeButton(this, "BtnCancel", QStringLiteral("Cancel"), {160, 152, 80, 27});
    BtnOK->setDefault(true);
    fitFontToLayout(this);

    connect(BtnOK, &QPushButton::clicked, this, &TFrmPassword::BtnOKClick);
    connect(BtnCancel, &QPushButton::clicked, this, &TFrmPassword::BtnCancelClick);

    FormCreate();
}

void TFrmPassword::FormCreate()
{
    // Without a password there is no old one to ask for.
    const bool hasPassword = !m_main.passwordField()->text().isEmpty();
    LblOldPwd->setVisible(hasPassword);
    EdtOldPwd->setVisible(hasPassword);
}

void TFrmPassword::showError(const QString& text)
{
    dlg.setCaption(QStringLiteral("Error"));
    dlg.setText(text);
    dlg.exec();
}

void TFrmPassword::BtnOKClick()
{
    if (EdtOldPwd->text() != m_main.passwordField()->text()) {
        showError(QStringLiteral("Old password is not right, please enter it again."));
        return;
    }
    if (EdtNewPwd1->text() != EdtNewPwd2->text()) {
        showError(QStringLiteral(
            "New password and password confirmation is not the same, please enter it again."));
        return;
    }
    // The store would keep a pasted line break as a blank: the backups would be encrypted
    // with another password than the one the user knows.
    if (hasControlCharacters(EdtNewPwd1->text())) {
        showError(QStringLiteral("The new password contains a line break, a tab or another control "
                                 "character, which a password can not hold. Please enter it again."));
        return;
    }
    m_main.passwordField()->setText(EdtNewPwd1->text());
    accept();
}

// Closing by the title bar or with Escape ends here too (QDialog::reject).
void TFrmPassword::BtnCancelClick()
{
    reject();
}
