#include "runtime/query.h"
#include <gtest/gtest.h>
#include <string.h>
#include <string>

namespace {

std::string param(const std::string& query, const char* name)
{
    ByteSpan value = query_param({ query.data(), (i64)query.size() }, name);
    return value.ptr == nullptr ? "<none>" : std::string(value.ptr, value.len);
}

std::string decoded(const std::string& text, i64 capacity = 64)
{
    std::string out(capacity, '\0');
    i64 len = percent_decode({ text.data(), (i64)text.size() }, out.data(), capacity);
    return len < 0 ? "<too long>" : out.substr(0, len);
}

TEST(QueryParam, FirstExactNameWins)
{
    EXPECT_EQ(param("a=1&b=2", "b"), "2");
    EXPECT_EQ(param("b=1&b=2", "b"), "1");
    EXPECT_EQ(param("bb=1&xb=3&b", "b"), "");
    EXPECT_EQ(param("bb=1", "b"), "<none>");
    EXPECT_EQ(param("", "b"), "<none>");
    EXPECT_EQ(param("a=x=y", "a"), "x=y");
    EXPECT_EQ(param("&&a=&", "a"), "");
}

TEST(PercentDecode, HexPairsOnlyAndNothingPastCapacity)
{
    EXPECT_EQ(decoded("a%20b%2fc%2F"), "a b/c/");
    EXPECT_EQ(decoded("100%"), "100%");
    EXPECT_EQ(decoded("%zz%4"), "%zz%4");
    EXPECT_EQ(decoded("a+b"), "a+b");
    EXPECT_EQ(decoded("%00x"), std::string("\0x", 2));
    EXPECT_EQ(decoded("%41%42", 2), "AB");
    EXPECT_EQ(decoded("%41%42c", 2), "<too long>");
}

TEST(QueryNumber, PlainDigitsOnly)
{
    for (const char* bad : { "", "-1", "+1", "1e3", " 1", "0x10", "1234567890123456789" })
        EXPECT_EQ(query_number({ bad, (i64)strlen(bad) }), -1) << bad;
    EXPECT_EQ(query_number({ "007", 3 }), 7);
    EXPECT_EQ(query_number({ "123456789012345678", 18 }), 123456789012345678);
}

} // namespace
