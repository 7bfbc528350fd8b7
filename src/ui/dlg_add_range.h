#pragma once

#include <cstdint>

#include <QDialog>

#include "ui/dlg_add_ip.h"

class CHostItem;
class QCheckBox;
class QPushButton;

constexpr const char* kTooManyIPText = "Too many ip address !";

// The host range dialog ("Add IP Range"): one host per IPv4 address from the lower to the
// higher of two addresses, both included, all with the same options. Nothing is added until
// the whole range fits the free slots of the table; every host is visible to the worker
// threads only once it is filled. The caller inserts the rows and sets g_bSetupModified.
// User-interface thread.
class CDlgAddRange : public QDialog {
    Q_OBJECT
public:
    explicit CDlgAddRange(QWidget* parent = nullptr);
    ~CDlgAddRange() override;

    // Runs the dialog modally: IDOK with m_nAdded hosts appended to the table and the row
    // map (host indexes from the table's former count on), IDCANCEL with nothing added.
    int DoModal();

    bool OnInitDialog();
    // Validates and adds; closes with IDOK on success, else shows a box and stays open.
    void OnAdd();

    int m_nTable = 0;
    // After IDOK: the first host created, the template of the others.
    CHostItem* m_pHost = nullptr;
    int m_nAdded = 0;

    CIPAddressCtrl* m_first;  // 1045
    CIPAddressCtrl* m_end;    // 1006
    QCheckBox* m_resolve;     // 1000
    CHostOptionControls m_options;
    QPushButton* m_add;     // 1001
    QPushButton* m_cancel;  // 2
};

// The number of addresses from `a` to `b`, both included, in either order: 1 to 2^32.
uint64_t RangeAddressCount(uint32_t a, uint32_t b);
