#include "ui/hyper_link.h"

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QMouseEvent>
#include <QWidget>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "platform/message_box.h"
#include "platform/shell_link.h"

namespace {

bool PumpUntil(const std::function<bool()>& condition) {
    return testsupport::WaitUntil([&] {
        QCoreApplication::processEvents();
        return condition();
    });
}

// A link whose mouse position and beep the test controls.
class TestLink : public CHyperLink {
public:
    QPoint cursor{-1000, -1000};
    std::vector<unsigned> beeps;
    using CHyperLink::OnTimer;

protected:
    QPoint CursorPos() const override { return cursor; }
    void MessageBeep(unsigned type) override { beeps.push_back(type); }
};

struct Box {
    std::string caption, text;
    unsigned flags;
};
class RecordingSink : public MessageBoxSink {
public:
    std::vector<Box> boxes;
    int Show(const std::string& caption, const std::string& text, unsigned flags) override {
        boxes.push_back({caption, text, flags});
        return IDOK;
    }
};

// What the fake opener was asked to run, and what it answers.
std::vector<std::vector<std::string>> g_runs;
int g_xdgStatus = 0;
OpenerOutcome FakeOpener(const std::vector<std::string>& argv, uint32_t) {
    g_runs.push_back(argv);
    OpenerOutcome outcome;
    if (argv[0] == "xdg-open") {
        outcome.exited = true;
        outcome.exitStatus = g_xdgStatus;
    }
    return outcome;
}

class HyperLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_parent.resize(400, 200);
        m_label = new QLabel(&m_parent);
        m_label->setGeometry(10, 20, 300, 60);
        m_label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        g_runs.clear();
        g_xdgStatus = 0;
        SetOpenerRunHook(FakeOpener);
        SetMessageBoxSink(&m_sink);
        unsetenv("BROWSER");
    }
    void TearDown() override {
        SetOpenerRunHook(nullptr);
        SetMessageBoxSink(nullptr);
        unsetenv("BROWSER");
    }

    QPoint Inside() const { return m_label->mapToGlobal(QPoint(2, 2)); }
    QPoint Outside() const { return m_label->mapToGlobal(QPoint(-5, -5)); }
    bool Underlined() const { return m_label->font().underline(); }
    QColor TextColour() const { return m_label->palette().color(QPalette::WindowText); }

    void Move(TestLink& link) {
        link.cursor = Inside();
        QMouseEvent move(QEvent::MouseMove, QPointF(2, 2), QPointF(link.cursor), Qt::NoButton,
                         Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(m_label, &move);
    }
    // Clicks and waits until the open reported back.
    void ClickAndWait(TestLink& link) {
        Click();
        ASSERT_TRUE(PumpUntil([&] { return link.pendingOpens() == 0; }));
    }
    void Click(const QPoint& releaseAt = QPoint(2, 2)) {
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(2, 2),
                          QPointF(m_label->mapToGlobal(QPoint(2, 2))), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(m_label, &press);
        QMouseEvent release(QEvent::MouseButtonRelease, QPointF(releaseAt),
                            QPointF(m_label->mapToGlobal(releaseAt)), Qt::LeftButton, Qt::NoButton,
                            Qt::NoModifier);
        QCoreApplication::sendEvent(m_label, &release);
    }

    QWidget m_parent;
    QLabel* m_label = nullptr;
    RecordingSink m_sink;
};

TEST_F(HyperLinkTest, EmptyTextShowsTheTargetAndTextBecomesTheTarget) {
    CHyperLink fromUrl;
    fromUrl.SetURL("file:///usr/share/doc/velmora/index.html");
    ASSERT_TRUE(fromUrl.SubclassWindow(m_label));
    EXPECT_EQ(m_label->text(), "file:///usr/share/doc/velmora/index.html");
    EXPECT_EQ(m_label->toolTip(), "file:///usr/share/doc/velmora/index.html");
    EXPECT_FALSE(fromUrl.SubclassWindow(m_label)) << "a link attaches once";

    QLabel other("mailto:root@localhost", &m_parent);
    CHyperLink fromText;
    ASSERT_TRUE(fromText.SubclassWindow(&other));
    EXPECT_EQ(fromText.GetURL(), "mailto:root@localhost");
    EXPECT_EQ(other.text(), "mailto:root@localhost");
    // The text is never taken as markup.
    EXPECT_EQ(other.textFormat(), Qt::PlainText);
    EXPECT_EQ(other.cursor().shape(), Qt::PointingHandCursor);

    // A new target after attach replaces the tooltip, not the text.
    fromText.SetURL("mailto:postmaster@localhost");
    EXPECT_EQ(other.toolTip(), "mailto:postmaster@localhost");
    EXPECT_EQ(other.text(), "mailto:root@localhost");
}

