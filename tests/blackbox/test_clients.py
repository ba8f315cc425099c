"""Real HTTP clients against a real server: Node's built-in fetch, Python's urllib,
http.client sending the header block and the body as separate writes with a pause, and
curl. Each runs inside the server's network namespace and sends 50 commands, paced under
the global limit of 20 requests per second; every answer must parse and be right."""
import json
import subprocess
import sys
import unittest

from tests.blackbox.harness import DEFAULT_AUTH, Instance

COUNT = 50
PACE_S = 1 / 15

NODE_CLIENT = r"""
const [port, auth, count, pace] = process.argv.slice(1);
const sleep = ms => new Promise(r => setTimeout(r, ms));
(async () => {
    let good = 0;
    for (let i = 0; i < Number(count); i++) {
        const res = await fetch(`http://127.0.0.1:${port}/api/exec`, {
            method: 'POST',
            headers: { Authorization: auth, 'Content-Type': 'application/json', 'X-Agent': 'node-fetch' },
            body: JSON.stringify({ cmd: `echo node ${i}` }),
        });
        const body = await res.json();
        if (res.status === 200 && body.ok === true && body.stdout === `node ${i}\n` && body.exit_code === 0) good++;
        else console.log('wrong answer', i, res.status, JSON.stringify(body));
        await sleep(Number(pace) * 1000);
    }
    console.log('good', good);
})().catch(e => { console.log('failed', String(e), e.cause ? String(e.cause) : ''); process.exit(1); });
"""

URLLIB_CLIENT = r"""
import json, sys, time, urllib.request
port, auth, count, pace = sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
good = 0
for i in range(count):
    req = urllib.request.Request("http://127.0.0.1:%s/api/exec" % port, method="POST",
                                 data=json.dumps({"cmd": "echo urllib %d" % i}).encode(),
                                 headers={"Authorization": auth, "Content-Type": "application/json",
                                          "X-Agent": "urllib"})
    with urllib.request.urlopen(req, timeout=30) as res:
        body = json.loads(res.read())
        if res.status == 200 and body["stdout"] == "urllib %d\n" % i and body["exit_code"] == 0:
            good += 1
        else:
            print("wrong answer", i, res.status, body)
    time.sleep(pace)
print("good", good)
"""

SPLIT_CLIENT = r"""
import http.client, json, sys, time
port, auth, count, pace = sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
good = 0
for i in range(count):
    body = json.dumps({"cmd": "echo split %d" % i}).encode()
    conn = http.client.HTTPConnection("127.0.0.1", int(port), timeout=30)
    conn.putrequest("POST", "/api/exec")
    for name, value in (("Authorization", auth), ("Content-Type", "application/json"),
                        ("Content-Length", str(len(body))), ("X-Agent", "http-client")):
        conn.putheader(name, value)
    conn.endheaders()
    time.sleep(0.05)  # the body follows in a segment of its own
    conn.send(body)
    res = conn.getresponse()
    answer = json.loads(res.read())
    if res.status == 200 and answer["stdout"] == "split %d\n" % i:
        good += 1
    else:
        print("wrong answer", i, res.status, answer)
    conn.close()
    time.sleep(max(pace - 0.05, 0))
print("good", good)
"""

# curl prints each answer's status and body on one line; the test checks them.
CURL_CLIENT = r"""
port=$1; auth=$2; count=$3; pace=$4; i=0
while [ $i -lt $count ]; do
    curl -sS --max-time 30 -H "Authorization: $auth" -H 'Content-Type: application/json' \
         -H 'X-Agent: curl-client' --data "{\"cmd\":\"echo client $i\"}" -w ' %{http_code}\n' \
         "http://127.0.0.1:$port/api/exec"
    sleep $pace; i=$((i + 1))
done
"""


class RealClientsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = Instance(mode="basic")

    @classmethod
    def tearDownClass(cls):
        cls.srv.cleanup()

    def run_client(self, argv):
        ns = "--net=/proc/%d/ns/net" % self.srv.proc.pid
        args = [str(self.srv.port), DEFAULT_AUTH, str(COUNT), "%.3f" % PACE_S]
        done = subprocess.run(["nsenter", ns] + argv + args, capture_output=True, text=True, timeout=240)
        return done.stdout + done.stderr

    def check_client(self, argv):
        out = self.run_client(argv)
        self.assertEqual(out.strip().splitlines()[-1:], ["good %d" % COUNT], out)

    def test_node_fetch(self):
        self.check_client(["node", "-e", NODE_CLIENT])

    def test_python_urllib(self):
        self.check_client([sys.executable, "-c", URLLIB_CLIENT])

    def test_http_client_with_body_in_its_own_segment(self):
        self.check_client([sys.executable, "-c", SPLIT_CLIENT])

    def test_curl(self):
        lines = self.run_client(["sh", "-c", CURL_CLIENT, "curl"]).splitlines()
        self.assertEqual(len(lines), COUNT, lines)
        for i, line in enumerate(lines):
            body, _, status = line.rpartition(" ")
            self.assertEqual(status, "200", line)
            answer = json.loads(body)
            self.assertEqual((answer["ok"], answer["stdout"], answer["exit_code"]), (True, "client %d\n" % i, 0))


if __name__ == "__main__":
    unittest.main()
