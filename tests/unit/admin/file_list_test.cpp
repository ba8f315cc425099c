#include "admin/file_list.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

stat_k entry_stat(unsigned mode, long size, long mtime)
{
    stat_k st {};
    st.mode = mode;
    st.size = size;
    st.times[2] = mtime;
    return st;
}

std::string entry(const std::string& name, const stat_k& st, bool* lossy)
{
    std::vector<char> out(k_list_entry_max);
    i64 len = append_list_entry(out.data(), 0, name.data(), (i64)name.size(), st, lossy);
    EXPECT_LE(len, k_list_entry_max);
    return std::string(out.data(), (size_t)len);
}

TEST(AppendListEntry, DescribesEachType)
{
    bool lossy = false;
    EXPECT_EQ(entry("a.txt", entry_stat(S_IFREG | 0644, 12, 1700000000), &lossy),
        R"({"name":"a.txt","type":"file","size":12,"mode":"0644","mtime":1700000000})");
    EXPECT_EQ(entry("sub", entry_stat(S_IFDIR | 0755, 40, 5), &lossy), R"({"name":"sub","type":"dir","size":40,"mode":"0755","mtime":5})");
    EXPECT_EQ(entry("ln", entry_stat(S_IFLNK | 0777, 9, 5), &lossy), R"({"name":"ln","type":"link","size":9,"mode":"0777","mtime":5})");
    EXPECT_EQ(entry("p", entry_stat(0010000 | 01777, 0, 5), &lossy), R"({"name":"p","type":"other","size":0,"mode":"1777","mtime":5})");
    EXPECT_FALSE(lossy);
    entry("bad\xff", entry_stat(S_IFREG, 0, 0), &lossy);
    EXPECT_TRUE(lossy);
    entry("fine", entry_stat(S_IFREG, 0, 0), &lossy);
    EXPECT_TRUE(lossy);
}

TEST(AppendListEntry, WorstCaseFitsTheAnswer)
{
    bool lossy = false;
    std::string name(k_list_name_max, '\x01');
    stat_k st = entry_stat(0010000 | 07777, -9223372036854775807L, -9223372036854775807L);
    std::string one = entry(name, st, &lossy);
    EXPECT_LE((i64)one.size() + 1, k_list_entry_max); // with its comma
    // The whole answer: the widest path and k_list_entries_max widest entries.
    std::string path(k_agent_path_max, '\x01');
    i64 fixed = (i64)std::string(R"({"ok":true,"path":,"entries":[],"count":1000,"truncated":false,"lossy":true})").size();
    EXPECT_LE(fixed + k_json_string_max(k_agent_path_max) + k_list_entries_max * ((i64)one.size() + 1), k_list_answer_size);
}

} // namespace
