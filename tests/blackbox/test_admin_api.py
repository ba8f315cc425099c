"""The admin JSON API seen from outside: health and agents reports, policy listing and
changes, the policy file (writer, both readers, reload), settings and credentials, token
budgets, and the file-write endpoint, byte for byte."""
import base64
import json
import os
import re
import stat
import time
import unittest

from tests.blackbox.harness import DEFAULT_AUTH, UNAUTHORIZED, Instance, json_answer, json_error

DEFAULT_POLICY = (
    '{"blacklist":["rm -rf /","dd if","mkfs",":(){ :","wget","curl","netcat","python -c \'im",'
    '"chmod 777","chown root","shutdown","reboot","nmap","/etc/shadow","/etc/passwd",".ssh/id_",'
    '"/dev/sda"],"whitelist":["ls","cat","echo","pwd","head","tail","wc","grep","find","date",'
    '"whoami","uname","python3","node"],"blacklist_count":17,"whitelist_count":14,"profile":0,'
    '"max_rate_per_agent":120,"default_token_budget":0,"matcher":"bytes"}')

POLICY_HEADER = "# Cindervox Policy \u2014 auto-saved by dashboard\n"
INVALID_ACTION = "invalid action (use add_bl/rm_bl/add_wl/rm_wl)"
MISSING_SETTING = "missing username/password, rate_limit, or timeout field"
TMP_SAVED = "credentials updated (saved to /tmp \u2014 copy to /etc/cindervox/config)"
READ_ONLY_ETC = "mount -o remount,bind,ro /etc/cindervox"
# What a settings answer ends with: saved, or why not. A basic-mode server runs as nobody,
# and the instance's /etc/cindervox is root's.
SAVED = ',"persisted":true'
POLICY_NOT_SAVED = ',"persisted":false,"reason":"could not write /etc/cindervox/policy.conf: Permission denied (EACCES)"'
POLICY_READ_ONLY = ',"persisted":false,"reason":"could not write /etc/cindervox/policy.conf: Read-only file system (EROFS)"'
TIMEOUT_NOT_KEPT = (',"persisted":false,"reason":"no file holds the time-out: the profile\'s comes back at the next '
                    'profile change or restart"')
AGENT_BUDGET_NOT_KEPT = (',"persisted":false,"reason":"no file holds an agent\'s own budget: it lasts until the sandbox '
                         'reset or the server stops"')
CONFIG_COPIED = (',"persisted":false,"reason":"could not write /etc/cindervox/config: %s; a copy is in '
                 '/tmp/cindervox_config, which start-up does not read"')


error = json_error


def ok(body):
    return json_answer(200, "OK", body)


def basic(user, password):
    return "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()


def audit_entries(srv, agent=None):
    path = "/api/audit" + ("?agent=" + agent if agent else "")
    return srv.get(path).json()["entries"]


def entry_tails(srv):
    """Audit entries without their timestamps."""
    return [re.sub(r"^\[\d+\] ", "", e) for e in audit_entries(srv)]


def policy(srv):
    return srv.get("/api/policy").json()


def read(path):
    with open(path, "rb") as f:
        return f.read()


class ReportsTest(unittest.TestCase):
    def test_fresh_health_report_from_a_real_start(self):
        # The report's exact text is the unit tests'; here what only start-up decides.
        with Instance(mode="basic") as srv:
            health = srv.get("/api/health").json()
            self.assertLess(health["uptime_sec"], 30)
            self.assertEqual((health["isolation"], health["namespaces"], health["profile"]), ("basic", True, "strict"))

    def test_kernel_isolation_and_profile_out_of_range_at_start(self):
        with Instance(mode="kernel", files={"policy.conf": "[config]\nprofile=1\nprofile=9\n"}) as srv:
            self.assertIn("[Cindervox] /etc/cindervox/policy.conf line 3: profile must be 0, 1 or 2; ignored\n",
                          srv.console())
            health = srv.get("/api/health").json()
            self.assertEqual((health["isolation"], health["namespaces"]), ("kernel", True))
            self.assertEqual(health["profile"], "moderate")
            self.assertEqual((health["timeout_ms"], health["max_mem_mb"], health["max_cpu_sec"]), (30000, 256, 30))
            self.assertEqual(policy(srv)["profile"], 1)

    def test_agents_report_entries(self):
        with Instance(mode="basic") as srv:
            self.assertEqual(srv.get("/api/agents").raw, ok('{"agents":[],"count":0,"token_agents":[]}'))
            srv.post("/api/budget", '{"default":5000}')
            srv.post("/api/budget", '{"agent":"planner"}')
            srv.post("/api/budget", '{"agent":"coder","max_tokens":100}')
            srv.post("/api/agents/coder/profile", '{"profile":"permissive"}')
            self.assertEqual(srv.get("/api/agents").raw, ok(
                '{"agents":[{"name":"planner","execs":0,"blocked":0,"bytes":0,"last_active":0,'
                '"rate_1m":0,"rate_limit":120,"tokens_in":0,"tokens_out":0,"tokens_total":0,'
                '"token_budget":5000,"model":"-","profile":"strict","profile_own":false,"workspace_bytes":0,"active":false},'
                '{"name":"coder","execs":0,"blocked":0,'
                '"bytes":0,"last_active":0,"rate_1m":0,"rate_limit":120,"tokens_in":0,"tokens_out":0,'
                '"tokens_total":0,"token_budget":100,"model":"-","profile":"permissive","profile_own":true,"workspace_bytes":0,'
                '"active":false}],"count":2,"token_agents":[]}'))
            self.assertEqual(srv.get("/api/health").json()["agents_count"], 2)

    def test_hostile_names_keep_reports_valid_json(self):
        with Instance(mode="basic") as srv:
            srv.post("/api/budget", '{"agent":"q\\"b\\\\s<img src=x>"}')
            srv.post("/api/write", '{"path":"/tmp/w","content":"x"}', headers={"X-Agent": 'h"\\\x01x'})
            agents = srv.get("/api/agents").json()["agents"]
            self.assertEqual([a["name"] for a in agents], ['q"b\\s<img src=x>', 'h"\\\x01x'])


