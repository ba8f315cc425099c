"""The audit file keeps what ran: a command's whole text, one line, however long, while the
ring and GET /api/audit keep its first 150 bytes and mark the cut with the full length."""
import re
import unittest

from tests.blackbox.harness import Instance

TAIL = "; cat /etc/os-release | head -1"
# The padding trick: a harmless start, blanks past what the ring keeps, and the real work.
PADDED = "echo build ok" + " " * 200 + TAIL


class AuditFileTest(unittest.TestCase):
    def test_padded_command_is_whole_in_the_file_and_marked_in_the_report(self):
        with Instance(mode="kernel") as srv:
            r = srv.exec(PADDED, agent="builder")
            self.assertEqual(r.status, 200, r.raw[:300])
            self.assertTrue(r.json()["stdout"].startswith("build ok"), r.json())
            # The longest command the server takes, with a line break inside.
            longest = "echo " + "x" * 1990 + "\nid"
            self.assertEqual(len(longest), 1998)
            self.assertEqual(srv.exec(longest, agent="builder").status, 200)
            with open(srv.path("log", "audit.log"), "rb") as f:
                lines = f.read().decode().splitlines()
            self.assertRegex(lines[-2], r'^\[\d+\] \[builder\] EXEC OK "%s" exit=0 dur=\d+ms profile=strict$' % re.escape(PADDED))
            self.assertRegex(lines[-1], r'^\[\d+\] \[builder\] EXEC OK "%s" exit=0 dur=\d+ms profile=strict$'
                             % re.escape(longest.replace("\n", "\\n")))
            entries = srv.get("/api/audit?agent=builder").json()["entries"]
            self.assertRegex(entries[0], r'^\[\d+\] \[builder\] EXEC OK "%s" detail_bytes=%d exit=0 dur=\d+ms profile=strict\n$'
                             % (re.escape(PADDED[:150]), len(PADDED)))
            self.assertRegex(entries[1], r'" detail_bytes=1998 exit=0 dur=\d+ms profile=strict\n$')

    def test_a_refused_long_command_is_whole_in_the_file_too(self):
        with Instance(mode="basic") as srv:
            cmd = "echo fine" + " " * 300 + "; rm -rf /"
            r = srv.exec(cmd, agent="sneaky")
            self.assertEqual(r.status, 403, r.raw[:300])
            with open(srv.path("tmp", "cindervox_audit.log")) as f:
                self.assertIn('[sneaky] BLOCK BLACKLIST "%s" exit=0 dur=0ms profile=strict\n' % cmd, f.read())
            entry = srv.get("/api/audit?agent=sneaky").json()["entries"][-1]
            self.assertIn('" detail_bytes=%d exit=0' % len(cmd), entry)


if __name__ == "__main__":
    unittest.main()
