#include "ui/dlg_add_range.h"

#include <QCheckBox>
#include <QPushButton>

#include "platform/message_box.h"

CDlgAddRange::CDlgAddRange(QWidget* parent) : QDialog(parent), m_options(this) {
    m_first = new CIPAddressCtrl(this);
    m_end = new CIPAddressCtrl(this);
    m_resolve = new QCheckBox(this);
    m_add = new QPushButton(this);
    m_cancel = new QPushButton(this);
}
CDlgAddRange::~CDlgAddRange() = default;
int CDlgAddRange::DoModal() {
    OnInitDialog();
    return exec() == QDialog::Accepted ? IDOK : IDCANCEL;
}
bool CDlgAddRange::OnInitDialog() {
    return true;
}
void CDlgAddRange::OnAdd() {}
uint64_t RangeAddressCount(uint32_t a, uint32_t b) {
    return (a > b ? uint64_t{a} - b : uint64_t{b} - a) + 1;
}