class PolicyEndpointsTest(unittest.TestCase):
    def test_default_policy_exactly(self):
        with Instance(mode="basic") as srv:
            self.assertEqual(srv.get("/api/policy").raw, ok(DEFAULT_POLICY))

    def test_add_and_remove_rules(self):
        with Instance(mode="basic") as srv:
            add = '{"action":"add_bl","rule":"sudo"}'
            self.assertEqual(srv.post("/api/policy", add).raw,
                             ok('{"ok":true,"blacklist_count":18,"whitelist_count":14%s}' % POLICY_NOT_SAVED))
            self.assertEqual(srv.exec("sudo ls").status, 403)
            self.assertEqual(srv.post("/api/policy", add).raw,
                             ok('{"ok":true,"blacklist_count":19,"whitelist_count":14%s}' % POLICY_NOT_SAVED))
            self.assertEqual(srv.post("/api/policy", '{"action":"rm_bl","rule":"sudo"}').raw,
                             ok('{"ok":true,"blacklist_count":18,"whitelist_count":14%s}' % POLICY_NOT_SAVED))
            self.assertEqual(policy(srv)["blacklist"][-2:], ["/dev/sda", "sudo"])
            self.assertEqual(srv.post("/api/policy", '{"action":"add_wl","rule":"git"}').raw,
                             ok('{"ok":true,"blacklist_count":18,"whitelist_count":15%s}' % POLICY_NOT_SAVED))
            self.assertEqual(srv.post("/api/policy", '{"action":"rm_wl","rule":"ls"}').raw,
                             ok('{"ok":true,"blacklist_count":18,"whitelist_count":14%s}' % POLICY_NOT_SAVED))
            self.assertEqual(policy(srv)["whitelist"][:2], ["cat", "echo"])
            self.assertEqual(policy(srv)["whitelist"][-1], "git")

    def test_refusals_leave_lists_unchanged(self):
        with Instance(mode="basic") as srv:
            cases = [
                ('{"action":"rm_wl","rule":"perl"}', INVALID_ACTION),
                ('{"action":"remove","rule":"ls"}', INVALID_ACTION),
                ('{"action":"delete_bl","rule":"ls"}', INVALID_ACTION),
                ('{"rule":"ls"}', "missing action field"),
                ('{"action":"","rule":"ls"}', "missing action field"),
                ('{"action":"add_bl"}', "missing rule field"),
                ('{"action":"add_bl","rule":""}', "missing rule field"),
                ('{"action":"add_bl","rule":"#sudo"}', "rule cannot be stored in policy.conf"),
                ('{"action":"add_wl","rule":"[whitelist]"}', "rule cannot be stored in policy.conf"),
                ('{"action":"add_bl","rule":"a\\nb"}', "rule cannot be stored in policy.conf"),
            ]
            for body, message in cases:
                self.assertEqual(srv.post("/api/policy", body).raw, error(400, "Bad Request", message), body)
            self.assertEqual(srv.get("/api/policy").raw, ok(DEFAULT_POLICY))
            self.assertFalse(os.path.exists(srv.path("etc", "policy.conf")))

    def test_rules_are_cut_and_listed_so_they_decode_exactly(self):
        with Instance(mode="basic") as srv:
            srv.post("/api/policy", json.dumps({"action": "add_bl", "rule": "x" * 250}))
            # The field reader decodes \" \\ \t but not \u escapes, so the 0x01 byte is sent raw.
            srv.post("/api/policy", '{"action":"add_bl","rule":"say \\"hi\\"\\\\there\\ttab\x01"}')
            rule = 'say "hi"\\there\ttab\x01'
            r = srv.get("/api/policy")
            self.assertIn(b'"say \\"hi\\"\\\\there\\ttab\\u0001"', r.body)
            self.assertEqual(r.json()["blacklist"][-2:], ["x" * 200, rule])

    def test_rule_that_does_not_fit_is_refused_whole(self):
        text = "[blacklist]\ncurl\n[whitelist]\n" + ("w" * 200 + "\n") * 5
        with Instance(mode="basic", files={"policy.conf": text}) as srv:
            before = srv.get("/api/policy").raw
            full = error(400, "Bad Request", "rule list full")
            self.assertEqual(srv.post("/api/policy", '{"action":"add_wl","rule":"%s"}' % ("a" * 18)).raw, full)
            # "addbw" selects both lists: the blacklist add is undone when the whitelist is full.
            self.assertEqual(srv.post("/api/policy", '{"action":"addbw","rule":"%s"}' % ("b" * 18)).raw, full)
            self.assertEqual(srv.get("/api/policy").raw, before)
            self.assertEqual(read(srv.path("etc", "policy.conf")), text.encode())
            self.assertEqual(srv.post("/api/policy", '{"action":"addbw","rule":"%s"}' % ("c" * 17)).raw,
                             ok('{"ok":true,"blacklist_count":2,"whitelist_count":6%s}' % POLICY_NOT_SAVED))

    def test_profile_switch(self):
        with Instance(mode="kernel") as srv:
            self.assertEqual(srv.post("/api/profile", '{"profile":2}').raw,
                             ok('{"ok":true,"profile":2,"timeout_ms":300000,"max_mem_mb":1024,"max_cpu_sec":300%s}' % SAVED))
            health = srv.get("/api/health").json()
            self.assertEqual((health["profile"], health["timeout_ms"]), ("permissive", 300000))
            self.assertIn(b"\nprofile=2\n", read(srv.path("etc", "policy.conf")))
            for body in ('{"profile":10}', '{"profile":5}', '{"profile":-1}', '{"profile":"1"}'):
                self.assertEqual(srv.post("/api/profile", body).raw,
                                 error(400, "Bad Request", "profile must be 0, 1 or 2"), body)
            self.assertEqual(srv.post("/api/profile", '{"level":1}').raw,
                             error(400, "Bad Request", "missing profile (0/1/2)"))
            self.assertEqual(srv.get("/api/health").json()["profile"], "permissive")
            self.assertEqual(entry_tails(srv), ['[system] CONFIG OK "set_profile" exit=2 dur=0ms\n'])


