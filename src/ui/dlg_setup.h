#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include <QDialog>
#include <QTabWidget>
#include <QWidget>

class CNumberEdit;
class QKeyEvent;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// What a page found wrong in its fields before anything was saved: the field it is about
// (RefuseField gives it the focus) and the text of the warning box.
struct CPageInputError {
    QWidget* field = nullptr;
    std::string text;
};

// The base of the Setup dialog's pages. A page fills its controls from g_pSetupInfo once,
// when the dialog opens, and writes them back only when the dialog's OK saves it. Inside a
// page Enter never presses the dialog's default button (a multi-line edit takes it as a line
// break) and Esc does nothing, so typing in a page cannot end the dialog by accident.
// User-interface thread.
class CDialogBase : public QWidget {
    Q_OBJECT
public:
    // The template id names the page; the parent is the tab control that shows it.
    explicit CDialogBase(int templateId, QWidget* parent = nullptr);
    ~CDialogBase() override;

    // Settings to controls; called once when the Setup dialog opens. Returns true.
    virtual bool OnInitDialog();
    // Controls to settings. Returns 0 (nobody uses the result).
    virtual int SaveSettings();
    // Checks what the page would save; nullopt when everything fits its field. Runs for
    // every page before any page saves, so a refused value leaves the settings untouched.
    virtual std::optional<CPageInputError> CheckInput() const;

    int templateId() const { return m_templateId; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    int m_templateId;
};

// The tab control of the Setup dialog: one tab per page, in a fixed order. Switching tabs
// only shows and hides pages, so edits on a hidden page survive. The tab row itself takes
// no keyboard focus; Ctrl+Tab and the mouse switch pages. User-interface thread.
class CMyTabCtrl : public QTabWidget {
    Q_OBJECT
public:
    static constexpr int kPageCount = 5;

    explicit CMyTabCtrl(QWidget* parent = nullptr);
    ~CMyTabCtrl() override;

    // Creates the five pages with their tab titles, fills them from the settings and shows
    // page 0.
    void InitPages();

    CDialogBase* page(int index) const { return m_pages[static_cast<size_t>(index)]; }
    int pageCount() const { return kPageCount; }
    // Index of the page now shown.
    int currentPage() const { return currentIndex(); }

private:
    // Owned through Qt's parent chain; null until InitPages.
    std::array<CDialogBase*, kPageCount> m_pages{};
};

// The Setup dialog ("Setup", OK and Cancel) over the five pages. OK checks every page,
// then saves them in page order and ends with IDOK; Cancel ends with IDCANCEL and changes
// nothing. The caller sets g_bSetupModified after IDOK. User-interface thread.
class CDlgSetup : public QDialog {
    Q_OBJECT
public:
    explicit CDlgSetup(QWidget* parent = nullptr);
    ~CDlgSetup() override;

    // Runs the dialog modally: IDOK after OK, IDCANCEL otherwise.
    int DoModal();
    // The OK button's handler: checks, saves every page in order and accepts; a refused
    // field keeps the dialog open with its page shown and the field focused.
    void OnButtonOK();

    CMyTabCtrl* tabCtrl() const { return m_tabCtrl; }
    QPushButton* okButton() const { return m_ok; }
    QPushButton* cancelButton() const { return m_cancel; }

private:
    CMyTabCtrl* m_tabCtrl;
    QPushButton* m_cancel;
    QPushButton* m_ok;
};

// Texts between the settings record (UTF-8 byte strings) and the controls.

// Shows a stored text: UTF-8, or Latin-1 when it is not valid UTF-8.
QString SetupTextToQt(const std::string& text);
// The text to store for `shown`: the stored bytes themselves when the control still shows
// exactly them (so text in another encoding survives an OK untouched), else UTF-8.
std::string SetupTextFromQt(const QString& shown, const std::string& stored);
// Multi-line texts are stored with CR LF line ends whatever the editor uses.
QString MultiLineTextToQt(const std::string& text);
std::string MultiLineTextFromQt(const QString& shown, const std::string& stored);
// The text of a multi-line editor with its lines separated by '\n', nothing else altered.
QString PlainTextOf(const QPlainTextEdit* edit);
// A single-line editor that holds a stored text of any length.
void SetLongText(QLineEdit* edit, const std::string& text);

// nullopt when `edit` holds a number it can store, else the error for it.
std::optional<CPageInputError> CheckNumberField(CNumberEdit* edit);

// Up and down arrows beside a number edit, with no buddy: the page steps the edit itself.
// The up arrow reports delta -1, the down arrow +1.
class CSpinArrows : public QWidget {
    Q_OBJECT
public:
    explicit CSpinArrows(QWidget* parent = nullptr);

    QWidget* upButton() const { return m_up; }
    QWidget* downButton() const { return m_down; }

signals:
    void deltaPos(int delta);

private:
    QWidget* m_up;
    QWidget* m_down;
};
