#pragma once

#include "ui/dlg_setup.h"

class QPlainTextEdit;

// The five lines of the placeholder legend under the text pages' editors; a tab separates
// each placeholder from its meaning.
extern const char* const kMacroLegendLines[5];

// The Exec page: the parameter line of the program run on an event. User-interface thread.
class CDlgExec : public CDialogBase {
    Q_OBJECT
public:
    explicit CDlgExec(QWidget* parent = nullptr);
    ~CDlgExec() override;

    bool OnInitDialog() override;
    int SaveSettings() override;

    QPlainTextEdit* m_parameter;  // execpara
};

// The subject and body of one kind of event mail: the base of the Mail Down and Mail Up
// pages, which differ only in the fields they edit. User-interface thread.
class CDlgMailText : public CDialogBase {
    Q_OBJECT
public:
    CDlgMailText(int templateId, const char* objectName, QWidget* parent);
    ~CDlgMailText() override;

    QLineEdit* m_subject;    // downsubject / upsubject
    QPlainTextEdit* m_body;  // downbody / upbody
};

class CDlgMailDown : public CDlgMailText {
    Q_OBJECT
public:
    explicit CDlgMailDown(QWidget* parent = nullptr);

    bool OnInitDialog() override;
    int SaveSettings() override;
};

class CDlgMailUP : public CDlgMailText {
    Q_OBJECT
public:
    explicit CDlgMailUP(QWidget* parent = nullptr);

    bool OnInitDialog() override;
    int SaveSettings() override;
};
