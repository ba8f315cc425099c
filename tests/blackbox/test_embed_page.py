"""tools/embed_page.py run as the build runs it: the README's marked examples become the
page's JSON, minified scripts and style sheets keep every string, and a marker without a
code block after it stops the build."""
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOL = os.path.join(ROOT, "tools", "embed_page.py")

README = """# Title

<!-- snippet shell -->
    echo one \\
      two

<!-- snippet shell -->
```sh
echo "</script>"
```

Prose with `code`.

<!-- snippet other -->
    a

    b
Prose.
"""

SCRIPT = """// a comment line
const s = 'a // not a comment';
    let t = 1;   // kept: the line holds code
"""

STYLE = """/* gone */
a > b, c:hover { color: red; }
.x .y { margin: 0 1px; }
"""


def embed(files, *args):
    with tempfile.TemporaryDirectory() as tmp:
        for name, text in files.items():
            with open(os.path.join(tmp, name), "w") as f:
                f.write(text)
        out = os.path.join(tmp, "out.h")
        run = subprocess.run([sys.executable, TOOL, out, "page", os.path.join(tmp, "page.html"),
                              *[a.replace("TMP", tmp) for a in args]], capture_output=True, text=True)
        if run.returncode != 0:
            return None, run.stderr
        with open(out) as f:
            header = f.read()
        return "".join(re.findall(r'R"EMBED\((.*?)\)EMBED"', header, re.S)), run.stderr


class EmbedPageTest(unittest.TestCase):
    def test_readme_snippets_become_json_in_the_page(self):
        page, err = embed({"page.html": "<script type=application/json>@@S@@</script>", "README.md": README},
                          "--snippets", "S=TMP/README.md")
        self.assertIsNotNone(page, err)
        data = page[len("<script type=application/json>"):-len("</script>")]
        self.assertNotIn("</script>", data)
        self.assertEqual(json.loads(data.replace("<\\/", "</")),
                         {"shell": 'echo one \\\n  two\n\necho "</script>"', "other": "a\n\nb"})

    def test_minify_drops_comment_lines_and_blanks_but_no_string(self):
        page, err = embed({"page.html": "<style>@@C@@</style><script>@@J@@</script>", "x.js": SCRIPT, "x.css": STYLE},
                          "--inline", "J=TMP/x.js", "--inline", "C=TMP/x.css", "--minify")
        self.assertIsNotNone(page, err)
        self.assertEqual(page, "<style>a>b,c:hover{color:red;}.x .y{margin:0 1px;}</style>"
                               "<script>const s = 'a // not a comment';\nlet t = 1;   // kept: the line holds code</script>")

    def test_a_marker_without_a_block_stops_the_build(self):
        page, err = embed({"page.html": "@@S@@", "README.md": "<!-- snippet lost -->\n\nProse.\n"}, "--snippets", "S=TMP/README.md")
        self.assertIsNone(page)
        self.assertIn("snippet lost has no code block after it", err)


if __name__ == "__main__":
    unittest.main()
