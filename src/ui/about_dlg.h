#pragma once

#include <string>

#include <QDialog>
#include <QPixmap>
#include <QSize>

#include "ui/hyper_link.h"

class QLabel;
class QPushButton;

// The About box: the product's title and version, its picture, and three links (who made
// it, the product's pages, the support address). OK, Esc and the caption's close button
// close it; nothing is stored. Shown modally. User-interface thread.
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    // Control ids of the template, also the labels' object names.
    static constexpr int kMakerId = 1020;
    static constexpr int kProductId = 1046;
    static constexpr int kMailId = 1047;

    // The link targets: the README beside the program, the help pages beside the program,
    // and the support mailbox of the local machine.
    static std::string MakerTarget();
    static std::string ProductTarget();
    static std::string MailTarget();

    // The label of a control of the template, or nullptr.
    QLabel* Control(int id) const;
    QPushButton* okButton() const { return m_ok; }

    CHyperLink m_linkWebSite;
    CHyperLink m_linkMail;
    CHyperLink m_linkProduct;

protected:
    // Attaches the three links to their labels.
    void DoDataExchange();
    // Data exchange first, then each link's target, always underlined.
    bool OnInitDialog();

private:
    QPushButton* m_ok = nullptr;
};

// The About picture, drawn for this program: a screen with a round-trip trace and hosts
// in their state colours. Any size.
QPixmap DrawAboutPicture(QSize size);