class PolicyFileTest(unittest.TestCase):
    def test_written_file_round_trips_through_both_readers(self):
        with Instance(mode="kernel") as srv:
            srv.post("/api/policy", '{"action":"add_bl","rule":"sudo "}')
            srv.post("/api/policy", '{"action":"rm_bl","rule":"wget"}')
            srv.post("/api/policy", '{"action":"add_wl","rule":"git \\"log\\""}')
            srv.post("/api/budget", '{"default":321}')
            srv.post("/api/config", '{"rate_limit":77}')
            srv.post("/api/profile", '{"profile":1}')
            path = srv.path("etc", "policy.conf")
            text = read(path).decode()
            self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o644)
            self.assertEqual(text, POLICY_HEADER + (
                "[config]\nprofile=1\nmax_rate_per_agent=77\ndefault_token_budget=321\nmatcher=bytes\n"
                "\n[blacklist]\n"
                "rm -rf /\ndd if\nmkfs\n:(){ :\ncurl\nnetcat\npython -c 'im\nchmod 777\nchown root\n"
                "shutdown\nreboot\nnmap\n/etc/shadow\n/etc/passwd\n.ssh/id_\n/dev/sda\nsudo \n"
                "\n[whitelist]\n"
                "ls\ncat\necho\npwd\nhead\ntail\nwc\ngrep\nfind\ndate\nwhoami\nuname\npython3\nnode\n"
                'git "log"\n'))
            self.assertEqual(sorted(os.listdir(srv.path("etc"))), ["policy.conf"])
            listed = srv.get("/api/policy").raw
        with Instance(mode="basic", files={"policy.conf": text}) as again:
            self.assertIn("[Cindervox] Policy loaded from /etc/cindervox/policy.conf\n", again.console())
            self.assertEqual(again.get("/api/policy").raw, listed)
            self.assertEqual(again.get("/api/health").json()["timeout_ms"], 30000)
            again.post("/api/policy", '{"action":"rm_bl","rule":"curl"}')
            again.post("/api/config", '{"rate_limit":5}')
            again.write_etc("policy.conf", text)
            self.assertEqual(again.post("/api/policy/reload", "").raw,
                             ok('{"ok":true,"blacklist_count":17,"whitelist_count":15,"profile":1}'))
            self.assertEqual(again.get("/api/policy").raw, listed)

    def test_startup_and_reload_variants_differ(self):
        text = "[config]\nmax_mem_mb=5\n[blocked]\nsudo\n"
        with Instance(mode="basic", files={"policy.conf": text}) as srv:
            p = policy(srv)
            self.assertEqual((p["blacklist"], p["whitelist"], p["max_rate_per_agent"]), (["sudo"], [], 5))
            srv.write_etc("policy.conf", "[config]\nmax_mem_mb=50\n[blocked]\nsudo\n")
            self.assertEqual(srv.post("/api/policy/reload", "").raw,
                             ok('{"ok":true,"blacklist_count":0,"whitelist_count":0,"profile":0}'))
            self.assertEqual(policy(srv)["max_rate_per_agent"], 5)
            srv.write_etc("policy.conf", "[config]\nmax_rate_per_agent=50\n")
            srv.post("/api/policy/reload", "")
            self.assertEqual(policy(srv)["max_rate_per_agent"], 50)
            # A limit of 0 would stop every agent: the current limit stays, and commands run.
            srv.write_etc("policy.conf", "[config]\nprofile=2\nmax_rate_per_agent=0\n")
            srv.post("/api/policy/reload", "")
            self.assertEqual(policy(srv)["max_rate_per_agent"], 50)
            self.assertEqual(srv.exec("echo ok").status, 200)

    def test_reload_of_a_profile_out_of_range_keeps_the_profile_and_the_server(self):
        with Instance(mode="basic", files={"policy.conf": "[config]\nprofile=1\n"}) as srv:
            srv.write_etc("policy.conf", "# edited\n[config]\nprofile=7\nmax_rate_per_agent=100001\n")
            self.assertEqual(srv.post("/api/policy/reload", "").raw,
                             ok('{"ok":true,"blacklist_count":0,"whitelist_count":0,"profile":1}'))
            console = srv.console()
            self.assertIn("[Cindervox] /etc/cindervox/policy.conf line 3: profile must be 0, 1 or 2; ignored\n", console)
            self.assertIn("[Cindervox] /etc/cindervox/policy.conf line 4: max_rate_per_agent must be a whole number from 1 to 100000; ignored\n",
                          console)
            self.assertTrue(srv.alive())
            health = srv.get("/api/health")
            self.assertEqual(health.status, 200)
            self.assertEqual((health.json()["profile"], health.json()["max_rate_per_agent"]), ("moderate", 120))
            self.assertEqual(policy(srv)["profile"], 1)

    def test_crlf_file_and_comments(self):
        text = "# mine\r\n[config]\r\nprofile=1 # moderate\r\n[blacklist]\r\ncurl\r\nrm -rf / \r\n[whitelist]\r\nls\r\n"
        with Instance(mode="basic", files={"policy.conf": text}) as srv:
            p = policy(srv)
            self.assertEqual((p["blacklist"], p["whitelist"], p["profile"]), (["curl", "rm -rf / "], ["ls"], 1))
            srv.post("/api/profile", '{"profile":1}')
            srv.post("/api/policy/reload", "")
            self.assertEqual(policy(srv), p)

    def test_reload_answer_console_and_audit(self):
        with Instance(mode="basic", files={"policy.conf": "[blacklist]\na\nb\nc\n[whitelist]\nls\ncat\n"}) as srv:
            self.assertEqual(srv.post("/api/policy/reload", "").raw,
                             ok('{"ok":true,"blacklist_count":3,"whitelist_count":2,"profile":0}'))
            self.assertTrue(srv.wait_console("[Cindervox] Policy reloaded from /etc/cindervox/policy.conf\n"))
            self.assertEqual(entry_tails(srv), ['[system] CONFIG OK "policy_reload" exit=0 dur=0ms\n'])

    def test_missing_and_empty_files(self):
        with Instance(mode="basic") as srv:
            self.assertIn("[Cindervox] No policy.conf found, using defaults\n", srv.console())
            self.assertEqual(srv.post("/api/policy/reload", "").raw, error(404, "Not Found", "policy.conf not found"))
            srv.post("/api/policy", '{"action":"add_bl","rule":"sudo"}')
            srv.write_etc("policy.conf", "")
            self.assertEqual(srv.post("/api/policy/reload", "").raw,
                             error(500, "Internal Server Error", "could not read policy.conf"))
            self.assertEqual(policy(srv)["blacklist_count"], 18)
            self.assertEqual(audit_entries(srv), [])
        with Instance(mode="basic", files={"policy.conf": ""}) as srv:
            self.assertNotIn("policy.conf", srv.console())
            self.assertEqual(srv.get("/api/policy").raw, ok(DEFAULT_POLICY))

    def test_only_config_section_empties_both_lists(self):
        with Instance(mode="basic", files={"policy.conf": "[config]\nprofile=0\n"}) as srv:
            p = policy(srv)
            self.assertEqual((p["blacklist"], p["whitelist"]), ([], []))
            self.assertEqual(srv.exec("ls").raw, json_answer(
                403, "Forbidden", '{"ok":false,"error":"command not in whitelist (strict mode)","rule":"ls"}'))

    # A change the server cannot save is in force all the same, and every answer, and the
    # console, says it will not outlast a restart.
    def test_unwritable_policy_file_says_so(self):
        with Instance(mode="kernel", extra_setup=READ_ONLY_ETC) as srv:
            self.assertEqual(srv.post("/api/policy", '{"action":"add_bl","rule":"sudo"}').raw,
                             ok('{"ok":true,"blacklist_count":18,"whitelist_count":14%s}' % POLICY_READ_ONLY))
            self.assertEqual(srv.exec("sudo ls").status, 403)
            self.assertEqual(srv.post("/api/profile", '{"profile":1}').raw,
                             ok('{"ok":true,"profile":1,"timeout_ms":30000,"max_mem_mb":256,"max_cpu_sec":30%s}' % POLICY_READ_ONLY))
            self.assertEqual(srv.post("/api/config", '{"rate_limit":50}').raw,
                             ok('{"ok":true,"max_rate_per_agent":50%s}' % POLICY_READ_ONLY))
            self.assertEqual(srv.post("/api/budget", '{"default":9}').raw,
                             ok('{"ok":true,"default_token_budget":9%s}' % POLICY_READ_ONLY))
            self.assertEqual(srv.post("/api/config", '{"timeout":1234}').raw, ok('{"ok":true,"timeout_ms":1234%s}' % TIMEOUT_NOT_KEPT))
            self.assertEqual(srv.post("/api/config", '{"username":"ops","password":"password1"}').raw,
                             ok('{"ok":true,"message":"%s"%s}' % (TMP_SAVED, CONFIG_COPIED % "Read-only file system (EROFS)")))
            self.assertEqual(os.listdir(srv.path("etc")), [])
            warnings = [line for line in srv.console().splitlines() if "WARNING" in line and "not saved" in line]
            self.assertEqual(warnings, [
                "[Cindervox] WARNING: the rule change is in force but not saved: could not write "
                "/etc/cindervox/policy.conf: Read-only file system (EROFS)",
                "[Cindervox] WARNING: the profile is in force but not saved: could not write "
                "/etc/cindervox/policy.conf: Read-only file system (EROFS)",
                "[Cindervox] WARNING: the rate limit is in force but not saved: could not write "
                "/etc/cindervox/policy.conf: Read-only file system (EROFS)",
                "[Cindervox] WARNING: the default token budget is in force but not saved: could not write "
                "/etc/cindervox/policy.conf: Read-only file system (EROFS)",
                "[Cindervox] WARNING: the time-out is in force but not saved: no file holds the time-out: the "
                "profile's comes back at the next profile change or restart",
                "[Cindervox] WARNING: the credentials change is in force but not saved: could not write "
                "/etc/cindervox/config: Read-only file system (EROFS); a copy is in /tmp/cindervox_config, which "
                "start-up does not read"])

    def test_saved_changes_say_so(self):
        with Instance(mode="kernel") as srv:
            self.assertEqual(srv.post("/api/policy", '{"action":"add_bl","rule":"sudo"}').raw,
                             ok('{"ok":true,"blacklist_count":18,"whitelist_count":14%s}' % SAVED))
            self.assertEqual(srv.post("/api/budget", '{"default":9}').raw, ok('{"ok":true,"default_token_budget":9%s}' % SAVED))
            self.assertEqual(srv.post("/api/config", '{"rate_limit":50}').raw, ok('{"ok":true,"max_rate_per_agent":50%s}' % SAVED))
            self.assertIn(b"\nmax_rate_per_agent=50\ndefault_token_budget=9\nmatcher=bytes\n", read(srv.path("etc", "policy.conf")))
            self.assertNotIn("not saved", srv.console())


