#include "TFrmAbout.h"

#include "ui/LayoutFont.h"

#include <QDesktopServices>
#include <QEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QUrl>

const QString TFrmAbout::Website = QStringLiteral("https://stowkeep.example.org");
const QString TFrmAbout::SupportEmail = QStringLiteral("support@stowkeep.example.org");

TFrmAbout::TFrmAbout(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                         | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint)
{
    setObjectName(QStringLiteral("FrmAbout"));
    setWindowTitle(QStringLiteral("About Stowkeep"));
    setFixedSize(288, 233);

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("ImgIcon"));
    icon->setGeometry(8, 32, 32, 32);
    icon->setPixmap(QIcon(QStringLiteral(":/stowkeep.svg")).pixmap(32, 32));

    auto* name = new QLabel(QStringLiteral("Stowkeep v2.1"), this);
    name->setObjectName(QStringLiteral("LblName"));
    name->setGeometry(56, 32, 185, 17);
    name->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);

    LblWebsite = new QLabel(QStringLiteral("Website: ") + Website, this);
    LblWebsite->setObjectName(QStringLiteral("LblWebsite"));
    LblWebsite->setGeometry(24, 152, 249, 25);
    LblEmail = new QLabel(QStringLiteral("Support Email: ") + SupportEmail, this);
    LblEmail->setObjectName(QStringLiteral("LblEmail"));
    LblEmail->setGeometry(8, 176, 273, 25);
    for (QLabel* link : {LblWebsite, LblEmail}) {
        link->setCursor(Qt::PointingHandCursor);
        link->installEventFilter(this);
    }

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("BtnOk"));
    ok->setGeometry(112, 200, 80, 27);
    ok->setDefault(true);
    fitFontToLayout(this);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

bool TFrmAbout::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonRelease
        && static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        if (watched == LblWebsite)
            QDesktopServices::openUrl(QUrl(Website));
        else if (watched == LblEmail)
            QDesktopServices::openUrl(QUrl(QStringLiteral("mailto:") + SupportEmail));
    }
    return QDialog::eventFilter(watched, event);
}