TEST_F(HyperLinkTest, AModeSetBeforeAttachIsReplacedByHoverOnly) {
    TestLink link;
    link.SetUnderline(1);
    m_label->setText("velmora");
    ASSERT_TRUE(link.SubclassWindow(m_label));
    EXPECT_EQ(link.GetUnderline(), -1);
    EXPECT_FALSE(Underlined());
}

TEST_F(HyperLinkTest, HoverOnlyModeUnderlinesBetweenEnteringAndTheTickThatFindsTheMouseGone) {
    TestLink link;
    m_label->setText("velmora");
    ASSERT_TRUE(link.SubclassWindow(m_label));
    EXPECT_FALSE(Underlined());
    EXPECT_EQ(TextColour(), link.m_crLinkColour);

    Move(link);
    EXPECT_TRUE(link.hovering());
    EXPECT_TRUE(Underlined());
    EXPECT_EQ(TextColour(), link.m_crHoverColour);
    EXPECT_TRUE(link.hoverTimerActive());

    // A tick while the mouse stays changes nothing; the first one after it left ends the hover.
    link.OnTimer();
    EXPECT_TRUE(link.hovering());
    EXPECT_TRUE(Underlined());
    EXPECT_TRUE(link.hoverTimerActive());
    link.cursor = Outside();
    ASSERT_TRUE(PumpUntil([&] { return !link.hovering(); }));
    EXPECT_FALSE(Underlined());
    EXPECT_FALSE(link.hoverTimerActive());
    EXPECT_EQ(TextColour(), link.m_crLinkColour);
}

TEST_F(HyperLinkTest, AlwaysAndNeverModesIgnoreTheMouse) {
    TestLink always;
    m_label->setText("velmora");
    ASSERT_TRUE(always.SubclassWindow(m_label));
    always.SetUnderline(1);
    EXPECT_TRUE(Underlined());
    Move(always);
    EXPECT_TRUE(Underlined());
    always.cursor = Outside();
    ASSERT_TRUE(PumpUntil([&] { return !always.hovering(); }));
    EXPECT_TRUE(Underlined());

    always.SetUnderline(0);
    EXPECT_FALSE(Underlined());
    Move(always);
    EXPECT_TRUE(always.hovering());
    EXPECT_FALSE(Underlined()) << "mode 0 is never underlined";
    EXPECT_EQ(TextColour(), always.m_crHoverColour) << "but still shows the hover colour";
}

TEST_F(HyperLinkTest, FittingKeepsTheLabelsAlignment) {
    struct Case {
        Qt::Alignment align;
        const char* name;
    };
    const QRect start(40, 30, 300, 61);
    for (const Case& c : {Case{Qt::AlignLeft | Qt::AlignTop, "left top"},
                          Case{Qt::AlignRight | Qt::AlignTop, "right"},
                          Case{Qt::AlignHCenter | Qt::AlignVCenter, "centre"},
                          Case{Qt::AlignLeft | Qt::AlignBottom, "bottom"}}) {
        QLabel label("Velmora IPV6 V4.0.0", &m_parent);
        label.setFrameStyle(QFrame::Box | QFrame::Plain);
        label.setLineWidth(2);
        label.setAlignment(c.align);
        label.setGeometry(start);
        CHyperLink link;
        ASSERT_TRUE(link.SubclassWindow(&label));

        QFont underlined = label.font();
        underlined.setUnderline(true);
        const QFontMetrics metrics(underlined);
        const int frame = 4;  // two pixels on each side
        const int width = metrics.horizontalAdvance(label.text()) + frame;
        const int height = metrics.height() + frame;
        const QRect got = label.geometry();
        SCOPED_TRACE(c.name);
        if (c.align & Qt::AlignHCenter) {
            EXPECT_LE(std::abs(got.center().x() - start.center().x()), 1);
            EXPECT_LE(std::abs(got.width() - width), 1);
        } else if (c.align & Qt::AlignRight) {
            EXPECT_EQ(got.right(), start.right());
            EXPECT_EQ(got.width(), width);
        } else {
            EXPECT_EQ(got.left(), start.left());
            EXPECT_EQ(got.width(), width);
        }
        if (c.align & Qt::AlignVCenter) {
            EXPECT_LE(std::abs(got.center().y() - start.center().y()), 1);
            EXPECT_LE(std::abs(got.height() - height), 1);
        } else if (c.align & Qt::AlignBottom) {
            EXPECT_EQ(got.bottom(), start.bottom());
            EXPECT_EQ(got.height(), height);
        } else {
            EXPECT_EQ(got.top(), start.top());
            EXPECT_EQ(got.height(), height);
        }
    }
}

