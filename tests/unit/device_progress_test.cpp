#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "device/ProgressInforAssist.h"

namespace {

struct Recorder : IProgressInfor {
    std::vector<float> positions;
    std::vector<std::u16string> texts;
    std::vector<char> order;  // 'p' or 't' in call order
    void SetProgress(float p) override {
        positions.push_back(p);
        order.push_back('p');
    }
    void SetStatusText(const char16_t* t) override {
        texts.emplace_back(t ? t : u"");
        order.push_back('t');
    }
};

TEST(ProgressInforAssist, ScalesIntoPhaseAndDropsAboveOne) {
    Recorder parent;
    ProgressInforAssist assist(&parent);
    assist.Reached = 0.4f;
    assist.Span = 0.5f;
    assist.SetProgress(0.5f);
    assist.SetProgress(1.2f);
    assist.SetProgress(std::nanf(""));
    assist.SetProgress(-0.1f);
    ASSERT_EQ(parent.positions.size(), 2u);
    EXPECT_FLOAT_EQ(parent.positions[0], 0.65f);
    EXPECT_FLOAT_EQ(parent.positions[1], 0.35f);  // not clamped below
}

TEST(ProgressInforAssist, AdvanceToOnlyMovesForwardBarFirst) {
    Recorder parent;
    ProgressInforAssist assist(&parent);
    assist.Reached = 0.4f;
    AdvanceTo(&assist, 0.4f, u"same");
    EXPECT_TRUE(parent.order.empty());
    AdvanceTo(&assist, 0.97f, u"Process the Fat Table in the FAT32.");
    EXPECT_EQ(parent.order, (std::vector<char>{'p', 't'}));
    EXPECT_FLOAT_EQ(parent.positions[0], 0.97f);
    EXPECT_EQ(parent.texts[0], u"Process the Fat Table in the FAT32.");
    EXPECT_FLOAT_EQ(assist.Reached, 0.97f);
}

TEST(ProgressInforAssist, TreePhaseEndIsNotBelowMilestone) {
    // The tree phase ends at 0.02 + 0.36 in single precision; the next milestone 0.38 is
    // then not ahead, so its status text is never shown.
    Recorder parent;
    ProgressInforAssist assist(&parent);
    assist.Reached = 0.02f;
    assist.Span = 0.36f;
    assist.Reached = assist.Reached + assist.Span;
    assist.Span = 0.0f;
    AdvanceTo(&assist, 0.38f, u"Start to Calculate converting space...");
    EXPECT_TRUE(parent.texts.empty());
}

TEST(SimpleException, NullMessageAndSharedCopies) {
    SimpleException empty(static_cast<const char16_t*>(nullptr), 1);
    EXPECT_EQ(empty.Kind, 1);
    EXPECT_TRUE(empty.Text().empty());

    SimpleException* source = new SimpleException(u"GetVolumeSectors() is error", 1);
    SimpleException copy(*source);
    delete source;
    EXPECT_EQ(copy.Text(), u"GetVolumeSectors() is error");

    SimpleException call(u"CreatePipe", 4, 5);
    EXPECT_EQ(call.Kind, 4);
    EXPECT_EQ(call.ErrorCode, 5);
    EXPECT_EQ(call.Text(), u"CreatePipe");
}

}  // namespace
