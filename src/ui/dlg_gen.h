#pragma once

#include <cstdint>
#include <optional>

#include "ui/dlg_setup.h"
#include "ui/number_edit.h"

class QButtonGroup;
class QCheckBox;
class QRadioButton;

// The highest numbers the General page's spin arrows step to: none of the three has a limit
// of its own, so the arrows stop only where the field does.
constexpr int64_t kMaxBeepSeconds = 2147483647;
constexpr int64_t kMaxContinueLost = 2147483647;
constexpr int64_t kMaxLostRatePercent = 2147483647;

// The General page: alert switches, the program to run, the sound, the two event triggers,
// the log file with its options and the start-up flags. Saving it reopens the log file
// under the name just entered. User-interface thread.
class CDlgGen : public CDialogBase {
    Q_OBJECT
public:
    explicit CDlgGen(QWidget* parent = nullptr);
    ~CDlgGen() override;

    bool OnInitDialog() override;
    int SaveSettings() override;
    std::optional<CPageInputError> CheckInput() const override;

    void OnUntilBroken();
    void OnDuration();
    void OnBrowseExe();
    void OnBrowseLog();

    // Controls, named after what they edit.
    QCheckBox* m_runAtStartup;    // start_set bit 0
    QCheckBox* m_autoStart;       // start_set bit 1
    QCheckBox* m_sendMail;        // sendmail
    QCheckBox* m_runExe;          // runexe
    QLineEdit* m_exeFileName;     // exefilename
    QPushButton* m_browseExe;     //
    QCheckBox* m_popupBox;        // popupbox
    QCheckBox* m_beep;            // beep
    QRadioButton* m_untilBroken;  // beepbreak = 1
    QRadioButton* m_duration;     // beepbreak = 0
    CNumberEdit* m_beepSeconds;   // beepseconds
    CSpinArrows* m_beepSpin;
    QCheckBox* m_needLostCount;   // needlostcount
    CNumberEdit* m_continueLost;  // continuelost
    CSpinArrows* m_continueSpin;
    QCheckBox* m_needLostRate;  // needlostrate
    CNumberEdit* m_lostRate;    // lostrate
    CSpinArrows* m_lostRateSpin;
    QLineEdit* m_logFileName;  // logfilename
    QPushButton* m_browseLog;
    QCheckBox* m_csv;        // reserve2 bit 0
    QCheckBox* m_logAll;     // logall
    QCheckBox* m_logChange;  // logchange
    QCheckBox* m_logNotify;  // lognotify

private:
    QButtonGroup* m_beepMode;
};
