#include "RunPasswordDialog.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>

namespace {

QList<std::optional<QString>> s_answers;
QStringList s_asked;

} // namespace

std::optional<QString> RunPasswordDialog::ask(QWidget* owner, const QString& archive, bool again)
{
    const QString text =
        (again ? QStringLiteral("That password does not open the backup %1 either.")
               : QStringLiteral("The profile's password does not open the backup %1: it was made with another "
                                "password."))
            .arg(archive)
        + QStringLiteral("\nEnter the password it was made with, or Cancel to leave out the files it holds.");
    s_asked << text;
    if (!s_answers.isEmpty())
        return s_answers.takeFirst();

    QDialog dialog(owner);
    dialog.setObjectName(QStringLiteral("RunPasswordDialog"));
    dialog.setWindowTitle(QStringLiteral("Password of the Backup"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* label = new QLabel(text, &dialog);
    label->setObjectName(QStringLiteral("LblRunPassword"));
    label->setWordWrap(true);
    label->setMinimumWidth(360);
    auto* edit = new QLineEdit(&dialog);
    edit->setObjectName(QStringLiteral("EdtRunPassword"));
    edit->setEchoMode(QLineEdit::Password);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(label);
    layout->addWidget(edit);
    layout->addWidget(buttons);
    if (dialog.exec() != QDialog::Accepted || edit->text().isEmpty())
        return std::nullopt;
    return edit->text();
}

void RunPasswordDialog::setNextAnswer(const std::optional<QString>& answer)
{
    s_answers << answer;
}

QStringList RunPasswordDialog::takeAsked()
{
    QStringList asked;
    asked.swap(s_asked);
    return asked;
}