class SettingsTest(unittest.TestCase):
    def test_credentials_change_and_survive_restart(self):
        with Instance(mode="kernel") as srv:
            self.assertEqual(srv.post("/api/config", '{"username":"ops","password":"password1"}').raw,
                             ok('{"ok":true,"message":"credentials updated"%s}' % SAVED))
            self.assertEqual(srv.get("/api/health").raw, UNAUTHORIZED)
            new = basic("ops", "password1")
            self.assertEqual(srv.get("/api/health", auth=new).status, 200)
            path = srv.path("etc", "config")
            self.assertEqual(read(path), b"ops:password1\nport=7575\n")
            self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600)
            self.assertEqual(sorted(os.listdir(srv.path("etc"))), ["config"])
            entries = srv.get("/api/audit", auth=new).json()["entries"]
            self.assertEqual([re.sub(r"^\[\d+\] ", "", e) for e in entries],
                             ['[system] CONFIG OK "credentials_changed" exit=0 dur=0ms\n'])
            saved = read(path)
        with Instance(mode="kernel", files={"config": saved}) as again:
            self.assertEqual(again.get("/api/health").raw, UNAUTHORIZED)
            self.assertEqual(again.get("/api/health", auth=basic("ops", "password1")).status, 200)

    def test_credentials_are_cut_and_must_survive_the_reader(self):
        with Instance(mode="kernel") as srv:
            user, password = "u" * 40, "p" * 70
            srv.post("/api/config", json.dumps({"username": user, "password": password}))
            self.assertEqual(srv.get("/api/health", auth=basic(user[:31], password[:63])).status, 200)
            self.assertEqual(read(srv.path("etc", "config")), ("u" * 31 + ":" + "p" * 63 + "\nport=7575\n").encode())
            auth = basic(user[:31], password[:63])
            refused = error(400, "Bad Request", "username and password must not contain '=' or line breaks")
            for body in ('{"username":"ops","password":"abc=defgh"}', '{"username":"ops","password":"x\\nport=22"}'):
                self.assertEqual(srv.post("/api/config", body, auth=auth).raw, refused)
            self.assertEqual(srv.get("/api/health", auth=auth).status, 200)
            self.assertEqual(read(srv.path("etc", "config")), ("u" * 31 + ":" + "p" * 63 + "\nport=7575\n").encode())

    def test_rate_limit_and_timeout(self):
        with Instance(mode="basic") as srv:
            self.assertEqual(srv.post("/api/config", '{"rate_limit":5000,"timeout":9}').raw,
                             ok('{"ok":true,"max_rate_per_agent":5000%s}' % POLICY_NOT_SAVED))
            self.assertEqual(srv.post("/api/config", '{"rate_limit":0,"timeout":1234}').raw,
                             ok('{"ok":true,"timeout_ms":1234%s}' % TIMEOUT_NOT_KEPT))
            missing = error(400, "Bad Request", MISSING_SETTING)
            for body in ('{"timeout":0}', '{"username":"ops","password":""}', '{}'):
                self.assertEqual(srv.post("/api/config", body).raw, missing, body)
            # A value that is no plain whole number is refused, never read as another number.
            rate_range = error(400, "Bad Request", "rate_limit must be a whole number from 1 to 100000")
            for body in ('{"rate_limit":-5}', '{"rate_limit":1e5}', '{"rate_limit":"5"}', '{"rate_limit":5.5}'):
                self.assertEqual(srv.post("/api/config", body).raw, rate_range, body)
            self.assertEqual(srv.post("/api/config", '{"timeout":-1}').raw,
                             error(400, "Bad Request", "timeout must be a whole number from 1 to 86400000"))
            self.assertEqual(srv.post("/api/config", '{"username":"ops","password":"","rate_limit":7}').raw,
                             ok('{"ok":true,"max_rate_per_agent":7%s}' % POLICY_NOT_SAVED))
            health = srv.get("/api/health").json()
            self.assertEqual((health["max_rate_per_agent"], health["timeout_ms"]), (7, 1234))
            self.assertEqual(entry_tails(srv), [
                '[system] CONFIG OK "rate_limit" exit=5000 dur=0ms\n',
                '[system] CONFIG OK "timeout" exit=1234 dur=0ms\n',
                '[system] CONFIG OK "rate_limit" exit=7 dur=0ms\n'])
            # The time-out is not part of the policy file; a profile switch overrides it.
            srv.post("/api/profile", '{"profile":0}')
            self.assertEqual(srv.get("/api/health").json()["timeout_ms"], 5000)

    def test_unwritable_etc_falls_back_to_tmp(self):
        with Instance(mode="basic") as srv:
            self.assertEqual(srv.post("/api/config", '{"username":"ops","password":"password1"}').raw,
                             ok('{"ok":true,"message":"%s"%s}' % (TMP_SAVED, CONFIG_COPIED % "Permission denied (EACCES)")))
            auth = basic("ops", "password1")
            path = srv.path("tmp", "cindervox_config")
            self.assertEqual(read(path), b"ops:password1\nport=7575\n")
            self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600)
            self.assertEqual(os.listdir(srv.path("etc")), [])
            entries = srv.get("/api/audit", auth=auth).json()["entries"]
            self.assertEqual([re.sub(r"^\[\d+\] ", "", e) for e in entries],
                             ['[system] CONFIG OK "credentials_changed_tmp" exit=0 dur=0ms\n'])

    def test_tmp_fallback_never_follows_a_planted_link(self):
        # As root, with /etc/cindervox read-only: the link is replaced, its target untouched.
        with Instance(mode="kernel", extra_setup=READ_ONLY_ETC) as srv:
            victim = srv.path("victim")
            with open(victim, "w") as f:
                f.write("keep")
            os.symlink("/mnt/victim", srv.path("tmp", "cindervox_config"))
            os.symlink("/mnt/victim", srv.path("tmp", "cindervox_config.tmp"))
            self.assertEqual(srv.post("/api/config", '{"username":"ops","password":"password1"}').raw,
                             ok('{"ok":true,"message":"%s"%s}' % (TMP_SAVED, CONFIG_COPIED % "Read-only file system (EROFS)")))
            self.assertEqual(read(victim), b"keep")
            self.assertFalse(os.path.islink(srv.path("tmp", "cindervox_config")))
            self.assertEqual(read(srv.path("tmp", "cindervox_config")), b"ops:password1\nport=7575\n")
        # As nobody, another user's link in sticky /tmp cannot be replaced: the save fails.
        with Instance(mode="basic") as srv:
            victim = srv.path("victim")
            with open(victim, "w") as f:
                f.write("keep")
            os.chmod(victim, 0o666)
            os.symlink("/mnt/victim", srv.path("tmp", "cindervox_config"))
            self.assertEqual(srv.post("/api/config", '{"username":"ops","password":"password1"}').raw,
                             ok('{"ok":true,"message":"credentials updated","persisted":false,"reason":"could not write '
                                '/etc/cindervox/config: Permission denied (EACCES)"}'))
            self.assertEqual(read(victim), b"keep")
            # The new login is in force although it could not be saved.
            self.assertEqual(srv.get("/api/health", auth=basic("ops", "password1")).status, 200)


