#include "policy/shell_words.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// The parse as text: simple commands joined by " ; ", words by blanks, an assignment
// marked "@", a redirection target ">", a loop header "for:"; or "! <problem>".
std::string parse(const std::string& cmd)
{
    std::vector<char> scratch((size_t)shell_scratch_size((i64)cmd.size()) + 16, '\x55');
    char* aligned = scratch.data() + (8 - (uintptr_t)scratch.data() % 8) % 8;
    ShellParse p = parse_shell_words(cmd.data(), (i64)cmd.size(), aligned);
    if (!p.readable)
        return std::string("! ") + p.problem;
    std::string out;
    for (i64 k = 0; k < p.command_count; k++) {
        CommandWords c = command_words(p, k);
        if (k > 0)
            out += " ; ";
        if (p.commands[k].flags & k_command_loop_header)
            out += "for:";
        for (i64 i = 0; i < c.count; i++) {
            if (i > 0)
                out += ' ';
            out += c.words[i].kind == k_word_assignment ? "@" : c.words[i].kind == k_word_redirection ? ">" : "";
            out += std::string(c.word(i).ptr, (size_t)c.word(i).len);
        }
    }
    return out;
}

struct Case {
    const char* cmd;
    const char* parsed;
};

TEST(ParseShellWords, SplitsListsPipelinesAndGroups)
{
    for (Case c : {
             Case { "echo hi; id", "echo hi ; id" },
             { "ls | wc -l", "ls ; wc -l" },
             { "a && b || c & d", "a ; b ; c ; d" },
             { "a\nb", "a ; b" },
             { "(cd x; make) | tee log", "cd x ; make ; tee log" },
             { "echo &> f sh -c 'id'", "echo ; >f sh -c id ; id" },
             { "ls &>> all", "ls ; >all" },
             { "for x do whoami; done", "for:x ; whoami" },
             { "for x\ndo id; done", "for:x ; id" },
             { "select x in a; do id; done", "select x in a ; id" },
             { "[[ -f x ]] && {a,b}", "[[ -f x ]] ; {a,b}" },
             { "{ a; b; } > out", "a ; b ; >out" },
             { "if true; then curl x; fi", "true ; curl x" },
             { "while read l; do echo $l; done", "read l ; echo $l" },
             { "for f in a b; do cat $f; done", "for:f in a b ; cat $f" },
             { "! grep x f", "grep x f" },
             { "echo a # comment; id", "echo a" },
             { "echo a#b", "echo a#b" },
             { "", "" },
         })
        EXPECT_EQ(parse(c.cmd), c.parsed) << c.cmd;
}

TEST(ParseShellWords, RemovesQuotesAndAppliesEscapes)
{
    for (Case c : {
             Case { "c\"\"url --version", "curl --version" },
             { "echo 'a b' \"c d\"", "echo a b c d" },
             { "echo \"a\\\"b\\$c\\x\"", "echo a\"b$c\\x" },
             { "c\\url x", "curl x" },
             { "ech\\\no x", "echo x" },
             { "$'\\x63url' $'a\\tb'", "$\\x63url $a\\tb" },
             { "echo $'\\'\nid\n#\\''", "echo $\\ ; id" },
             { "$\"cu\"rl", "$curl" },
             { "echo '' x", "echo  x" },
             { "/pro\"\"c", "/proc" },
         })
        EXPECT_EQ(parse(c.cmd), c.parsed) << c.cmd;
}

TEST(ParseShellWords, TellsAssignmentsAndRedirectionsApart)
{
    for (Case c : {
             Case { "A=1 B=\"x y\" env", "@A=1 @B=x y env" },
             { "echo A=1", "echo A=1" },
             { "\"A\"=1 x", "A=1 x" },
             { "cat <in >out 2>&1 >>log", "cat >in >out >1 >log" },
             { "ls &> all", "ls ; >all" },
             { "echo 2>x 12 a2>y", "echo >x 12 a2 >y" },
             { "> /etc/passwd", ">/etc/passwd" },
         })
        EXPECT_EQ(parse(c.cmd), c.parsed) << c.cmd;
}

