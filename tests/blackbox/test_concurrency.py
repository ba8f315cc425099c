"""A server that never waits for one peer or one command: runs side by side (kernel mode),
other requests answered while commands run, idle connections that cost nothing, the run
queue's bound, the connection table's bound, and no process outliving its run in either
mode while runs overlap."""
import json
import threading
import time
import unittest

from tests.blackbox.harness import Instance, Response, json_error
from tests.blackbox.test_sandbox_escape import PERMISSIVE, processes_with, token


def wait_next_second():
    time.sleep(int(time.time()) + 1 - time.time() + 0.02)


def in_parallel(srv, jobs):
    """Runs each (cmd, agent) as its own exec request at once; returns (Response, seconds
    from the common start to the answer) in the jobs' order."""
    results = [None] * len(jobs)
    started = time.time()

    def one(i, cmd, agent):
        r = srv.exec(cmd, agent=agent, pace=False)
        results[i] = (r, time.time() - started)

    threads = [threading.Thread(target=one, args=(i, cmd, agent)) for i, (cmd, agent) in enumerate(jobs)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    return results


class ParallelRunsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = Instance(mode="kernel", files=PERMISSIVE)

    @classmethod
    def tearDownClass(cls):
        cls.srv.cleanup()

    def test_eight_agents_sleep_at_once_and_health_answers_meanwhile(self):
        wait_next_second()
        health = {}

        def probe():
            time.sleep(0.3)
            t = time.time()
            health["status"] = self.srv.get("/api/health", pace=False).status
            health["seconds"] = time.time() - t

        prober = threading.Thread(target=probe)
        prober.start()
        results = in_parallel(self.srv, [("sleep 1; echo done-%d" % i, "sleeper%d" % i) for i in range(8)])
        prober.join()
        for i, (r, seconds) in enumerate(results):
            self.assertEqual(r.status, 200, r.raw[:200])
            self.assertEqual(r.json()["stdout"], "done-%d\n" % i)
            self.assertLess(seconds, 2.0, "answer %d after %.2f s" % (i, seconds))
        self.assertEqual(health["status"], 200)
        self.assertLess(health["seconds"], 0.7)

    def test_idle_connections_do_not_delay_others(self):
        idle = [self.srv.connect() for _ in range(100)]
        try:
            started = time.time()
            self.assertEqual(self.srv.get("/api/health").status, 200)
            self.assertLess(time.time() - started, 1.0)
        finally:
            for s in idle:
                s.close()



class ProcessLimitTest(unittest.TestCase):
    def test_strict_runs_of_two_agents_each_get_their_own_process_limit(self):
        # Children held for a while, as many as the strict limit of 16 processes allows: the
        # limit counts per agent, so a run starts as many beside another agent's run as alone.
        program = ("python3 -c 'import os, time\n"
                   "kids = []\n"
                   "for i in range(24):\n"
                   "    try:\n"
                   "        pid = os.fork()\n"
                   "    except OSError:\n"
                   "        break\n"
                   "    if pid == 0:\n"
                   "        time.sleep(1.5); os._exit(0)\n"
                   "    kids.append(pid)\n"
                   "print(len(kids))\n"
                   "[os.waitpid(k, 0) for k in kids]'")
        with Instance(mode="kernel") as srv:
            # The limit counts every process of the uid on the host, and the uid is 60000 plus
            # the agent's slot: later slots keep clear of other servers' first agents.
            for i in range(24):
                self.assertEqual(srv.exec("refused-%d" % i, agent="filler%d" % i).status, 403)
            alone = srv.exec(program, agent="limit-a").json()["stdout"]
            self.assertIn(alone, ("14\n", "15\n"))
            wait_next_second()
            results = in_parallel(srv, [(program, "limit-a"), (program, "limit-b")])
            for r, _ in results:
                self.assertEqual(r.status, 200, r.raw[:200])
                self.assertEqual(r.json()["stdout"], alone)


class QueueTest(unittest.TestCase):
    def test_runs_beyond_the_queue_are_refused(self):
        with Instance(mode="kernel", files=dict(PERMISSIVE, config="max_concurrent_runs=1\n")) as srv:
            wait_next_second()
            results = in_parallel(srv, [("sleep 1; echo q", "q%d" % i) for i in range(6)])
            statuses = sorted(r.status for r, _ in results)
            self.assertEqual(statuses, [200] * 5 + [503])
            refused = [r for r, _ in results if r.status == 503][0]
            self.assertEqual(refused.raw, json_error(503, "Service Unavailable", "too many commands waiting"))
            # One at a time: the last of the five ended about five seconds after the start.
            self.assertGreater(max(seconds for r, seconds in results if r.status == 200), 4.5)
            self.assertEqual(srv.get("/api/health").json()["total_execs"], 5)


class ConnectionTableTest(unittest.TestCase):
    def test_oldest_idle_connection_makes_room(self):
        with Instance(mode="basic", files={"config": "max_connections=16\n"}) as srv:
            idle = [srv.connect() for _ in range(16)]
            try:
                self.assertEqual(srv.get("/api/health").status, 200)
                idle[0].settimeout(1.0)
                self.assertEqual(idle[0].recv(10), b"")
                idle[-1].settimeout(0.3)
                with self.assertRaises(TimeoutError):
                    idle[-1].recv(10)
            finally:
                for s in idle:
                    s.close()


class LeftoversCases:
    """No process outlives its run, with runs of several agents in flight together."""
    mode = None

    def test_background_setsid_and_double_fork_end_with_parallel_runs(self):
        marks = [token() for _ in range(4)]
        jobs = []
        for i, mark in enumerate(marks):
            cmd = ("sleep 7%s & setsid sleep 8%s & (sh -c 'sleep 9%s &' &); echo started"
                   % (mark, mark, mark))
            jobs.append((cmd, "left%d" % i))
        with Instance(mode=self.mode, files=PERMISSIVE) as srv:
            wait_next_second()
            results = in_parallel(srv, jobs)
            for r, _ in results:
                self.assertEqual(r.status, 200, r.raw[:200])
                # The jail has no /dev/null for the shell's background jobs to read.
                self.assertIn("started\n", r.json()["stdout"])
            time.sleep(0.2)
            for mark in marks:
                self.assertEqual(processes_with(mark), [], "a process of run %s outlived it" % mark)
            self.assertTrue(srv.alive())


class KernelLeftovers(LeftoversCases, unittest.TestCase):
    mode = "kernel"


class BasicLeftovers(LeftoversCases, unittest.TestCase):
    mode = "basic"


if __name__ == "__main__":
    unittest.main()
