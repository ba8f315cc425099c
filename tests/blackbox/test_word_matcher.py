"""The shell-aware matcher (matcher=words in policy.conf) seen from outside: ordinary
developer commands that the byte matcher refuses run, the true refusals stay and name the
rule and the simple command, strict refuses what it cannot read, and the byte matcher
stays the default."""
import json
import unittest

from tests.blackbox.harness import Instance, json_answer

BLACKLIST = ["rm -rf /", "dd if", "mkfs", ":(){ :", "wget", "curl", "netcat", "python -c 'im", "chmod 777",
             "chown root", "shutdown", "reboot", "nmap", "/etc/shadow", "/etc/passwd", ".ssh/id_", "/dev/sda"]
WHITELIST = ["ls", "cat", "echo", "pwd", "head", "tail", "wc", "grep", "find", "date", "whoami", "uname",
             "python3", "node"]


def policy(profile, matcher=None):
    config = "profile=%d\n" % profile + ("matcher=%s\n" % matcher if matcher else "")
    return ("[config]\n" + config + "[blacklist]\n" + "".join(r + "\n" for r in BLACKLIST)
            + "[whitelist]\n" + "".join(r + "\n" for r in WHITELIST))


def refusal(message, rule, command=None):
    body = {"ok": False, "error": message, "rule": rule}
    if command is not None:
        body["command"] = command
    return json_answer(403, "Forbidden", json.dumps(body, separators=(",", ":"), ensure_ascii=False))


# The commands of the report, each with what the byte matcher refuses it for.
DEVELOPER_COMMANDS = [
    ("rm -rf /tmp/build", "command blocked by blacklist", "rm -rf /"),
    ("git add ifaces.py", "command blocked by blacklist", "dd if"),
    ("grep -r curl .", "command blocked by blacklist", "curl"),
    ("git diff HEAD~1..HEAD", "access to sensitive path blocked", ".."),
    ("cat /proc/meminfo", "access to sensitive path blocked", "/proc/"),
    ("python3 -m unittest test_evaluate", "access to sensitive path blocked", "eval"),
    ("v1/bin/python -c 'import sys'", "command blocked by blacklist", "python -c 'im"),
]


class WordsPermissiveTest(unittest.TestCase):
    """A permissive server with its runs in namespaces (their own /proc)."""

    @classmethod
    def setUpClass(cls):
        cls.srv = Instance(mode="basic", files={"policy.conf": policy(2, "words")})

    @classmethod
    def tearDownClass(cls):
        cls.srv.cleanup()

    def test_developer_commands_run(self):
        setup = ("mkdir -p build v1/bin && ln -sf /usr/bin/python3 v1/bin/python && git init -q . && "
                 "touch ifaces.py && printf 'import unittest\\n' > test_evaluate.py")
        self.assertEqual(self.srv.exec(setup, agent="dev").json()["exit_code"], 0)
        for cmd, _, _ in DEVELOPER_COMMANDS:
            r = self.srv.exec(cmd, agent="dev")
            self.assertEqual(r.status, 200, (cmd, r))
            self.assertTrue(r.json()["ok"], cmd)
        answers = {cmd: self.srv.exec(cmd, agent="dev").json() for cmd in
                   ("cat /proc/meminfo", "v1/bin/python -c 'import sys'", "python3 -m unittest test_evaluate")}
        self.assertIn("MemTotal:", answers["cat /proc/meminfo"]["stdout"])
        self.assertEqual(answers["v1/bin/python -c 'import sys'"]["exit_code"], 0)
        self.assertEqual(answers["python3 -m unittest test_evaluate"]["exit_code"], 0)

    def test_true_refusals_name_rule_and_command(self):
        cases = [
            ("rm -rf /", "rm -rf /", "rm -rf /"),
            ("curl x", "curl", "curl x"),
            ("echo $(curl x)", "curl", "curl x"),
            ('c""url x', "curl", "curl x"),
            ("/usr/bin/wget", "wget", "/usr/bin/wget"),
            ("ls; sh -c 'env A=1 wget -q y'", "wget", "env A=1 wget -q y"),
        ]
        for cmd, rule, command in cases:
            self.assertEqual(self.srv.exec(cmd, agent="bad").raw,
                             refusal("command blocked by blacklist", rule, command), cmd)
        r = self.srv.exec('E=/et""c; head -2 $E/pass""wd', agent="bad")
        self.assertEqual(r.raw, refusal("access to sensitive path blocked", "/etc/p", "head -2 /etc/passwd"))

    def test_unreadable_command_is_judged_by_bytes_outside_strict(self):
        self.assertEqual(self.srv.exec("echo 'curl", agent="odd").raw, refusal("command blocked by blacklist", "curl"))
        r = self.srv.exec("echo 'ok", agent="odd")
        self.assertEqual(r.status, 200)


class WordsPlainBasicTest(unittest.TestCase):
    """Commands beside the server see the host's /proc: there it stays refused."""

    def test_host_proc_and_shadow_refused(self):
        with Instance(mode="plain", files={"policy.conf": policy(2, "words")}) as srv:
            self.assertEqual(srv.exec("cat /etc/shadow", agent="p").raw,
                             refusal("access to sensitive path blocked", "/etc/s", "cat /etc/shadow"))
            self.assertEqual(srv.exec("cat /pro\"\"c/meminfo", agent="p").raw,
                             refusal("access to sensitive path blocked", "/proc/", "cat /proc/meminfo"))
            self.assertEqual(srv.exec("grep -r curl .", agent="p").status, 200)


class WordsStrictTest(unittest.TestCase):

    def test_every_command_must_be_whitelisted_and_unreadable_is_refused(self):
        with Instance(mode="basic", files={"policy.conf": policy(0, "words")}) as srv:
            self.assertEqual(srv.exec("echo hi; id", agent="s").raw,
                             refusal("command not in whitelist (strict mode)", "id", "id"))
            r = srv.exec("ls | wc -l", agent="s")
            self.assertEqual((r.status, r.json()["exit_code"]), (200, 0))
            self.assertEqual(srv.exec("echo $(date)", agent="s").raw,
                             refusal("access to sensitive path blocked", "$(", "echo $(date)"))
            self.assertEqual(srv.exec("echo 'abc", agent="s").raw,
                             refusal("could not read the command", "an unclosed quote"))
            entries = srv.get("/api/audit?agent=s").json()["entries"]
            self.assertIn('BLOCK UNREADABLE "echo \'abc"', entries[-1])


class BytesDefaultTest(unittest.TestCase):

    def test_bytes_refuses_the_table_until_words_is_chosen(self):
        with Instance(mode="basic", files={"policy.conf": policy(2)}) as srv:
            self.assertEqual(srv.get("/api/policy").json()["matcher"], "bytes")
            for cmd, message, rule in DEVELOPER_COMMANDS:
                self.assertEqual(srv.exec(cmd, agent="b").raw, refusal(message, rule), cmd)
            r = srv.post("/api/policy", '{"matcher":"words"}')
            self.assertEqual(r.status, 200, r)
            self.assertEqual(r.json()["matcher"], "words")
            self.assertEqual(srv.get("/api/policy").json()["matcher"], "words")
            self.assertEqual(srv.exec("grep -r curl .", agent="b").status, 200)
            self.assertEqual(srv.post("/api/policy", '{"matcher":"fast"}').json()["error"],
                             "matcher must be bytes or words")


if __name__ == "__main__":
    unittest.main()