TEST(ParseShellWords, ReadsSubstitutionsAndNestedShells)
{
    for (Case c : {
             Case { "echo $(curl x)", "curl x ; echo $(curl x)" },
             { "echo a$(id)b", "id ; echo a$(id)b" },
             { "echo \"$(curl 'x y')\"", "curl x y ; echo $(curl 'x y')" },
             { "echo `curl x`", "curl x ; echo `curl x`" },
             { "echo `echo \\`id\\``", "id ; echo `id` ; echo `echo \\`id\\``" },
             { "sh -c 'curl x'", "sh -c curl x ; curl x" },
             { "/bin/bash -ec \"wget y\"", "/bin/bash -ec wget y ; wget y" },
             { "bash -o pipefail -c 'a | b'", "bash -o pipefail -c a | b ; a ; b" },
             { "bash script.sh -c x", "bash script.sh -c x" },
             { "eval \"curl\" x", "eval curl x ; curl x" },
             { "env -i A=1 nice -n 5 sh -c id", "env -i A=1 nice -n 5 sh -c id ; id" },
             { "echo $((1 + (2 * 3)))", "echo $((1 + (2 * 3)))" },
         })
        EXPECT_EQ(parse(c.cmd), c.parsed) << c.cmd;
}

TEST(ParseShellWords, ExpandsVariablesTheTextAssigns)
{
    for (Case c : {
             Case { "E=/et\"\"c; head -2 $E/pass\"\"wd", "@E=/etc ; head -2 /etc/passwd" },
             { "E=/etc; cat \"${E}/shadow\"", "@E=/etc ; cat /etc/shadow" },
             { "C='curl x'; $C", "@C=curl x ; curl x" },
             { "C='curl x'; \"$C\"", "@C=curl x ; curl x" },
             { "E=; $E curl x", "@E= ; curl x" },
             { "cat $HOME/x ${1} $?", "cat $HOME/x ${1} $?" },
             { "E=/etc cat $E/passwd", "@E=/etc cat $E/passwd" },
             { "export E=/etc; cat $E/passwd", "export E=/etc ; cat /etc/passwd" },
             { "X=a; X=a; echo $X", "@X=a ; @X=a ; echo a" },
             { "echo ${E:-x}", "echo ${E:-x}" },
             { "A=whoami eval '$A'", "@A=whoami eval $A ; whoami" },
             { "A=whoami sh -c '$A'", "@A=whoami sh -c $A ; whoami" },
             { "A=whoami env sh -c '$A'", "@A=whoami env sh -c $A ; whoami" },
             { "su -c 'curl x' u", "su -c curl x u ; curl x" },
             { "env A=whoami sh -c '$A'", "env A=whoami sh -c $A ; whoami" },
             { "watch -n 1 'curl x'", "watch -n 1 curl x ; curl x" },
         })
        EXPECT_EQ(parse(c.cmd), c.parsed) << c.cmd;
}

TEST(ParseShellWords, RefusesWhatItCannotRead)
{
    for (Case c : {
             Case { "echo 'abc", "! an unclosed quote" },
             { "echo \"abc", "! an unclosed quote" },
             { "echo `id", "! an unclosed backquote" },
             { "echo $(id", "! an unclosed command substitution" },
             { "(ls", "! an unclosed parenthesis" },
             { "ls)", "! an unmatched parenthesis" },
             { "cat <<EOF\nx\nEOF", "! a here-document" },
             { "diff <(ls) x", "! a process substitution" },
             { "case x in a) id;; esac", "! a case, function or coproc construct" },
             { ":(){ :|:& };:", "! a function definition or a misplaced parenthesis" },
             { "X=1; X=2; cat $X", "! a variable assigned two values" },
             { "echo $((curl x) )", "! a command substitution that begins with a subshell" },
             { "echo ${X:-$(id)}", "! a parameter expansion with quotes or substitutions" },
             { "env -S 'curl x'", "! env -S" },
             { "ls >", "! a redirection without a target" },
             { "echo \\", "! a backslash at the end" },
             { "a |& b", "! a |& pipe" },
             { "cat <<< word", "! a here-document" },
             { "function f { id; }", "! a case, function or coproc construct" },
             { "((x = 1))", "! an arithmetic command" },
             { "case x in a) id;;& esac", "! a case, function or coproc construct" },
             { "ls @(a|b)", "! a function definition or a misplaced parenthesis" },
         })
        EXPECT_EQ(parse(c.cmd), c.parsed) << c.cmd;
}

TEST(ParseShellWords, NestingIsBoundedByDepth)
{
    std::string cmd = "curl x";
    for (i64 depth = 1; depth <= k_shell_depth_max; depth++)
        cmd = "echo $(" + cmd + ")";
    EXPECT_NE(parse(cmd)[0], '!') << cmd;
    EXPECT_EQ(parse("echo $(" + cmd + ")"), "! commands nested too deeply");
    std::string shells = "curl x";
    for (i64 depth = 1; depth <= k_shell_depth_max + 1; depth++) {
        std::string quoted;
        for (char ch : shells)
            quoted += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
        shells = "sh -c '" + quoted + "'";
    }
    EXPECT_EQ(parse(shells), "! commands nested too deeply");
}

