#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;
class TFrmMain;

// The filter dialog: edits the include and exclude filters of the profile in the editor.
// It reads the editor's hidden filter fields when it is created and, on "OK", writes them
// and the editor's filter summary; "Cancel" and closing the window change nothing.
class TFrmFilter : public QDialog
{
    Q_OBJECT

public:
    explicit TFrmFilter(TFrmMain& main);

    void BtnOKClick();
    void BtnCancelClick();

    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* EdtIncludeFilter = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* EdtExcludeFilter = nullptr;
    QPushButton* BtnOK = nullptr;
    QPushButton* BtnCancel = nullptr;

private:
    void FormCreate();

    TFrmMain& m_main;
};