class BudgetTest(unittest.TestCase):
    def test_budget_answers(self):
        with Instance(mode="basic") as srv:
            self.assertEqual(srv.post("/api/budget", "{}").raw,
                             error(400, "Bad Request", "missing agent or default field"))
            self.assertEqual(srv.post("/api/budget", '{"default":5000,"agent":"a","max_tokens":1}').raw,
                             ok('{"ok":true,"default_token_budget":5000%s}' % POLICY_NOT_SAVED))
            self.assertEqual(srv.get("/api/agents").json()["count"], 0)
            self.assertEqual(srv.post("/api/budget", '{"agent":"b\\"1"}').raw,
                             ok('{"ok":true,"agent":"b\\"1","max_tokens":0%s}' % AGENT_BUDGET_NOT_KEPT))
            self.assertEqual(srv.post("/api/budget", '{"agent":"big","max_tokens":99999999999}').raw,
                             ok('{"ok":true,"agent":"big","max_tokens":4294967295%s}' % AGENT_BUDGET_NOT_KEPT))
            self.assertEqual(srv.post("/api/budget", '{"default":0}').raw,
                             ok('{"ok":true,"default_token_budget":0%s}' % POLICY_NOT_SAVED))
            self.assertEqual(srv.post("/api/budget", '{"default":-1}').raw,
                             error(400, "Bad Request", "default must be a whole number from 0 to 4294967295"))
            self.assertEqual(srv.post("/api/budget", '{"agent":"neg","max_tokens":-5}').raw,
                             error(400, "Bad Request", "max_tokens must be a whole number of 0 or more"))
            agents = srv.get("/api/agents").json()["agents"]
            self.assertEqual([(a["name"], a["token_budget"]) for a in agents], [('b"1', 0), ("big", 4294967295)])
            self.assertEqual(audit_entries(srv), [])
            self.assertFalse(os.path.exists(srv.path("etc", "policy.conf")))

    # Agents with a budget of their own never leave the registry: once they fill it, a new
    # name is refused.
    def test_registry_full(self):
        with Instance(mode="basic", files={"config": "max_agents=32\n"}) as srv:
            for n in range(32):
                self.assertEqual(srv.post("/api/budget", '{"agent":"a%d","max_tokens":5}' % n).status, 200)
            self.assertEqual(srv.post("/api/budget", '{"agent":"a7","max_tokens":6}').status, 200)
            self.assertEqual(srv.post("/api/budget", '{"agent":"new"}').raw,
                             error(400, "Bad Request", "agent registry full"))
            # A 33rd name would escape every per-agent control: its write and its command are
            # refused and audited under its name; the registered agents go on as before.
            full = error(503, "Service Unavailable", "agent registry full")
            r = srv.post("/api/write", '{"path":"/tmp/full","content":"x"}', headers={"X-Agent": "late"})
            self.assertEqual(r.raw, full)
            self.assertFalse(os.path.exists(srv.path("tmp", "full")))
            self.assertEqual(srv.exec("echo hi", agent="late").raw, full)
            self.assertEqual([e[e.index("] [") + 2:] for e in audit_entries(srv)[-2:]],
                             ['[late] BLOCK REGISTRY_FULL "/tmp/full" exit=0 dur=0ms\n',
                              '[late] BLOCK REGISTRY_FULL "echo hi" exit=0 dur=0ms\n'])
            self.assertEqual(srv.exec("echo hi", agent="a7").status, 200)
            self.assertEqual(srv.get("/api/agents").json()["count"], 32)

    def test_budget_refuses_at_the_right_request(self):
        with Instance(mode="basic") as srv:
            srv.post("/api/budget", '{"agent":"b","max_tokens":100}')
            first = srv.exec("echo hi", agent="b", extra={"tokens_in": 60})
            self.assertNotEqual(first.status, 429, first)
            second = srv.exec("echo hi", agent="b", extra={"tokens_in": 40})
            self.assertNotEqual(second.status, 429, second)
            third = srv.exec("echo hi", agent="b", extra={"tokens_out": 1})
            self.assertEqual(third.status, 429, third)
            self.assertIn(b'"error":"token budget exceeded"', third.body)
            # Another agent falls back on the default budget.
            srv.post("/api/budget", '{"default":10}')
            self.assertNotEqual(srv.exec("echo hi", agent="c", extra={"tokens_in": 10}).status, 429)
            self.assertEqual(srv.exec("echo hi", agent="c", extra={"tokens_in": 1}).status, 429)


