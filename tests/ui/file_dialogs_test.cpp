#include "ui/file_dialogs.h"

#include <functional>

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>

#include <gtest/gtest.h>

#include "config/config_fixture.h"
#include "ui/setup_dialog_fixture.h"

namespace {

using configtest::ConfigTest;

// Answers the next file dialog that opens: chooses `path` (cancels when it is empty). Any box the
// dialog itself raises is recorded in `boxes` and answered No, which leaves the dialog open: the
// test then fails and the dialog is ended.
void AnswerNextDialog(const QString& path, QStringList* boxes) {
    setuptest::WhenModal<QFileDialog>([path, boxes](QFileDialog* dialog) {
        if (path.isEmpty()) {
            dialog->reject();
            return;
        }
        // A box runs its own loop inside the dialog's checks: answered from there.
        QTimer answerer;
        QObject::connect(&answerer, &QTimer::timeout, [boxes] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                boxes->append(box->text());
                box->done(QMessageBox::No);
            }
        });
        answerer.start(10);
        setuptest::ChooseInFileDialog(dialog, path);
    });
}

class FileDialogsTest : public ConfigTest {};

TEST_F(FileDialogsTest, DialogsMatchFilesWithoutADotAndStartWithAnEmptyName) {
    WriteFile(m_dir.File("hostlist"), "x");
    WriteFile(m_dir.File("setup.txt"), "x");
    for (bool save : {false, true}) {
        const auto all = MakeSetupFileDialog(nullptr, save, SetupFileKind::kDocument);
        EXPECT_EQ(all->acceptMode(), save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
        EXPECT_FALSE(all->testOption(QFileDialog::DontConfirmOverwrite));
        EXPECT_TRUE(all->defaultSuffix().isEmpty());
        ASSERT_EQ(all->nameFilters().size(), 1);
        const QStringList patterns = {QStringLiteral("*")};
        EXPECT_EQ(all->nameFilters().constFirst(), "All Files (*)");
        EXPECT_TRUE(QDir(QString::fromStdString(m_dir.path()))
                        .entryList(patterns, QDir::Files)
                        .contains("hostlist"));
        auto* name = all->findChild<QLineEdit*>("fileNameEdit");
        ASSERT_NE(name, nullptr);
        EXPECT_TRUE(name->text().isEmpty());
        const auto text = MakeSetupFileDialog(nullptr, save, SetupFileKind::kText);
        EXPECT_EQ(text->nameFilters(), QStringList{"Text Files (*.txt)"});
    }
}

TEST_F(FileDialogsTest, HandlersRunTheCommandOnOkAndNothingOnCancel) {
    Add("host", "10.0.0.1");
    const std::string path = m_dir.File("export.txt");
    QStringList boxes;
    AnswerNextDialog(QString(), &boxes);
    ExportToTextWithDialog(nullptr);
    EXPECT_TRUE(ReadFile(path).empty());

    AnswerNextDialog(QString::fromStdString(path), &boxes);
    ExportToTextWithDialog(nullptr);
    EXPECT_EQ(ReadFile(path).rfind("[General]\r\nversion=4.0.0\r\n", 0), 0u);

    AnswerNextDialog(QString::fromStdString(path), &boxes);
    ImportFromTextWithDialog(nullptr);
    EXPECT_EQ(Count(), 2);
    EXPECT_EQ(m_hooks.rebuilds, 1);
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join(" | ").toStdString();
    EXPECT_TRUE(m_boxes.shown.empty());
}

}  // namespace
