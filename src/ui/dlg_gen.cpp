#include "ui/dlg_gen.h"

#include <limits>

#include <QButtonGroup>
#include <QCheckBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "alerts/log_file.h"
#include "config/setup_info.h"
#include "platform/message_box.h"
#include "ui/main_frame.h"
#include "ui/number_edit.h"
#include "ui/ui_setup_hooks.h"

namespace {

QCheckBox* CheckBox(const char* text, const char* name, QWidget* parent) {
    auto* box = new QCheckBox(QString::fromLatin1(text), parent);
    box->setObjectName(name);
    return box;
}

// A number of the page: any 32-bit value typed is saved as typed (no range check).
CNumberEdit* NumberEdit(const char* objectName, const char* name, QWidget* parent) {
    return NewNumberEdit(objectName, name, std::numeric_limits<int32_t>::min(),
                         std::numeric_limits<int32_t>::max(), 90, parent);
}

QPushButton* PageButton(const char* text, const char* name, QWidget* parent) {
    auto* button = new QPushButton(QString::fromLatin1(text), parent);
    button->setObjectName(name);
    // Enter inside a page presses nothing; Space presses the focused button.
    button->setAutoDefault(false);
    return button;
}

// An edit followed by its spin arrows and an optional unit label.
QHBoxLayout* NumberRow(QLineEdit* edit, CSpinArrows* spin, const char* unit) {
    auto* row = new QHBoxLayout;
    row->setSpacing(2);
    row->addWidget(edit);
    row->addWidget(spin);
    if (unit != nullptr)
        row->addWidget(new QLabel(QString::fromLatin1(unit)));
    row->addStretch(1);
    return row;
}

// An Open-style file dialog; nullopt when it was cancelled.
std::optional<QString> ChooseFile(QWidget* parent, const QStringList& filters,
                                  const QString& defaultSuffix, QFileDialog::FileMode mode) {
    QFileDialog dialog(parent);
    dialog.setObjectName("browseDialog");
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(mode);
    dialog.setNameFilters(filters);
    dialog.setDefaultSuffix(defaultSuffix);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().constFirst();
}

void SetChecked(QCheckBox* box, bool on) {
    box->setChecked(on);
}

}  // namespace

