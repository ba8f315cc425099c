#include "agents/registry.h"
#include "core/change_log.h"
#include <gtest/gtest.h>
#include <regex>
#include <string>

static std::string line_of(void (*fill)(ChangeNote*))
{
    ChangeNote note;
    begin_change(&note);
    fill(&note);
    return std::string(note.text, note.len);
}

TEST(ChangeNote, StartsWithTimeAndActorAndQuotesCallerText)
{
    set_change_actor({ "", 0 });
    std::string line = line_of([](ChangeNote* n) {
        note_text(n, "added the blacklist rule ");
        note_quoted(n, { "a\"b\\c\nd\x7f", 8 });
    });
    EXPECT_TRUE(std::regex_match(
        line, std::regex(R"(\[Cindervox\] \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ admin added the blacklist rule "a\\"b\\\\c\\x0ad\\x7f")")))
        << line;
}

TEST(ChangeNote, KeepsLongSubjectsOnOneBoundedLine)
{
    std::string subject(1000, '\n');
    ChangeNote note;
    begin_change(&note);
    note_quoted(&note, { subject.data(), (i64)subject.size() });
    note_quoted(&note, { subject.data(), (i64)subject.size() });
    print_change(&note);
    EXPECT_LE(note.len, k_change_line_max);
    EXPECT_EQ(std::string(note.text, note.len).find('\n'), (size_t)note.len - 1);
}

TEST(ChangeNote, NamesTheAgentTheRouterBound)
{
    bind_request_agent({ "bot-1", 5 });
    EXPECT_NE(line_of([](ChangeNote* n) { note_text(n, "x"); }).find("Z agent bot-1 x"), std::string::npos);
    bind_request_agent({ "", 0 });
    EXPECT_NE(line_of([](ChangeNote* n) { note_text(n, "x"); }).find("Z admin x"), std::string::npos);
}
