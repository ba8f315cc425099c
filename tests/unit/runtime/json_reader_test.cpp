#include "runtime/json_reader.h"
#include <gtest/gtest.h>
#include <string>

static i64 find(const std::string& json, const std::string& key)
{
    return json_find_member(json.data(), (i64)json.size(), 0, key.data(), (i64)key.size());
}

struct Decoded {
    i64 end;
    i64 stored;
    i64 decoded;
    std::string value;
};

static Decoded decode(const std::string& json, i64 pos = 0, i64 capacity = 2000)
{
    std::string out(capacity + 1, 'X');
    JsonString r = json_decode_string(json.data(), (i64)json.size(), pos, out.data(), capacity);
    EXPECT_EQ(out[r.stored], '\0');
    return { r.end, r.stored, r.decoded, std::string(out.data(), r.stored) };
}

// The decoded string value of a top-level member, or "<absent>".
static std::string member(const std::string& json, const std::string& key)
{
    i64 at = find(json, key);
    if (at < 0)
        return "<absent>";
    Decoded d = decode(json, at);
    return d.end < 0 ? "<not a string>" : d.value;
}

TEST(JsonFindMember, FindsTopLevelKeysOnly)
{
    EXPECT_EQ(member(R"({"cmd":"ls"})", "cmd"), "ls");
    EXPECT_EQ(member(" {\n\t\"a\" : 1 ,\r\n \"cmd\"\t:\t\"pwd\" } ", "cmd"), "pwd");
    EXPECT_EQ(member(R"({"x":{"cmd":"nested"},"cmd":"top"})", "cmd"), "top");
    EXPECT_EQ(member(R"({"x":"\"cmd\":\"inside\"","cmd":"top"})", "cmd"), "top");
    EXPECT_EQ(member(R"({"x":[{"cmd":"a"},["cmd"]]})", "cmd"), "<absent>");
    EXPECT_EQ(member(R"({"cmdline":"a","cm":"b"})", "cmd"), "<absent>");
    EXPECT_EQ(member(R"({"cmd":"first","cmd":"second"})", "cmd"), "first");
    EXPECT_EQ(member(R"({"c\u006dd":"escaped key"})", "cmd"), "escaped key");
    EXPECT_EQ(member(R"({"cmd":42})", "cmd"), "<not a string>");
}

TEST(JsonFindMember, StepsOverEveryKindOfValue)
{
    const std::string json = R"({"s":"a\"}","n":-1.5e+3,"t":true,"f":false,"z":null,)"
                             R"("o":{"k":[1,{"x":[]},{}]},"a":[],"e":{},"cmd":"ok"})";
    EXPECT_EQ(member(json, "cmd"), "ok");
}

TEST(JsonFindMember, MalformedOrNotAnObject)
{
    EXPECT_EQ(find(R"(["cmd","x"])", "cmd"), -1);
    EXPECT_EQ(find(R"({})", "cmd"), -1);
    EXPECT_EQ(find("", "cmd"), -1);
    EXPECT_EQ(find(R"({"a":tru,"cmd":"x"})", "cmd"), -1);
    EXPECT_EQ(find(R"({"a":[1,2},"cmd":"x"})", "cmd"), -1);
    EXPECT_EQ(find(R"({"a":"\q","cmd":"x"})", "cmd"), -1);
    EXPECT_EQ(find(R"({"a" 1,"cmd":"x"})", "cmd"), -1);
    EXPECT_EQ(find(R"({"a":01,"cmd":"x"})", "cmd"), -1);
    EXPECT_EQ(find(R"({"cmd":)", "cmd"), -1);
    // Found before the fault: a forward scanner does not look further.
    EXPECT_EQ(member(R"({"cmd":"x",)", "cmd"), "x");
}

TEST(JsonValueEnd, NestingIsBounded)
{
    std::string ok = std::string(64, '[') + std::string(64, ']');
    std::string deep = std::string(65, '[') + std::string(65, ']');
    EXPECT_EQ(json_value_end(ok.data(), (i64)ok.size(), 0), 128);
    EXPECT_EQ(json_value_end(deep.data(), (i64)deep.size(), 0), -1);
    std::string open = std::string(10, '{');
    EXPECT_EQ(json_value_end(open.data(), (i64)open.size(), 0), -1);
}