CDlgGen::CDlgGen(QWidget* parent) : CDialogBase(149, parent) {
    setObjectName("pageGeneral");

    auto* startup = new QGroupBox(QStringLiteral("STARTUP"), this);
    m_runAtStartup = CheckBox("Run Velmora at start up", "runAtStartup", startup);
    m_autoStart = CheckBox("Start service automatically", "autoStart", startup);
    auto* startupLayout = new QHBoxLayout(startup);
    startupLayout->addWidget(m_runAtStartup);
    startupLayout->addWidget(m_autoStart);
    startupLayout->addStretch(1);

    auto* notify = new QGroupBox(QStringLiteral("NOTIFY"), this);
    m_sendMail = CheckBox("Send Email", "sendMail", notify);
    m_runExe = CheckBox("Run the Exe:", "runExe", notify);
    m_exeFileName = new QLineEdit(notify);
    m_exeFileName->setObjectName("exeFileName");
    m_browseExe = PageButton("Browse", "browseExe", notify);
    m_popupBox = CheckBox("Popup a Message Box ", "popupBox", notify);
    m_beep = CheckBox("Sound", "beep", notify);
    m_untilBroken = new QRadioButton(QStringLiteral("Until By Breaking"), notify);
    m_untilBroken->setObjectName("untilBroken");
    m_duration = new QRadioButton(QStringLiteral("Duration:"), notify);
    m_duration->setObjectName("duration");
    m_beepSeconds = NumberEdit("beepSeconds", "Sound duration (seconds)", notify);
    m_beepSpin = new CSpinArrows(notify);
    m_beepSpin->setObjectName("beepSpin");
    m_beepMode = new QButtonGroup(this);
    m_beepMode->addButton(m_untilBroken);
    m_beepMode->addButton(m_duration);
    auto* notifyLayout = new QGridLayout(notify);
    notifyLayout->addWidget(m_sendMail, 0, 0);
    notifyLayout->addWidget(m_runExe, 1, 0);
    auto* exeRow = new QHBoxLayout;
    exeRow->addWidget(m_exeFileName, 1);
    exeRow->addWidget(m_browseExe);
    notifyLayout->addLayout(exeRow, 1, 1, 1, 3);
    notifyLayout->addWidget(m_popupBox, 2, 0);
    notifyLayout->addWidget(m_beep, 3, 0);
    notifyLayout->addWidget(m_untilBroken, 3, 1);
    notifyLayout->addWidget(m_duration, 3, 2);
    notifyLayout->addLayout(NumberRow(m_beepSeconds, m_beepSpin, "S"), 3, 3);
    notifyLayout->setColumnStretch(3, 1);

    auto* trigger = new QGroupBox(QStringLiteral("NOTIFY TRIGGER"), this);
    m_needLostCount = CheckBox("Continuous Lost", "needLostCount", trigger);
    m_continueLost = NumberEdit("continueLost", "Continuous Lost", trigger);
    m_continueSpin = new CSpinArrows(trigger);
    m_continueSpin->setObjectName("continueSpin");
    m_needLostRate = CheckBox("Lost rate", "needLostRate", trigger);
    m_lostRate = NumberEdit("lostRate", "Lost rate (%)", trigger);
    m_lostRateSpin = new CSpinArrows(trigger);
    m_lostRateSpin->setObjectName("lostRateSpin");
    auto* triggerLayout = new QHBoxLayout(trigger);
    triggerLayout->addWidget(m_needLostCount);
    triggerLayout->addLayout(NumberRow(m_continueLost, m_continueSpin, nullptr));
    triggerLayout->addSpacing(12);
    triggerLayout->addWidget(m_needLostRate);
    triggerLayout->addLayout(NumberRow(m_lostRate, m_lostRateSpin, "%"));

    auto* log = new QGroupBox(QStringLiteral("LOG"), this);
    auto* logLabel = new QLabel(QStringLiteral("Log Filename: "), log);
    m_logFileName = new QLineEdit(log);
    m_logFileName->setObjectName("logFileName");
    logLabel->setBuddy(m_logFileName);
    m_browseLog = PageButton("Browse", "browseLog", log);
    m_csv = CheckBox("Save as CSV file", "csv", log);
    m_logAll = CheckBox("Log Event Summary every 60 seconds", "logAll", log);
    m_logChange = CheckBox("Log state changed Event", "logChange", log);
    m_logNotify = CheckBox("Log notify Event", "logNotify", log);
    auto* logLayout = new QGridLayout(log);
    logLayout->addWidget(logLabel, 0, 0);
    logLayout->addWidget(m_logFileName, 0, 1);
    logLayout->addWidget(m_browseLog, 0, 2);
    logLayout->addWidget(m_csv, 1, 0, 1, 3);
    logLayout->addWidget(m_logAll, 2, 0, 1, 3);
    logLayout->addWidget(m_logChange, 3, 0, 1, 3);
    logLayout->addWidget(m_logNotify, 4, 0, 1, 3);
    logLayout->setColumnStretch(1, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(startup);
    layout->addWidget(notify);
    layout->addWidget(trigger);
    layout->addWidget(log);
    layout->addStretch(1);

    connect(m_untilBroken, &QRadioButton::clicked, this, &CDlgGen::OnUntilBroken);
    connect(m_duration, &QRadioButton::clicked, this, &CDlgGen::OnDuration);
    connect(m_browseExe, &QPushButton::clicked, this, &CDlgGen::OnBrowseExe);
    connect(m_browseLog, &QPushButton::clicked, this, &CDlgGen::OnBrowseLog);
    connect(m_beepSpin, &CSpinArrows::deltaPos, this,
            [this](int delta) { StepNumber(m_beepSeconds, delta, 1, 1, kMaxBeepSeconds); });
    connect(m_continueSpin, &CSpinArrows::deltaPos, this,
            [this](int delta) { StepNumber(m_continueLost, delta, 1, 1, kMaxContinueLost); });
    connect(m_lostRateSpin, &CSpinArrows::deltaPos, this,
            [this](int delta) { StepNumber(m_lostRate, delta, 1, 1, kMaxLostRatePercent); });
}

CDlgGen::~CDlgGen() = default;

bool CDlgGen::OnInitDialog() {
    const CSetupInfo* setup = g_pSetupInfo;
    if (setup == nullptr)
        return true;
    SetChecked(m_runAtStartup, (setup->start_set & kStartSetRunAtLogon) != 0);
    SetChecked(m_autoStart, (setup->start_set & kStartSetAutoStart) != 0);
    SetChecked(m_sendMail, setup->sendmail != 0);
    SetLongText(m_exeFileName, setup->exefilename);
    SetChecked(m_runExe, setup->runexe != 0);
    m_exeFileName->setEnabled(true);
    m_browseExe->setEnabled(true);
    SetChecked(m_popupBox, setup->popupbox != 0);
    SetChecked(m_beep, setup->beep != 0);
    if (setup->beepbreak != 0) {
        m_untilBroken->setChecked(true);
        OnUntilBroken();
    } else {
        m_duration->setChecked(true);
        OnDuration();
    }
    m_beepSeconds->ShowNumber(setup->beepseconds);
    SetChecked(m_needLostCount, setup->needlostcount != 0);
    m_continueLost->ShowNumber(setup->continuelost);
    SetChecked(m_needLostRate, setup->needlostrate != 0);
    m_lostRate->ShowNumber(setup->lostrate);
    SetLongText(m_logFileName, setup->logfilename);
    SetChecked(m_logAll, setup->logall != 0);
    SetChecked(m_logChange, setup->logchange != 0);
    SetChecked(m_logNotify, setup->lognotify != 0);
    SetChecked(m_csv, setup->LogAsCsv());
    return true;
}

std::optional<CPageInputError> CDlgGen::CheckInput() const {
    for (CNumberEdit* edit : {m_beepSeconds, m_continueLost, m_lostRate})
        if (auto error = CheckNumberField(edit))
            return error;
    return std::nullopt;
}

int CDlgGen::SaveSettings() {
    CSetupInfo* setup = g_pSetupInfo;
    if (setup == nullptr)
        return 0;
    // The page owns bits 0 and 1; any other bit was put there by someone else and stays.
    int32_t startSet = setup->start_set & ~(kStartSetRunAtLogon | kStartSetAutoStart);
    if (m_runAtStartup->isChecked())
        startSet |= kStartSetRunAtLogon;
    if (m_autoStart->isChecked())
        startSet |= kStartSetAutoStart;
    setup->start_set = startSet;
    CMainFrame::KeepRunAtLogon();

    setup->sendmail = m_sendMail->isChecked() ? 1 : 0;
    setup->exefilename = SetupTextFromQt(m_exeFileName->text(), setup->exefilename);
    setup->runexe = m_runExe->isChecked() ? 1 : 0;
    setup->popupbox = m_popupBox->isChecked() ? 1 : 0;
    setup->beep = m_beep->isChecked() ? 1 : 0;

    setup->beepbreak = m_untilBroken->isChecked() ? 1 : 0;
    // CheckInput ran first: every number fits its field here.
    setup->beepseconds = static_cast<int32_t>(m_beepSeconds->Number().value_or(setup->beepseconds));

    setup->needlostcount = m_needLostCount->isChecked() ? 1 : 0;
    setup->continuelost =
        static_cast<int32_t>(m_continueLost->Number().value_or(setup->continuelost));
    setup->needlostrate = m_needLostRate->isChecked() ? 1 : 0;
    setup->lostrate = static_cast<int32_t>(m_lostRate->Number().value_or(setup->lostrate));

    setup->logfilename = SetupTextFromQt(m_logFileName->text(), setup->logfilename);
    if (!ReopenLogFile(setup->logfilename))
        ShowMessageBox(kBoxCaption, LogFileOpenFailedText(setup->logfilename),
                       MB_OK | MB_ICONWARNING);

    setup->logall = m_logAll->isChecked() ? 1 : 0;
    setup->logchange = m_logChange->isChecked() ? 1 : 0;
    setup->lognotify = m_logNotify->isChecked() ? 1 : 0;
    if (m_csv->isChecked())
        setup->reserve2 = static_cast<uint16_t>(setup->reserve2 | kReserve2CsvLog);
    else
        setup->reserve2 = static_cast<uint16_t>(setup->reserve2 & ~kReserve2CsvLog);
    return 0;
}

void CDlgGen::OnUntilBroken() {
    m_beepSeconds->setEnabled(false);
    m_beepSpin->setEnabled(false);
}

void CDlgGen::OnDuration() {
    m_beepSeconds->setEnabled(true);
    m_beepSpin->setEnabled(true);
}

void CDlgGen::OnBrowseExe() {
    // Programs here carry no extension, so every file is offered.
    if (std::optional<QString> path = ChooseFile(window(), {QStringLiteral("All files (*)")},
                                                 QString(), QFileDialog::ExistingFile))
        m_exeFileName->setText(*path);
}

void CDlgGen::OnBrowseLog() {
    // A log file may not exist yet: any name can be chosen.
    const QStringList filters = {
        QStringLiteral("log file (*.log)"), QStringLiteral("Text file (*.txt)"),
        QStringLiteral("CSV file (*.csv)"), QStringLiteral("All files (*)")};
    if (std::optional<QString> path =
            ChooseFile(window(), filters, QStringLiteral("log"), QFileDialog::AnyFile))
        m_logFileName->setText(*path);
}