TEST(HyperLinkErrors, EveryCodeOfTheTableHasItsOwnText) {
    const std::vector<std::pair<int, std::string>> table = {
        {0, "The operating system is out\nof memory or resources."},
        {2, "The specified file was not found."},
        {3, "The specified path was not found."},
        {5, "The operating system denied\naccess to the specified file."},
        {8, "There was not enough memory to complete the operation."},
        {11, "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image)."},
        {26, "A sharing violation occurred. "},
        {27, "The filename association is\nincomplete or invalid."},
        {28, "The DDE transaction could not\nbe completed because the request timed out."},
        {29, "The DDE transaction failed."},
        {30,
         "The DDE transaction could not\nbe completed because other DDE transactions\nwere "
         "being processed."},
        {31, "There is no application associated\nwith the given filename extension."},
        {32, "The specified dynamic-link library was not found."},
    };
    for (const auto& [code, text] : table)
        EXPECT_EQ(CHyperLink::OpenErrorText(code), "Unable to open hyperlink:\n\n" + text)
            << "code " << code;
    for (int code : {1, 4, 25, 33, -1, -2147483647 - 1})
        EXPECT_EQ(CHyperLink::OpenErrorText(code), "Unable to open hyperlink:\n\nUnknown Error (" +
                                                       std::to_string(code) + ") occurred.");
}

TEST_F(HyperLinkTest, AFailedOpenBeepsAndShowsItsTextAndLeavesTheLinkUnvisited) {
    TestLink link;
    m_label->setText("file:///nowhere/velmora.html");
    ASSERT_TRUE(link.SubclassWindow(m_label));
    g_xdgStatus = 3;  // xdg-open: no tool for it
    Move(link);
    ClickAndWait(link);
    ASSERT_EQ(g_runs.size(), 1u);
    EXPECT_EQ(g_runs[0], (std::vector<std::string>{"xdg-open", "file:///nowhere/velmora.html"}));
    EXPECT_EQ(link.beeps, std::vector<unsigned>{MB_ICONWARNING});
    ASSERT_EQ(m_sink.boxes.size(), 1u);
    EXPECT_EQ(m_sink.boxes[0].caption, "Velmora IPV6");
    EXPECT_EQ(m_sink.boxes[0].text,
              "Unable to open hyperlink:\n\nThere is no application associated\nwith the given "
              "filename extension.");
    EXPECT_EQ(m_sink.boxes[0].flags, MB_OK | MB_ICONWARNING);
    EXPECT_FALSE(link.visited());
    EXPECT_FALSE(link.hovering());
    EXPECT_EQ(TextColour(), link.m_crLinkColour);

    // A later click that opens it turns it visited; a failing one clears that again.
    g_xdgStatus = 0;
    ClickAndWait(link);
    EXPECT_TRUE(link.visited());
    EXPECT_EQ(TextColour(), link.m_crVisitedColour);
    EXPECT_EQ(m_sink.boxes.size(), 1u);
    EXPECT_EQ(link.beeps.size(), 1u);
    g_xdgStatus = 2;
    ClickAndWait(link);
    EXPECT_FALSE(link.visited());
    ASSERT_EQ(m_sink.boxes.size(), 2u);
    EXPECT_EQ(m_sink.boxes[1].text,
              "Unable to open hyperlink:\n\nThe specified file was not found.");
}