# Plain basic isolation as on a kernel without Landlock, where the operator allowed it.
UNCONFINED = {"without_landlock": True, "files": {"config": "allow_unconfined=yes\n"}}


class FileWriteTest(unittest.TestCase):
    """Writes on the host's /tmp: basic isolation where runs have no workspace and nothing
    confines them ("plain" without Landlock, allowed by allow_unconfined=yes). The planted
    files belong to the server's uid (65534) where the write must still be refused, so only
    the endpoint's own checks stand in the way."""

    def test_write_answer_file_and_audit(self):
        with Instance(mode="plain", **UNCONFINED) as srv:
            r = srv.post("/api/write", '{"path":"/tmp/out.txt","content":"a\\nb\\tc \\"q\\""}', headers={"X-Agent": "w1"})
            self.assertEqual(r.raw, ok('{"ok":true,"path":"/tmp/out.txt","bytes_written":9,"size":9}'))
            self.assertEqual(read(srv.path("tmp", "out.txt")), b'a\nb\tc "q"')
            srv.post("/api/write", '{"path":"/tmp/out.txt","content":"z"}')
            self.assertEqual(read(srv.path("tmp", "out.txt")), b"z")
            self.assertEqual(entry_tails(srv), ['[w1] WRITE OK "/tmp/out.txt" exit=0 dur=0ms\n',
                                                '[anonymous] WRITE OK "/tmp/out.txt" exit=0 dur=0ms\n'])
            agents = srv.get("/api/agents").json()["agents"]
            self.assertEqual([(a["name"], a["execs"], a["last_active"]) for a in agents], [("w1", 0, 0), ("anonymous", 0, 0)])

    def test_path_rules_in_order(self):
        with Instance(mode="plain", **UNCONFINED) as srv:
            outside = error(403, "Forbidden", "path must start with /tmp/")
            cases = [
                ('{"path":"tmp/x","content":"x"}', outside),
                ('{"path":"/tmpx/y","content":"x"}', outside),
                ('{"path":"/tmpx/y"}', outside),
                ('{"path":"/tmp/notes..txt","content":"x"}', error(403, "Forbidden", "path traversal not allowed")),
                ('{"content":"x"}', error(400, "Bad Request", "missing path field")),
                ('{}', error(400, "Bad Request", "missing path field")),
                ('{"path":"/tmp/a"}', error(400, "Bad Request", "missing content field")),
                ('{"path":"/tmp/","content":"x"}', error(400, "Bad Request", "is a directory: /tmp/")),
            ]
            for body, expected in cases:
                self.assertEqual(srv.post("/api/write", body, headers={"X-Agent": "r"}).raw, expected, body)
            self.assertEqual(srv.get("/api/agents").json()["count"], 0)
            self.assertEqual(audit_entries(srv), [])

    def test_long_path_is_refused_and_missing_folders_are_made(self):
        with Instance(mode="plain", **UNCONFINED) as srv:
            path = "/tmp/" + "n" * 295
            r = srv.post("/api/write", json.dumps({"path": path, "content": "x"}))
            self.assertEqual(r.raw, error(400, "Bad Request", "path too long (300 bytes, limit 250)"))
            self.assertFalse(os.path.exists(srv.path("tmp", "n" * 245)))
            r = srv.post("/api/write", '{"path":"/tmp/no/such/dir","content":"x"}')
            self.assertEqual(r.raw, ok('{"ok":true,"path":"/tmp/no/such/dir","bytes_written":1,"size":1}'))
            self.assertEqual(read(srv.path("tmp", "no", "such", "dir")), b"x")
            self.assertEqual(stat.S_IMODE(os.stat(srv.path("tmp", "no", "such")).st_mode), 0o755)

    def test_planted_links_are_not_followed(self):
        with Instance(mode="plain", **UNCONFINED) as srv:
            os.mkdir(srv.path("outside"))
            victim = srv.path("outside", "victim")
            with open(victim, "w") as f:
                f.write("keep")
            os.chown(victim, 65534, 65534)
            os.chown(srv.path("outside"), 65534, 65534)
            os.symlink("/mnt/outside/victim", srv.path("tmp", "link"))
            os.symlink("/mnt/outside", srv.path("tmp", "dirlink"))
            for path, link in (("/tmp/link", "/tmp/link"), ("/tmp/dirlink/victim", "/tmp/dirlink"),
                               ("/tmp/dirlink/new", "/tmp/dirlink"), ("/tmp/dirlink/made/new", "/tmp/dirlink")):
                self.assertEqual(srv.post("/api/write", '{"path":"%s","content":"owned"}' % path).raw,
                                 error(403, "Forbidden", "symbolic links not allowed: " + link), path)
            self.assertEqual(read(victim), b"keep")
            self.assertEqual(os.listdir(srv.path("outside")), ["victim"])

    def test_hard_links_and_foreign_files_are_not_written(self):
        with Instance(mode="plain", **UNCONFINED) as srv:
            os.mkdir(srv.path("outside"))
            victim = srv.path("outside", "victim")
            with open(victim, "w") as f:
                f.write("keep")
            os.chown(victim, 65534, 65534)
            os.link(victim, srv.path("tmp", "hard"))
            foreign = srv.path("tmp", "foreign")
            with open(foreign, "w") as f:
                f.write("theirs")
            os.chmod(foreign, 0o666)  # root's, but writable by the server
            for path, message in (("/tmp/hard", "file has more than one name (a hard link): /tmp/hard"),
                                  ("/tmp/foreign", "file belongs to another user: /tmp/foreign")):
                self.assertEqual(srv.post("/api/write", '{"path":"%s","content":"owned"}' % path).raw,
                                 error(403, "Forbidden", message), path)
            self.assertEqual((read(victim), read(foreign)), (b"keep", b"theirs"))
            self.assertEqual(srv.post("/api/write", '{"path":"/tmp/mine","content":"new"}').status, 200)
            self.assertEqual(srv.post("/api/write", '{"path":"/tmp/mine","content":"x"}').status, 200)
            self.assertEqual(read(srv.path("tmp", "mine")), b"x")

    def test_fifo_does_not_hold_the_server(self):
        with Instance(mode="plain", **UNCONFINED) as srv:
            os.mkfifo(srv.path("tmp", "fifo"), 0o666)
            os.chown(srv.path("tmp", "fifo"), 65534, 65534)
            start = time.time()
            self.assertEqual(srv.post("/api/write", '{"path":"/tmp/fifo","content":"x"}').raw,
                             error(400, "Bad Request", "not a regular file: /tmp/fifo"))
            self.assertLess(time.time() - start, 2)
            self.assertEqual(srv.get("/api/health").status, 200)

    def test_full_disk_is_reported_not_counted_as_written(self):
        full = "mkdir /tmp/small && mount -t tmpfs -o size=4k,mode=1777 tmpfs /tmp/small"
        with Instance(mode="plain", extra_setup=full, **UNCONFINED) as srv:
            r = srv.post("/api/write", json.dumps({"path": "/tmp/small/big", "content": "x" * 7000}))
            self.assertEqual(r.raw, error(507, "Insufficient Storage", "workspace full"))
            self.assertEqual(audit_entries(srv), [])
            self.assertEqual(os.listdir(srv.path("tmp", "small")), [])


if __name__ == "__main__":
    unittest.main()
