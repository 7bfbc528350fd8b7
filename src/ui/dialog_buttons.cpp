#include "ui/dialog_buttons.h"

#include <QDialog>
#include <QPushButton>

void SetDialogButtons(QDialog* dialog, QPushButton* accept, QPushButton* cancel) {
    accept->setDefault(true);
    accept->setAutoDefault(true);
    cancel->setAutoDefault(true);
    QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
}
