#include "ui/dlg_exec_mail_texts.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QVBoxLayout>

#include "config/setup_info.h"

const char* const kMacroLegendLines[5] = {
    "<NAME> : \tthe NAME of the peer that is down",
    "<HOST> : \tthe IP address of the peer that is down",
    "<DATE TIME> : \tthe date and time when the peer is down",
    "<EVENT> :\tthe matter that the peer is down",
    "<LOST RATE> :\tthe lost rate that the peer is down",
};

namespace {

QPlainTextEdit* MultiLineEdit(const char* name, QWidget* parent) {
    auto* edit = new QPlainTextEdit(parent);
    edit->setObjectName(name);
    edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    edit->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    // Enter makes a new line; Tab leaves the editor like in every other field.
    edit->setTabChangesFocus(true);
    return edit;
}

// "MACRO:" and the legend, each placeholder in the first column and its meaning in the
// second (the tab of each line becomes the column break).
QWidget* MacroLegend(QWidget* parent) {
    auto* legend = new QWidget(parent);
    legend->setObjectName("macroLegend");
    auto* grid = new QGridLayout(legend);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setVerticalSpacing(2);
    grid->addWidget(new QLabel(QStringLiteral("MACRO:"), legend), 0, 0, 1, 2);
    for (int i = 0; i < 5; ++i) {
        const QString line = QString::fromLatin1(kMacroLegendLines[i]);
        const qsizetype tab = line.indexOf(QLatin1Char('\t'));
        grid->addWidget(new QLabel(line.left(tab), legend), i + 1, 0);
        grid->addWidget(new QLabel(line.mid(tab + 1), legend), i + 1, 1);
    }
    grid->setColumnStretch(1, 1);
    return legend;
}

}  // namespace

// ---- Exec ----

CDlgExec::CDlgExec(QWidget* parent) : CDialogBase(153, parent) {
    setObjectName("pageExec");
    auto* intro =
        new QLabel(QStringLiteral("The Execute file  will be executed with parameter which MACRO \n"
                                  "will be replaced"),
                   this);
    m_parameter = MultiLineEdit("parameter", this);
    auto* label = new QLabel(QStringLiteral("Parameter:"), this);
    label->setBuddy(m_parameter);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addWidget(label);
    layout->addWidget(m_parameter, 1);
    layout->addWidget(MacroLegend(this));
}

CDlgExec::~CDlgExec() = default;

bool CDlgExec::OnInitDialog() {
    if (g_pSetupInfo != nullptr)
        m_parameter->setPlainText(MultiLineTextToQt(g_pSetupInfo->execpara));
    return true;
}

int CDlgExec::SaveSettings() {
    if (g_pSetupInfo != nullptr)
        g_pSetupInfo->execpara =
            MultiLineTextFromQt(PlainTextOf(m_parameter), g_pSetupInfo->execpara);
    return 0;
}

// ---- Mail Down and Mail Up ----

CDlgMailText::CDlgMailText(int templateId, const char* objectName, QWidget* parent)
    : CDialogBase(templateId, parent) {
    setObjectName(objectName);
    m_subject = new QLineEdit(this);
    m_subject->setObjectName("subject");
    m_body = MultiLineEdit("body", this);
    auto* subjectLabel = new QLabel(QStringLiteral("Subject:"), this);
    subjectLabel->setBuddy(m_subject);
    auto* bodyLabel = new QLabel(QStringLiteral("Body:"), this);
    bodyLabel->setBuddy(m_body);
    auto* fields = new QGridLayout;
    fields->addWidget(subjectLabel, 0, 0);
    fields->addWidget(m_subject, 0, 1);
    fields->addWidget(bodyLabel, 1, 0, Qt::AlignTop);
    fields->addWidget(m_body, 1, 1);
    fields->setRowStretch(1, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields, 1);
    layout->addWidget(MacroLegend(this));
}

CDlgMailText::~CDlgMailText() = default;

CDlgMailDown::CDlgMailDown(QWidget* parent) : CDlgMailText(147, "pageMailDown", parent) {}

bool CDlgMailDown::OnInitDialog() {
    if (g_pSetupInfo != nullptr) {
        SetLongText(m_subject, g_pSetupInfo->downsubject);
        m_body->setPlainText(MultiLineTextToQt(g_pSetupInfo->downbody));
    }
    return true;
}

int CDlgMailDown::SaveSettings() {
    if (g_pSetupInfo != nullptr) {
        g_pSetupInfo->downsubject = SetupTextFromQt(m_subject->text(), g_pSetupInfo->downsubject);
        g_pSetupInfo->downbody = MultiLineTextFromQt(PlainTextOf(m_body), g_pSetupInfo->downbody);
    }
    return 0;
}

CDlgMailUP::CDlgMailUP(QWidget* parent) : CDlgMailText(150, "pageMailUp", parent) {}

bool CDlgMailUP::OnInitDialog() {
    if (g_pSetupInfo != nullptr) {
        SetLongText(m_subject, g_pSetupInfo->upsubject);
        m_body->setPlainText(MultiLineTextToQt(g_pSetupInfo->upbody));
    }
    return true;
}

int CDlgMailUP::SaveSettings() {
    if (g_pSetupInfo != nullptr) {
        g_pSetupInfo->upsubject = SetupTextFromQt(m_subject->text(), g_pSetupInfo->upsubject);
        g_pSetupInfo->upbody = MultiLineTextFromQt(PlainTextOf(m_body), g_pSetupInfo->upbody);
    }
    return 0;
}