// Every capacity is refused at its bound, never cut: the largest command of single-letter
// words fits, variables past the table and expansions past the text are refused.
TEST(ParseShellWords, CapacitiesRefuseRatherThanCut)
{
    std::string words;
    for (int i = 0; i < 5000; i++)
        words += "a ";
    words += "a";
    std::string parsed = parse(words);
    EXPECT_EQ(parsed.size(), words.size());
    std::string semis;
    for (int i = 0; i < 5000; i++)
        semis += "a;";
    EXPECT_EQ(parse(semis).size(), 5000u * 4 - 3);

    std::string many;
    for (i64 i = 0; i <= k_shell_variables_max; i++)
        many += "V" + std::to_string(i) + "=1;";
    EXPECT_EQ(parse(many), "! more variables than the parser keeps");

    std::string grow = "E=" + std::string(100, 'x') + ";";
    for (int i = 0; i < 60; i++)
        grow += "$E";
    EXPECT_EQ(parse(grow), "! a command too large to read");

    std::string split = "E='a a a a a a a a a a a a a a a a a a a a';";
    for (int i = 0; i < 30; i++)
        split += " $E";
    EXPECT_EQ(parse(split), "! a command with too many words to read");
}

TEST(ForEachProgram, FollowsWrappersAndFindActions)
{
    auto programs = [](const std::string& cmd) {
        std::vector<char> scratch((size_t)shell_scratch_size((i64)cmd.size()));
        ShellParse p = parse_shell_words(cmd.data(), (i64)cmd.size(), scratch.data());
        std::string out;
        CommandWords c = command_words(p, p.command_count - 1);
        for_each_program(c, [&](i64 name, i64 end) {
            out += (out.empty() ? "" : ",") + std::string(c.word(name).ptr, (size_t)c.word(name).len) + "/" + std::to_string(end - name);
        });
        return out;
    };
    EXPECT_EQ(programs("env -u X A=1 /usr/bin/curl x"), "env/6,/usr/bin/curl/2");
    EXPECT_EQ(programs("timeout -s KILL 5 nice -10 xargs -n 1 wget"), "timeout/10,nice/6,xargs/4,wget/1");
    EXPECT_EQ(programs("sudo -u root -- busybox wget x"), "sudo/7,busybox/3,wget/2");
    EXPECT_EQ(programs("find . -name x -exec env curl {} \\; -ok rm {} +"), "find/13,env/3,curl/2,rm/2");
    EXPECT_EQ(programs("X=1 >f ls"), "ls/1");
    EXPECT_EQ(programs("env"), "env/1");
    EXPECT_EQ(programs("X=1 >f"), "");
    EXPECT_EQ(programs("env -iu X whoami"), "env/4,whoami/1");
    EXPECT_EQ(programs("xargs -tn 1 whoami"), "xargs/4,whoami/1");
    EXPECT_EQ(programs("nice -10 taskset -c 1 flock /l ionice -c3 -t strace -fo log chroot / whoami"),
        "nice/16,taskset/14,flock/11,ionice/9,strace/6,chroot/3,whoami/1");
    EXPECT_EQ(programs("sudo -u u -- doas -u v unbuffer whoami"), "sudo/9,doas/5,unbuffer/2,whoami/1");
    // Each name once, however many walks reach it.
    EXPECT_EQ(programs("$X/find -exec $X/find -exec ls"), "$X/find/5,$X/find/3,ls/1");
}

// A wrapper option the model does not know leaves the program a guess; the command says so.
TEST(ForEachProgram, MarksGuessedWrappers)
{
    auto guessed = [](const std::string& cmd) {
        std::vector<char> scratch((size_t)shell_scratch_size((i64)cmd.size()));
        ShellParse p = parse_shell_words(cmd.data(), (i64)cmd.size(), scratch.data());
        return p.readable && (p.commands[p.command_count - 1].flags & k_command_wrapper_guessed) != 0;
    };
    for (const char* cmd : { "env --frob X whoami", "xargs -Q 1 whoami", "$W -i whoami", "su u", "parallel id ::: a" })
        EXPECT_TRUE(guessed(cmd)) << cmd;
    for (const char* cmd : { "env -i whoami", "xargs -0 -n1 -I{} whoami {}", "timeout --signal=KILL 5 whoami", "su", "whoami -z" })
        EXPECT_FALSE(guessed(cmd)) << cmd;
}

} // namespace
