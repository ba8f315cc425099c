#include "agents/settings.h"
#include "runtime/heap.h"
#include "runtime/text.h"
#include "server/config.h"
#include "server/state.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

TEST(CredentialLineStorable, RefusesWhatTheConfigReaderWouldNotTakeBack)
{
    auto storable = [](const std::string& line) { return credential_line_storable(line.data(), (i64)line.size()); };
    EXPECT_EQ(storable("ops:secretpw"), 1);
    EXPECT_EQ(storable("ops:pa:ss w#rd"), 1);
    EXPECT_EQ(storable("ops:abc=def"), 0);
    EXPECT_EQ(storable("op=s:abcdefgh"), 0);
    EXPECT_EQ(storable("ops:abc\nport=22"), 0);
    EXPECT_EQ(storable("ops:abc\rdef"), 0);
}

std::string config_text(const std::string& line, i64 port)
{
    std::vector<char> out(k_config_text_size);
    i64 len = build_config_text(out.data(), line.data(), (i64)line.size(), port);
    EXPECT_LE(len, k_config_text_size);
    return std::string(out.data(), len);
}

TEST(BuildConfigText, CredentialLineThenPortLine)
{
    EXPECT_EQ(config_text("ops:secretpw", 7575), "ops:secretpw\nport=7575\n");
    std::string longest = std::string(k_username_capacity, 'u') + ":" + std::string(k_password_capacity, 'p');
    EXPECT_EQ(config_text(longest, -9223372036854775807L - 1), longest + "\nport=-9223372036854775808\n");
}

TEST(BuildConfigText, WhatItWritesReadsBackAsTheSameLogin)
{
    if (!heap.heap_base)
        heap_init();
    char* mark = heap_mark();
    state_init_defaults();
    std::string line = std::string(k_username_capacity, 'u') + ":" + std::string(k_password_capacity, '#');
    std::string text = config_text(line, 8080);
    ASSERT_LE((i64)text.size(), k_config_read_max);
    EXPECT_EQ(apply_config_text(text.data(), (i64)text.size()), 8080);
    std::vector<char> expected(k_credential_buffer);
    i64 len = base64_encode(line.data(), (i64)line.size(), expected.data());
    EXPECT_EQ(std::string(state.basic_credential, state.basic_credential_len), std::string(expected.data(), len));
    heap_release(mark);
}

} // namespace
