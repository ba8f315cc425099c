"""What the server counts of its work, seen from outside: the activity history of
GET /api/history, fed by runs, refusals, seccomp kills, time-outs and token reports; and
GET /metrics, checked by promtool and scraped by a real Prometheus inside the test's own
network namespace, with the shipped scrape configuration and alert rules."""
import json
import os
import shutil
import subprocess
import tempfile
import time
import unittest
import urllib.parse

from tests.blackbox.harness import ROOT, UNAUTHORIZED, Instance, recv_all

PERMISSIVE = {"policy.conf": "[config]\nprofile=2\n[blacklist]\nwget\n"}
AGENT_TOKENS = {"agents": "bot:bot-token-0123456789\n"}
SECCOMP_KILL = "exec python3 -c 'import ctypes; ctypes.CDLL(None).syscall(310, 0, 0, 0, 0, 0, 0)'"


def totals(buckets):
    """The buckets' counts summed, refusals by kind."""
    out = {"runs": 0, "seccomp_kills": 0, "timeouts": 0, "tokens_in": 0, "tokens_out": 0, "refused": {}}
    for b in buckets:
        for key in ("runs", "seccomp_kills", "timeouts", "tokens_in", "tokens_out"):
            out[key] += b[key]
        for kind, n in b["refused"].items():
            out["refused"][kind] = out["refused"].get(kind, 0) + n
    return out


class HistoryTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = Instance(files=dict(PERMISSIVE, **AGENT_TOKENS))

    @classmethod
    def tearDownClass(cls):
        cls.srv.cleanup()

    def test_history_counts_runs_refusals_kills_timeouts_and_tokens(self):
        srv = self.srv
        for _ in range(2):
            self.assertEqual(srv.exec("echo hi", agent="alpha", extra={"tokens_in": 100, "tokens_out": 7}).status, 200)
        slow = srv.exec("sleep 5", agent="alpha", extra={"timeout_ms": 300}).json()
        self.assertTrue(slow["timed_out"], slow)
        self.assertEqual(srv.exec("wget x", agent="beta").status, 403)
        self.assertEqual(srv.exec(SECCOMP_KILL, agent="beta").json()["killed_by"], "seccomp")
        self.assertEqual(srv.exec("x" * 70000, agent="gamma").status, 400)
        answer = srv.get("/api/history")
        self.assertEqual(answer.status, 200)
        history = answer.json()
        now = history["now"]
        self.assertLessEqual(abs(now - time.time()), 5)
        self.assertEqual(set(history), {"ok", "now", "minutes", "hours", "agents"})
        for name, count, width in (("minutes", 60, 60), ("hours", 24, 3600)):
            starts = [b["t"] for b in history[name]]
            self.assertEqual(starts, [now - now % width - (count - 1 - i) * width for i in range(count)], name)
        expected = {"runs": 4, "seccomp_kills": 1, "timeouts": 1, "tokens_in": 200, "tokens_out": 14,
                    "refused": {"blacklist": 1, "too_long": 1}}
        self.assertEqual(totals(history["minutes"]), expected)
        self.assertEqual(totals(history["hours"]), expected)
        self.assertTrue(all(b["refused"] == {} for b in history["minutes"][:50]))
        agents = history["agents"]
        self.assertEqual([a["agent"] for a in agents], ["alpha", "beta", "gamma"])
        self.assertEqual(totals(agents[0]["minutes"]), {"runs": 3, "seccomp_kills": 0, "timeouts": 1, "tokens_in": 200,
                                                        "tokens_out": 14, "refused": {}})
        self.assertEqual(totals(agents[1]["hours"]), {"runs": 1, "seccomp_kills": 1, "timeouts": 0, "tokens_in": 0,
                                                      "tokens_out": 0, "refused": {"blacklist": 1}})
        self.assertEqual(totals(agents[2]["minutes"])["refused"], {"too_long": 1})
        # A reset leaves the history as it was.
        self.assertEqual(srv.request("DELETE", "/api/sandbox").status, 200)
        self.assertEqual(totals(srv.get("/api/history").json()["hours"]), expected)

    def test_history_is_for_the_admin_only(self):
        self.assertEqual(self.srv.get("/api/history", auth=None).raw, UNAUTHORIZED)
        refused = self.srv.get("/api/history", auth="Bearer bot-token-0123456789")
        self.assertEqual((refused.status, refused.json()["error"]), (403, "an agent token cannot use this endpoint"))
        self.assertEqual(self.srv.get("/api/history", auth="Bearer lanternfish-bearer-0000").status, 200)


METRICS_TOKEN = "scrape-4f9c2b7e1d8a6035"
DEPLOY = os.path.join(ROOT, "deploy", "prometheus")


def promtool(*args, stdin=None):
    return subprocess.run(["promtool", *args], input=stdin, capture_output=True, timeout=60)


def samples(text):
    """{series: value} of an exposition's sample lines."""
    out = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            series, _, value = line.rpartition(" ")
            out[series] = value
    return out


class MetricsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = Instance(files=dict(AGENT_TOKENS, config="metrics_token=%s  \n" % METRICS_TOKEN))

    @classmethod
    def tearDownClass(cls):
        cls.srv.cleanup()

    def metrics(self, auth="Bearer " + METRICS_TOKEN):
        return self.srv.get("/metrics", auth=auth)

    def test_exposition_passes_promtool_and_counts_commands(self):
        before = samples(self.metrics().text)
        for i in range(3):
            self.assertEqual(self.srv.exec("echo %d" % i, agent="m").status, 200)
        self.assertEqual(self.srv.exec("wget x", agent="m").status, 403)
        answer = self.metrics()
        self.assertEqual(answer.status, 200)
        self.assertEqual(answer.headers["Content-Type"], "text/plain; version=0.0.4; charset=utf-8")
        checked = promtool("check", "metrics", stdin=answer.body)
        self.assertEqual((checked.returncode, checked.stdout, checked.stderr), (0, b"", b""))
        after = samples(answer.text)
        ok = 'cindervox_commands_total{result="ok"}'
        self.assertEqual(int(after[ok]) - int(before[ok]), 3)
        self.assertEqual(int(after['cindervox_refusals_total{kind="blacklist"}']) -
                         int(before['cindervox_refusals_total{kind="blacklist"}']), 1)
        self.assertEqual(after['cindervox_build_info{version="1.0.6"}'], "1")
        self.assertEqual(after['cindervox_run_duration_seconds_bucket{le="+Inf"}'],
                         after["cindervox_run_duration_seconds_count"])
        self.assertGreater(int(after["cindervox_resident_memory_bytes"]), 0)
        self.assertEqual(after["cindervox_open_connections"], "1")
        self.assertGreaterEqual(int(after["cindervox_agents"]), 1)
        # No agent's name becomes a label.
        self.assertNotIn('"m"', answer.text)

    def test_only_the_admin_and_the_metrics_token_read_metrics(self):
        self.assertEqual(self.metrics(auth=None).raw, UNAUTHORIZED)
        self.assertEqual(self.metrics(auth="Bearer " + METRICS_TOKEN + "x").raw, UNAUTHORIZED)
        self.assertEqual(self.metrics(auth="Bearer bot-token-0123456789").raw, UNAUTHORIZED)
        self.assertEqual(self.metrics(auth="Basic dGVyb3g6d2lja2VycG9k").status, 200)
        self.assertEqual(self.metrics(auth="Bearer lanternfish-bearer-0000").status, 200)
        # The metrics token opens nothing else.
        for path in ("/api/health", "/api/history", "/"):
            self.assertEqual(self.srv.get(path, auth="Bearer " + METRICS_TOKEN).raw, UNAUTHORIZED, path)
        self.assertEqual(self.srv.request("HEAD", "/metrics").status, 405)

    def test_a_real_prometheus_scrapes_the_commands_counter(self):
        work = tempfile.mkdtemp(prefix="cvx-prom-")
        prometheus = None
        try:
            config = self.scrape_config(work)
            checked = promtool("check", "config", config)
            self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
            log = open(os.path.join(work, "prometheus.log"), "wb")
            prometheus = subprocess.Popen(
                ["nsenter", "--net=/proc/%d/ns/net" % self.srv.proc.pid, "prometheus", "--config.file=" + config,
                 "--storage.tsdb.path=" + os.path.join(work, "data"), "--web.listen-address=127.0.0.1:9090"],
                stdout=log, stderr=subprocess.STDOUT, cwd=work)
            before = self.scraped(lambda v: v is not None, prometheus)
            for i in range(5):
                self.assertEqual(self.srv.exec("echo %d" % i, agent="scraped").status, 200)
            self.assertEqual(self.scraped(lambda v: v == before + 5, prometheus), before + 5)
            self.assertEqual(self.query("up")[0]["value"][1], "1")
        finally:
            if prometheus:
                prometheus.terminate()
                prometheus.wait(timeout=30)
            shutil.rmtree(work, ignore_errors=True)

    def scrape_config(self, work):
        """The shipped scrape configuration, scraping every second with a token file of the
        test's own; the alert rules beside it."""
        token = os.path.join(work, "token")
        with open(token, "w") as f:
            f.write(METRICS_TOKEN + "\n")
        shutil.copy(os.path.join(DEPLOY, "cindervox-alerts.yml"), work)
        with open(os.path.join(DEPLOY, "prometheus.yml")) as f:
            text = f.read()
        for old, new in (("scrape_interval: 15s", "scrape_interval: 1s"),
                         ("/etc/prometheus/cindervox-metrics-token", token)):
            self.assertIn(old, text)
            text = text.replace(old, new)
        self.assertIn("127.0.0.1:%d" % self.srv.port, text)
        path = os.path.join(work, "prometheus.yml")
        with open(path, "w") as f:
            f.write(text)
        return path

    def query(self, expr):
        s = self.srv.ns.connect(9090, timeout=10)
        try:
            s.sendall(("GET /api/v1/query?query=%s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"
                       % urllib.parse.quote(expr)).encode())
            body = recv_all(s).partition(b"\r\n\r\n")[2]
        finally:
            s.close()
        answer = json.loads(body)
        self.assertEqual(answer["status"], "success", answer)
        return answer["data"]["result"]

    def scraped(self, wanted, prometheus, timeout=90):
        """The commands counter as Prometheus has it, once wanted(value) holds."""
        deadline = time.time() + timeout
        value = None
        while time.time() < deadline:
            self.assertIsNone(prometheus.poll(), "prometheus ended")
            try:
                result = self.query('sum(cindervox_commands_total{job="cindervox", result="ok"})')
                value = int(result[0]["value"][1]) if result else None
            except (OSError, ValueError):
                # Not listening yet, or not ready (503 while its storage opens).
                value = None
            if wanted(value):
                return value
            time.sleep(0.5)
        self.fail("Prometheus has %r for the commands counter" % value)

    def test_alert_rules_pass_promtool_and_their_own_tests(self):
        checked = promtool("check", "rules", os.path.join(DEPLOY, "cindervox-alerts.yml"))
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
        self.assertIn(b"SUCCESS: 4 rules found", checked.stdout)
        tested = promtool("test", "rules", os.path.join(ROOT, "tests", "prometheus", "alerts_test.yml"))
        self.assertEqual(tested.returncode, 0, tested.stdout + tested.stderr)


if __name__ == "__main__":
    unittest.main()
