#include "ui/about_dlg.h"

#include <string>
#include <vector>

#include <QApplication>
#include <QCloseEvent>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "platform/shell_link.h"
#include "ui/setup_dialog_fixture.h"

namespace {

using setuptest::WhenModal;

std::vector<std::vector<std::string>> g_opened;
OpenerOutcome RecordOpen(const std::vector<std::string>& argv, uint32_t) {
    g_opened.push_back(argv);
    OpenerOutcome outcome;
    outcome.exited = true;
    return outcome;
}

std::string BesideProgram(const char* name) {
    const QString path = QCoreApplication::applicationDirPath() + "/" + name;
    return "file://" + QUrl::toPercentEncoding(path, "/").toStdString();
}

TEST(AboutDlg, ShowsTitleVersionAndPicture) {
    CAboutDlg dlg;
    EXPECT_EQ(dlg.windowTitle(), "About  Velmora IPV6");
    ASSERT_NE(dlg.Control(CAboutDlg::kProductId), nullptr);
    EXPECT_EQ(dlg.Control(CAboutDlg::kProductId)->text(), "Velmora IPV6 V4.0.0");
    EXPECT_EQ(dlg.Control(CAboutDlg::kMailId)->text(), "root@localhost");
    EXPECT_TRUE(dlg.isModal());
    EXPECT_EQ(dlg.okButton()->text(), "OK");
    EXPECT_TRUE(dlg.okButton()->isDefault());

    // The picture is drawn, not blank, and every control lies inside the box.
    const QLabel* picture = dlg.findChild<QLabel*>("185");
    ASSERT_NE(picture, nullptr);
    const QImage image = picture->pixmap().toImage();
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), picture->size());
    EXPECT_NE(image.pixel(image.width() / 2, image.height() / 3), image.pixel(0, 0));
    for (const QWidget* child : dlg.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        EXPECT_TRUE(dlg.rect().contains(child->geometry())) << child->objectName().toStdString();
}

TEST(AboutDlg, TheThreeLinksAreUnderlinedFromTheStartAndPointAtOurOwnMaterial) {
    CAboutDlg dlg;
    EXPECT_EQ(dlg.m_linkWebSite.label(), dlg.Control(CAboutDlg::kMakerId));
    EXPECT_EQ(dlg.m_linkMail.label(), dlg.Control(CAboutDlg::kMailId));
    EXPECT_EQ(dlg.m_linkProduct.label(), dlg.Control(CAboutDlg::kProductId));
    for (const CHyperLink* link : {&dlg.m_linkWebSite, &dlg.m_linkProduct, &dlg.m_linkMail}) {
        EXPECT_EQ(link->GetUnderline(), 1);
        EXPECT_TRUE(link->label()->font().underline());
        EXPECT_EQ(link->label()->toolTip().toStdString(), link->GetURL());
    }
    EXPECT_EQ(dlg.m_linkWebSite.GetURL(), BesideProgram("README.md"));
    EXPECT_EQ(dlg.m_linkProduct.GetURL(), BesideProgram("help/index.html"));
    EXPECT_EQ(dlg.m_linkMail.GetURL(), "mailto:root@localhost");
    // The file targets are proper URLs of the files, whatever the program's path holds.
    EXPECT_EQ(QUrl(QString::fromStdString(CAboutDlg::ProductTarget())).toLocalFile(),
              QCoreApplication::applicationDirPath() + "/help/index.html");

    // A click hands the target to the desktop.
    g_opened.clear();
    SetOpenerRunHook(RecordOpen);
    dlg.show();
    QTest::mouseClick(dlg.Control(CAboutDlg::kMailId), Qt::LeftButton, Qt::NoModifier,
                      QPoint(2, 2));
    EXPECT_TRUE(testsupport::WaitUntil([&] {
        QCoreApplication::processEvents();
        return dlg.m_linkMail.pendingOpens() == 0;
    }));
    SetOpenerRunHook(nullptr);
    ASSERT_EQ(g_opened.size(), 1u);
    EXPECT_EQ(g_opened[0], (std::vector<std::string>{"xdg-open", "mailto:root@localhost"}));
    EXPECT_TRUE(dlg.m_linkMail.visited());
    EXPECT_TRUE(dlg.m_linkMail.label()->font().underline());
}

TEST(AboutDlg, OkEscAndTheCloseButtonCloseTheBox) {
    {
        CAboutDlg dlg;
        WhenModal<CAboutDlg>(
            [](CAboutDlg* d) { QTest::mouseClick(d->okButton(), Qt::LeftButton); });
        EXPECT_EQ(dlg.exec(), QDialog::Accepted);
        EXPECT_FALSE(dlg.isVisible());
    }
    {
        CAboutDlg dlg;
        WhenModal<CAboutDlg>([](CAboutDlg* d) { QTest::keyClick(d, Qt::Key_Escape); });
        EXPECT_EQ(dlg.exec(), QDialog::Rejected);
        EXPECT_FALSE(dlg.isVisible());
    }
    {
        CAboutDlg dlg;
        // What the caption's close button sends.
        WhenModal<CAboutDlg>([](CAboutDlg* d) {
            QCloseEvent close;
            QApplication::sendEvent(d, &close);
        });
        EXPECT_EQ(dlg.exec(), QDialog::Rejected);
        EXPECT_FALSE(dlg.isVisible());
    }
    {
        CAboutDlg dlg;
        // Enter presses the default button.
        WhenModal<CAboutDlg>([](CAboutDlg* d) { QTest::keyClick(d, Qt::Key_Return); });
        EXPECT_EQ(dlg.exec(), QDialog::Accepted);
    }
}

}  // namespace