TEST_F(HyperLinkTest, OnlyAReleaseOverTheLinkIsAClick) {
    TestLink link;
    m_label->setText("velmora");
    ASSERT_TRUE(link.SubclassWindow(m_label));
    Click(QPoint(-20, -20));
    EXPECT_EQ(link.pendingOpens(), 0u);
    QMouseEvent right(QEvent::MouseButtonRelease, QPointF(2, 2), QPointF(Inside()), Qt::RightButton,
                      Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(m_label, &right);
    EXPECT_EQ(link.pendingOpens(), 0u);
    ClickAndWait(link);
    EXPECT_EQ(g_runs.size(), 1u);
}

TEST_F(HyperLinkTest, WhenTheDesktopFailsTheBrowserGetsTheTargetAsOneArgument) {
    CHyperLink link;
    const std::string target = "file:///tmp/a b\" --new-window x.html";
    g_xdgStatus = 4;
    // Without a browser the desktop's failure stands.
    EXPECT_EQ(link.OpenURL(target, 5), 27);
    ASSERT_EQ(g_runs.size(), 1u);

    g_runs.clear();
    setenv("BROWSER", "\"/opt/my browser/run\" --private \"%s\" --ignored:other-browser", 1);
    EXPECT_GT(link.OpenURL(target, 5), 32);
    ASSERT_EQ(g_runs.size(), 2u);
    EXPECT_EQ(g_runs[1], (std::vector<std::string>{"/opt/my browser/run", "--private", target}));

    g_runs.clear();
    setenv("BROWSER", "firefox", 1);
    EXPECT_GT(link.OpenURL(target, 5), 32);
    ASSERT_EQ(g_runs.size(), 2u);
    EXPECT_EQ(g_runs[1], (std::vector<std::string>{"firefox", target}));
}

// An opener that keeps the click waiting until the test lets it answer "no tool for it".
std::atomic<bool> g_release{false};
std::atomic<int> g_slowRuns{0};
std::atomic<int> g_slowAnswers{0};
OpenerOutcome SlowOpener(const std::vector<std::string>&, uint32_t) {
    ++g_slowRuns;
    testsupport::WaitUntil([] { return g_release.load(); });
    ++g_slowAnswers;
    OpenerOutcome outcome;
    outcome.exited = true;
    outcome.exitStatus = 3;
    return outcome;
}

TEST_F(HyperLinkTest, ASlowOpenerNeverHoldsUpTheUserInterface) {
    g_release = false;
    g_slowRuns = 0;
    SetOpenerRunHook(SlowOpener);
    TestLink link;
    m_label->setText("file:///tmp/velmora.html");
    ASSERT_TRUE(link.SubclassWindow(m_label));
    Click();
    // The click returned while the opener still decides; the link keeps working meanwhile.
    EXPECT_EQ(link.pendingOpens(), 1u);
    ASSERT_TRUE(PumpUntil([] { return g_slowRuns.load() == 1; }));
    Move(link);
    EXPECT_TRUE(Underlined());
    EXPECT_TRUE(m_sink.boxes.empty());
    g_release = true;
    ASSERT_TRUE(PumpUntil([&] { return link.pendingOpens() == 0; }));
    ASSERT_EQ(m_sink.boxes.size(), 1u);
    EXPECT_EQ(link.beeps.size(), 1u);
}

TEST_F(HyperLinkTest, ALinkGoneBeforeItsOpenAnsweredIsHarmless) {
    g_release = false;
    g_slowRuns = 0;
    g_slowAnswers = 0;
    SetOpenerRunHook(SlowOpener);
    {
        TestLink link;
        m_label->setText("file:///tmp/velmora.html");
        ASSERT_TRUE(link.SubclassWindow(m_label));
        Click();
        ASSERT_TRUE(PumpUntil([] { return g_slowRuns.load() == 1; }));
    }
    g_release = true;
    // The thread finishes on its own; nothing is shown for a link that is gone.
    ASSERT_TRUE(PumpUntil([] { return g_slowAnswers.load() == 1; }));
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
    EXPECT_TRUE(m_sink.boxes.empty());
}

TEST_F(HyperLinkTest, DestroyWindowStopsTheTimerAndRemovesTheLabel) {
    TestLink link;
    m_label->setText("velmora");
    ASSERT_TRUE(link.SubclassWindow(m_label));
    Move(link);
    ASSERT_TRUE(link.hoverTimerActive());
    link.DestroyWindow();
    EXPECT_FALSE(link.hoverTimerActive());
    EXPECT_EQ(link.label(), nullptr);
    EXPECT_TRUE(m_parent.findChildren<QLabel*>().isEmpty());
    m_label = nullptr;
}

TEST_F(HyperLinkTest, ALinkOutlivingItsLabelIsHarmless) {
    auto* link = new TestLink;
    m_label->setText("velmora");
    ASSERT_TRUE(link->SubclassWindow(m_label));
    Move(*link);
    delete m_label;
    m_label = nullptr;
    EXPECT_EQ(link->label(), nullptr);
    link->SetURL("mailto:root@localhost");
    link->SetUnderline(1);
    // The hover timer may still tick once; it must find no label and stop.
    EXPECT_TRUE(PumpUntil([&] { return !link->hoverTimerActive(); }));
    delete link;
}

}  // namespace
