#pragma once

#include <QDialog>

class QLabel;

// The About window: the program's icon, name and version, its website and support address.
class TFrmAbout : public QDialog
{
    Q_OBJECT

public:
    static const QString Website;
    static const QString SupportEmail;

    explicit TFrmAbout(QWidget* owner);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLabel* LblWebsite = nullptr;
    QLabel* LblEmail = nullptr;
};
