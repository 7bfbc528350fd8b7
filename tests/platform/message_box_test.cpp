#include "platform/message_box.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

class RecordingSink : public MessageBoxSink {
public:
    struct Box {
        std::string caption;
        std::string text;
        unsigned flags;
    };
    int Show(const std::string& caption, const std::string& text, unsigned flags) override {
        boxes.push_back({caption, text, flags});
        return answer;
    }
    std::vector<Box> boxes;
    int answer = IDYES;
};

TEST(MessageBoxTest, InstalledSinkGetsEveryBoxAndGivesTheAnswer) {
    RecordingSink sink;
    SetMessageBoxSink(&sink);
    EXPECT_EQ(ShowMessageBox("Create port failed !", ""), IDYES);
    EXPECT_EQ(ShowMessageBox("", "bind() failed with error code 13\n", MB_OK | MB_ICONERROR),
              IDYES);
    SetMessageBoxSink(nullptr);
    ASSERT_EQ(sink.boxes.size(), 2u);
    EXPECT_EQ(sink.boxes[0].caption, "Create port failed !");
    EXPECT_EQ(sink.boxes[0].text, "");
    EXPECT_EQ(sink.boxes[0].flags, MB_OK);
    EXPECT_EQ(sink.boxes[1].text, "bind() failed with error code 13\n");
    EXPECT_EQ(sink.boxes[1].flags, MB_OK | MB_ICONERROR);
}

TEST(MessageBoxTest, DefaultWritesToStderrAndNeverSaysYes) {
    SetMessageBoxSink(nullptr);
    testing::internal::CaptureStderr();
    int ok = ShowMessageBox("Velmora", "Start recv failed!");
    int question = ShowMessageBox("Velmora", "Delete all hosts?", MB_YESNO | MB_ICONQUESTION);
    std::string written = testing::internal::GetCapturedStderr();
    EXPECT_EQ(ok, IDOK);
    EXPECT_EQ(question, IDNO);
    EXPECT_EQ(written, "Velmora: Start recv failed!\nVelmora: Delete all hosts?\n");
}

}  // namespace
