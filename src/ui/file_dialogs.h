#pragma once

#include <memory>
#include <string>

class QFileDialog;
class QWidget;

// The file dialog that the File menu's five file commands share, and the bodies of their
// handlers: the dialog, then the command of config/file_commands.h with the chosen path.
// GUI thread only.

enum class SetupFileKind {
    kDocument,  // "All Files": every name, with or without a dot
    kText,      // "Text Files (*.txt)"
};

// The dialog, set up but not shown: save or open mode, the kind's filter, an empty
// file-name field, no default suffix; a save dialog asks before replacing a file.
std::unique_ptr<QFileDialog> MakeSetupFileDialog(QWidget* owner, bool save, SetupFileKind kind);
// Runs the dialog modally. The chosen full path in the file system's encoding, or empty
// when it was cancelled.
std::string ChooseSetupFile(QWidget* owner, bool save, SetupFileKind kind);

// The main frame's handlers. New Template has no dialog: its handler calls
// NewTemplateCommand() alone.
void ExportToFileWithDialog(QWidget* owner);
void ImportFromFileWithDialog(QWidget* owner);
void ImportAppendWithDialog(QWidget* owner);
void ExportToTextWithDialog(QWidget* owner);
void ImportFromTextWithDialog(QWidget* owner);
