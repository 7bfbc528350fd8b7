#include "ui/file_dialogs.h"

#include <QFile>
#include <QFileDialog>
#include <QStringList>

#include "config/file_commands.h"

std::unique_ptr<QFileDialog> MakeSetupFileDialog(QWidget* owner, bool save, SetupFileKind kind) {
    auto dialog = std::make_unique<QFileDialog>(owner);
    dialog->setObjectName(QStringLiteral("setupFileDialog"));
    dialog->setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog->setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    // "*" and not "*.*": on this system many files have no dot in their names.
    dialog->setNameFilters(kind == SetupFileKind::kText
                               ? QStringList{QStringLiteral("Text Files (*.txt)")}
                               : QStringList{QStringLiteral("All Files (*)")});
    dialog->setOption(QFileDialog::DontConfirmOverwrite, false);
    dialog->setDefaultSuffix(QString());
    // The name field starts empty: a blank there would become a file named " ".
    dialog->selectFile(QString());
    return dialog;
}

std::string ChooseSetupFile(QWidget* owner, bool save, SetupFileKind kind) {
    const std::unique_ptr<QFileDialog> dialog = MakeSetupFileDialog(owner, save, kind);
    if (dialog->exec() != QDialog::Accepted)
        return {};
    const QStringList chosen = dialog->selectedFiles();
    if (chosen.isEmpty() || chosen.constFirst().isEmpty())
        return {};
    return QFile::encodeName(chosen.constFirst()).toStdString();
}

void ExportToFileWithDialog(QWidget* owner) {
    const std::string path = ChooseSetupFile(owner, true, SetupFileKind::kDocument);
    if (!path.empty())
        ExportToFileCommand(path);
}

void ImportFromFileWithDialog(QWidget* owner) {
    const std::string path = ChooseSetupFile(owner, false, SetupFileKind::kDocument);
    if (!path.empty())
        ImportFromFileCommand(path);
}

void ImportAppendWithDialog(QWidget* owner) {
    const std::string path = ChooseSetupFile(owner, false, SetupFileKind::kDocument);
    if (!path.empty())
        ImportAppendCommand(path);
}

void ExportToTextWithDialog(QWidget* owner) {
    const std::string path = ChooseSetupFile(owner, true, SetupFileKind::kText);
    if (!path.empty())
        ExportToTextCommand(path);
}

void ImportFromTextWithDialog(QWidget* owner) {
    const std::string path = ChooseSetupFile(owner, false, SetupFileKind::kText);
    if (!path.empty())
        ImportFromTextCommand(path);
}
