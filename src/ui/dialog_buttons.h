#pragma once

class QDialog;
class QPushButton;

// Sets up the buttons that end `dialog`: Enter presses `accept` while the focus is on no
// other button, and `cancel` rejects the dialog. Every push button of the dialog takes
// Enter while it has the focus, so Enter on a focused Cancel cancels instead of passing the
// key on to the default button. User-interface thread.
void SetDialogButtons(QDialog* dialog, QPushButton* accept, QPushButton* cancel);
