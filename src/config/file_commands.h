#pragma once

#include <string>

// The File menu's commands that move the whole setup between the program and a file,
// without their file dialogs: the main frame's handler shows its dialog and, on OK,
// calls the matching function with the chosen path. Boxes go through the message box
// interface (caption kAppTitle), list rebuilds and saves through the setup hooks.
// User-interface thread only.

// Result of a command that is disabled because monitoring runs: it did nothing.
constexpr int kFileCommandDisabled = -10;

// Texts of the boxes that report a failed import or export.
constexpr const char* kMsgNotSetupFile = "The file is not a setup file";
constexpr const char* kMsgSetupFileTooLarge = "The file is too large for a setup file";
constexpr const char* kMsgSetupFileDamaged = "The setup file is damaged: nothing was imported";
constexpr const char* kMsgWriteFileError = "Write File Error";
constexpr const char* kMsgSetupTooLarge = "The setup is too large to be exported";
constexpr const char* kMsgTextFileTooLarge =
    "The file is too large for a text setup file (more than 64 MB or 2,000,000 lines): "
    "nothing was imported";

// True while the commands that replace, append or delete hosts or settings are enabled:
// monitoring is stopped (the host table's stopped byte is set).
bool SetupCommandsEnabled();

// Reads a setup document file and appends its hosts after the existing rows; of its
// settings only the recipient list (and, from "ZARVEKV311" on, signint and the column
// widths) are taken. Rebuilds the list and stores the setup. Returns 0; -1 the file
// cannot be opened or is no setup document; -2 longer than kMaxSetupLength bytes;
// kSetupReadMismatch; kSetupCorrupt. On failure nothing was changed.
int AppendSetupFromFile(const std::string& path);

// Export to file: serialize, store when modified, write the file. Shows a box when the
// file could not be written. Always enabled. Returns ExportSetupToFile's result.
int ExportToFileCommand(const std::string& path);
// Import From file: replace settings and hosts with the document. Shows a box when the
// file was refused (nothing changed). Returns ImportSetupFromFile's result.
int ImportFromFileCommand(const std::string& path);
// Import & Append From file: AppendSetupFromFile, with a box when the file was refused.
int ImportAppendCommand(const std::string& path);
// New Template: default settings, no hosts, the list emptied, stored at once.
int NewTemplateCommand();
// Export to text file: SaveSetupToIni, with a box when the file could not be written.
int ExportToTextCommand(const std::string& path);
// Import From text file: an INI text with a "version" in "General" overwrites every
// setting and appends its hosts, then the list is rebuilt and the setup stored; a file
// past the INI reader's bounds is refused with a box; any other file goes to the legacy
// host list import.
int ImportFromTextCommand(const std::string& path);
