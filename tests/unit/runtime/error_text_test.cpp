#include "runtime/error_text.h"
#include <errno.h>
#include <gtest/gtest.h>
#include <string>

static std::string text(i64 error)
{
    char buf[k_error_text_max + 1] = {};
    i64 n = append_error_text(buf, 0, error);
    EXPECT_LE(n, k_error_text_max);
    return std::string(buf, n);
}

static std::string name(i64 error)
{
    char buf[32] = {};
    return std::string(buf, append_error_name(buf, 0, error));
}

TEST(AppendErrorText, GivesTheMeaningAndTheNameEitherSign)
{
    EXPECT_EQ(text(-EAGAIN), "Resource temporarily unavailable (EAGAIN)");
    EXPECT_EQ(text(ENOSPC), "No space left on device (ENOSPC)");
    EXPECT_EQ(text(-ELOOP), "Too many levels of symbolic links (ELOOP)");
    EXPECT_EQ(text(-95), "error 95");
    EXPECT_EQ(name(-ENFILE), "ENFILE");
    EXPECT_EQ(name(95), "error 95");
}
