#include "admin/setting_save.h"
#include "runtime/abi.h"
#include "runtime/heap.h"
#include <gtest/gtest.h>
#include <string>

namespace {

struct SettingSaveTest : ::testing::Test {
    char* mark = nullptr;
    void SetUp() override
    {
        if (!heap.heap_base)
            heap_init();
        mark = heap_mark();
    }
    void TearDown() override { heap_release(mark); }
    std::string answer(const SettingSave& save)
    {
        JsonAnswer out(json_answer_size(1 + k_save_answer_numbers, k_save_answer_texts, k_save_answer_text_bytes));
        answer_save(out.number("profile", 1), save);
        ByteSpan body = out.body();
        return body.ptr ? std::string(body.ptr, body.len) : "<did not fit>";
    }
};

TEST_F(SettingSaveTest, SavedSaysSoAndPrintsNothing)
{
    testing::internal::CaptureStdout();
    SettingSave save = save_outcome("the profile", "/etc/cindervox/policy.conf", 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(answer(save), R"({"ok":true,"profile":1,"persisted":true)");
}

TEST_F(SettingSaveTest, FailedSaveGivesTheReasonAndOneConsoleLine)
{
    testing::internal::CaptureStdout();
    SettingSave save = save_outcome("the profile", "/etc/cindervox/policy.conf", -EROFS);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
        "[Cindervox] WARNING: the profile is in force but not saved: could not write /etc/cindervox/policy.conf: "
        "Read-only file system (EROFS)\n");
    EXPECT_EQ(answer(save),
        R"x({"ok":true,"profile":1,"persisted":false,"reason":"could not write /etc/cindervox/policy.conf: Read-only file system (EROFS)")x");
}

// The longest reason: the longest error text and the note after it still fit the answer.
TEST_F(SettingSaveTest, LongestReasonFits)
{
    std::string after(100, '"');
    testing::internal::CaptureStdout();
    SettingSave save = save_outcome(std::string(100, 'w').c_str(), "/etc/cindervox/config", -EINTR, after.c_str());
    SettingSave kept = not_saved("x", std::string(300, 'r').c_str());
    testing::internal::GetCapturedStdout();
    EXPECT_LE(save.reason_len, k_save_reason_max);
    EXPECT_NE(answer(save), "<did not fit>");
    EXPECT_EQ(kept.reason_len, k_save_reason_max);
    EXPECT_NE(answer(kept), "<did not fit>");
}

} // namespace