TEST(JsonDecodeString, DecodesEveryEscape)
{
    EXPECT_EQ(decode(R"("a\"b\\c\/d")").value, "a\"b\\c/d");
    EXPECT_EQ(decode(R"("\b\f\n\r\t")").value, "\b\f\n\r\t");
    EXPECT_EQ(decode(R"("echo \"hi\"")").value, "echo \"hi\"");
    EXPECT_EQ(decode(R"("\u0041\u00e9\u20AC")").value, "A\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(decode(R"("\ud83d\ude00")").value, "\xF0\x9F\x98\x80");
    EXPECT_EQ(decode("\"raw \xC3\xA9 \x01\"").value, "raw \xC3\xA9 \x01");
    Decoded nul = decode(R"("a\u0000b")");
    EXPECT_EQ(nul.stored, 3);
    EXPECT_EQ(nul.value, std::string("a\0b", 3));
}

TEST(JsonDecodeString, LoneSurrogatesBecomeReplacementCharacter)
{
    EXPECT_EQ(decode(R"("\ud83dx")").value, "\xEF\xBF\xBDx");
    EXPECT_EQ(decode(R"("\ude00")").value, "\xEF\xBF\xBD");
    EXPECT_EQ(decode(R"("\ud83d\u0041")").value,
        "\xEF\xBF\xBD"
        "A");
    EXPECT_EQ(decode(R"("\ud83d")").value, "\xEF\xBF\xBD");
}

TEST(JsonDecodeString, EndAndMalformed)
{
    EXPECT_EQ(decode(R"(  "ab" ,)").end, 6);
    EXPECT_EQ(decode(R"("ab)").end, -1);
    EXPECT_EQ(decode(R"("a\x")").end, -1);
    EXPECT_EQ(decode(R"("\u12G4")").end, -1);
    EXPECT_EQ(decode(R"("\u12")").end, -1);
    EXPECT_EQ(decode("\"a\\").end, -1);
    EXPECT_EQ(decode("42").end, -1);
    EXPECT_EQ(decode("").end, -1);
}

TEST(JsonDecodeString, CutsAtCapacityWithoutSplittingAnEscape)
{
    Decoded plain = decode(R"("abcdef")", 0, 4);
    EXPECT_EQ(plain.value, "abcd");
    EXPECT_EQ(plain.decoded, 6);
    EXPECT_EQ(plain.end, 8);
    // "ab" then a 3-byte euro sign: with room for 4 bytes only "ab" is kept, and the "c"
    // after the sign is not stored in its place.
    Decoded cut = decode(R"("ab\u20acc")", 0, 4);
    EXPECT_EQ(cut.value, "ab");
    EXPECT_EQ(cut.decoded, 6);
    Decoded exact = decode(R"("ab\u20ac")", 0, 5);
    EXPECT_EQ(exact.value, "ab\xE2\x82\xAC");
    EXPECT_EQ(decode(R"("")", 0, 0).stored, 0);
}

TEST(JsonDecodeString, StoresUpToCapacityAndMeasuresTheWhole)
{
    // 2,500 escaped quotes into room for 2,000: the first 2,000 stored, and the whole
    // length known, as a command past max_cmd_bytes is measured for its refusal.
    std::string json = "\"";
    for (int i = 0; i < 2500; i++)
        json += "\\\"";
    json += "\"";
    Decoded d = decode(json, 0, 2000);
    EXPECT_EQ(d.stored, 2000);
    EXPECT_EQ(d.decoded, 2500);
    EXPECT_EQ(d.value, std::string(2000, '"'));
}

static JsonInteger integer(const std::string& json) { return json_read_integer(json.data(), (i64)json.size(), 0); }

TEST(JsonReadInteger, WholeNumbersOnly)
{
    EXPECT_EQ(integer("0").value, 0);
    EXPECT_EQ(integer(" 3000,").value, 3000);
    EXPECT_EQ(integer("-5}").value, -5);
    EXPECT_EQ(integer("9223372036854775807").value, k_i64_max);
    EXPECT_EQ(integer("-9223372036854775808").value, -k_i64_max - 1);
    EXPECT_TRUE(integer("7").ok);
    EXPECT_FALSE(integer("9223372036854775808").ok);
    EXPECT_FALSE(integer("-9223372036854775809").ok);
    EXPECT_FALSE(integer("1.5").ok);
    EXPECT_FALSE(integer("1e3").ok);
    EXPECT_FALSE(integer("\"12\"").ok);
    EXPECT_FALSE(integer("+1").ok);
    EXPECT_FALSE(integer("-").ok);
    EXPECT_FALSE(integer("").ok);
}

TEST(JsonReadInteger, LeadingZeroBeforeDigitsIsNoNumber)
{
    // Once read as 0: {"profile":01} would have chosen the strict profile.
    EXPECT_FALSE(integer("01").ok);
    EXPECT_FALSE(integer("-007").ok);
    EXPECT_FALSE(integer("00").ok);
    EXPECT_EQ(json_value_end("01", 2, 0), -1);
    EXPECT_TRUE(integer("0,").ok);
    EXPECT_TRUE(integer("-0}").ok);
}

TEST(JsonReadInteger, ReadsMemberValues)
{
    const std::string json = R"({"tokens_in": 120, "tokens_out":-1, "model":"m"})";
    i64 at = find(json, "tokens_in");
    EXPECT_EQ(json_read_integer(json.data(), (i64)json.size(), at).value, 120);
    at = find(json, "model");
    EXPECT_FALSE(json_read_integer(json.data(), (i64)json.size(), at).ok);
}

// Each member as "name=value text", or the step that ended the walk.
std::string members(const std::string& json)
{
    std::string seen;
    JsonMember member {};
    const JsonMember* previous = nullptr;
    JsonMemberStep step;
    while ((step = json_next_member(json.data(), (i64)json.size(), 0, previous, &member)) == k_json_member) {
        previous = &member;
        seen += json.substr((size_t)member.name, (size_t)(member.value - member.name)) + json.substr((size_t)member.value, (size_t)(member.end - member.value)) + ";";
    }
    return seen + (step == k_json_members_end ? "end" : "malformed");
}

TEST(JsonNextMember, WalksTopLevelMembersInOrder)
{
    EXPECT_EQ(members("{}"), "end");
    EXPECT_EQ(members(R"( { "a" : 1 , "b":{"c":[2,"}"]},"a":"x" } )"), R"("a" : 1;"b":{"c":[2,"}"]};"a":"x";end)");
    EXPECT_EQ(members(R"({"a":1,})"), R"("a":1;malformed)");
    EXPECT_EQ(members(R"({"a":1 "b":2})"), R"("a":1;malformed)");
    EXPECT_EQ(members(R"({"a":tru})"), "malformed");
    EXPECT_EQ(members(R"({"a":1)"), R"("a":1;malformed)");
    EXPECT_EQ(members(R"(["a",1])"), "malformed");
    EXPECT_EQ(members(""), "malformed");
}
