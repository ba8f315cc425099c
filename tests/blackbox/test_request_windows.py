"""Each credential has its own per-second request window: an agent that sends 21 requests
at the start of every second is refused its 21st, and another agent and the admin, sending
all the while, are never refused. Agents by token, and by X-Agent name under the admin's
credential."""
import threading
import time
import unittest

from tests.blackbox.harness import DEFAULT_AUTH, Instance

AGENTS = "flooder:tok-flooder-1\nbystander:tok-bystander-2\n"


def wait_next_second():
    time.sleep(int(time.time()) + 1 - time.time() + 0.02)


class WindowFlood:
    """Sends `per_second` GET /api/health as one credential at the start of every second,
    one after another, for `seconds` seconds; keeps each second's statuses."""

    def __init__(self, srv, auth, headers=None, per_second=21, seconds=3):
        self.srv, self.auth, self.headers = srv, auth, headers
        self.per_second, self.seconds = per_second, seconds
        self.seconds_seen = []
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        for _ in range(self.seconds):
            if self.stopping.is_set():
                return
            wait_next_second()
            second = int(time.time())
            statuses = [self.srv.get("/api/health", auth=self.auth, headers=self.headers, pace=False).status
                        for _ in range(self.per_second)]
            if int(time.time()) == second:
                self.seconds_seen.append(statuses)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stopping.set()
        self.thread.join(30)


class RequestWindowTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = Instance(mode="kernel", files={"agents": AGENTS})

    @classmethod
    def tearDownClass(cls):
        cls.srv.cleanup()

    def check_flood_spares(self, flooder, bystanders):
        """flooder: (auth, headers) sending 21 a second; bystanders: (auth, headers) each
        sending ten a second meanwhile."""
        refused = []
        with WindowFlood(self.srv, *flooder) as flood:
            deadline = time.time() + 3.5
            while time.time() < deadline:
                for auth, headers in bystanders:
                    r = self.srv.get("/api/health", auth=auth, headers=headers, pace=False)
                    if r.status != 200:
                        refused.append((auth, headers, r.raw))
                time.sleep(0.1)
        self.assertEqual(refused, [])
        # Every second the flood sent within one calendar second, its 21st was refused.
        self.assertTrue(flood.seconds_seen, "no second of the flood fell within one calendar second")
        for statuses in flood.seconds_seen:
            self.assertEqual(statuses, [200] * 20 + [429])

    def test_a_token_agent_at_21_a_second_spares_another_agent_and_the_admin(self):
        self.check_flood_spares(("Bearer tok-flooder-1", None),
                                [("Bearer tok-bystander-2", None), (DEFAULT_AUTH, None)])

    def test_an_x_agent_name_at_21_a_second_spares_other_names_and_the_admin(self):
        self.check_flood_spares((DEFAULT_AUTH, {"X-Agent": "flooder"}),
                                [(DEFAULT_AUTH, {"X-Agent": "bystander"}), (DEFAULT_AUTH, None),
                                 ("Bearer tok-bystander-2", {"X-Agent": "flooder"})])


if __name__ == "__main__":
    unittest.main()
