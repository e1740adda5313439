#include "TFrmFilter.h"

#include "ui/LayoutFont.h"
#include "ui/Widgets.h"

#include "app/TFrmMain.h"
#include "profiles/FilterSummary.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

const QString HelpText = QStringLiteral(
    "Please add files to include or exclude. If you want to back up only a file, please enter "
    "the file name. It supports the * and ? wildcard characters. When specifying multiple files "
    "to include or exclude, each file must be separated with comma.");

} // namespace

TFrmFilter::TFrmFilter(TFrmMain& main)
    : QDialog(&main, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                         | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      m_main(main)
{
    setObjectName(QStringLiteral("FrmFilter"));
    setWindowTitle(QStringLiteral("Filter"));
    setFixedSize(411, 221);

    Label1 = makeLabel(this, "Label1", QString(), {24, 32, 377, 57});
    Label1->setWordWrap(true);
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label2 = makeLabel(this, "Label2", QStringLiteral("Include Filter:"), {25, 92, 73, 17});
    EdtIncludeFilter = makeEdit(this, "EdtIncludeFilter", {25, 113, 368, 19});
    Label3 = makeLabel(this, "Label3", QStringLiteral("Exclude Filter:"), {25, 140, 73, 17});
    EdtExcludeFilter = makeEdit(this, "EdtExcludeFilter", {25, 161, 368, 19});
    BtnOK = makeButton(this, "BtnOK", QStringLiteral("OK"), {209, 189, 80, 27});
    BtnCancel = makeButton(this, "BtnCancel", QStringLiteral("Cancel"), {305, 189, 80, 27});
    BtnOK->setDefault(true);

    connect(BtnOK, &QPushButton::clicked, this, &TFrmFilter::BtnOKClick);
    connect(BtnCancel, &QPushButton::clicked, this, &TFrmFilter::BtnCancelClick);

    FormCreate();
    fitFontToLayout(this);
}

void TFrmFilter::FormCreate()
{
    Label1->setText(HelpText);
    EdtIncludeFilter->setText(m_main.includeFilterField()->text());
    EdtExcludeFilter->setText(m_main.excludeFilterField()->text());
}

void TFrmFilter::BtnOKClick()
{
    m_main.includeFilterField()->setText(EdtIncludeFilter->text());
    m_main.excludeFilterField()->setText(EdtExcludeFilter->text());
    m_main.filterSummaryField()->setText(filterSummary(EdtIncludeFilter->text(), EdtExcludeFilter->text()));
    accept();
}

// Closing by the title bar or with Escape ends here too (QDialog::reject).
void TFrmFilter::BtnCancelClick()
{
    reject();
}
