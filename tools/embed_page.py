#!/usr/bin/env python3
"""Turns a page kept as real source files into C++ constants.

    embed_page.py OUT.h NAME TEMPLATE [--inline KEY=FILE ...] [--define KEY=VALUE ...]
                  [--snippets KEY=README] [--minify] [--ascii]

The template's markers @@KEY@@ named by --inline are replaced by the file's text at
build time (the style sheet, the script); with --minify, comment lines and indentation
of inlined .js and .css files are dropped (a script may not hold a string that spans
lines). --snippets replaces @@KEY@@ with a JSON object of the code blocks the README marks
with a line "<!-- snippet NAME -->" before them (an indented block or a fenced one; blocks
marked with the same name are joined by a blank line), so a page shows the README's own
examples. Every other marker @@NAME@@ that remains is a
value the program supplies at run time: the text is split there, and the header gets the
constant pieces in order, each a NUL-terminated raw string, plus the marker names between
them. The output is rewritten only when it changes, so the build stays incremental.
"""
import json
import re
import sys

DELIM = "EMBED"


def fail(msg):
    sys.stderr.write("embed_page: " + msg + "\n")
    sys.exit(1)


def minify(path, body):
    """Comment lines and indentation out of a script (lines kept whole, so nothing inside
    a string can change), comments and blanks out of a style sheet."""
    if path.endswith(".css"):
        # Blanks around punctuation carry no meaning in a style sheet without strings
        # holding them (descendant selectors keep the blank between their parts).
        body = re.sub(r"/\*.*?\*/", "", body, flags=re.S)
        return re.sub(r"\s*([{};:,>])\s*", r"\1", " ".join(line.strip() for line in body.split("\n") if line.strip()))
    if not path.endswith(".js"):
        return body
    lines = []
    for line in body.split("\n"):
        line = line.strip()
        if not line or (path.endswith(".js") and line.startswith("//")):
            continue
        lines.append(line)
    return "\n".join(lines)


def readme_snippets(path):
    """The README's marked code blocks by name, in the order the README gives them."""
    lines = open(path, encoding="utf-8").read().split("\n")
    found = {}
    for i, line in enumerate(lines):
        m = re.match(r"<!-- snippet ([a-z0-9-]+) -->$", line.strip())
        if not m:
            continue
        j = i + 1
        while j < len(lines) and not lines[j].strip():
            j += 1
        block = []
        if j < len(lines) and lines[j].startswith("```"):
            j += 1
            while j < len(lines) and not lines[j].startswith("```"):
                block.append(lines[j])
                j += 1
        else:
            while j < len(lines) and (lines[j].startswith("    ") or not lines[j].strip()):
                block.append(lines[j][4:])
                j += 1
            while block and not block[-1].strip():
                block.pop()
        if not block:
            fail(path + ": snippet " + m.group(1) + " has no code block after it")
        text = "\n".join(block)
        found[m.group(1)] = found[m.group(1)] + "\n\n" + text if m.group(1) in found else text
    if not found:
        fail(path + " marks no snippet")
    # Inside a <script> element "</" must not appear.
    return json.dumps(found, ensure_ascii=True, sort_keys=False).replace("</", "<\\/")


def main():
    args = sys.argv[1:]
    if len(args) < 3:
        fail(__doc__)
    out, name, template = args[0], args[1], args[2]
    inlines, defines, ascii_only, minified, snippets = {}, {}, False, False, {}
    rest = args[3:]
    i = 0
    while i < len(rest):
        if rest[i] == "--inline":
            key, path = rest[i + 1].split("=", 1)
            inlines[key] = path
            i += 2
        elif rest[i] == "--define":
            key, value = rest[i + 1].split("=", 1)
            defines[key] = value
            i += 2
        elif rest[i] == "--snippets":
            key, path = rest[i + 1].split("=", 1)
            snippets[key] = path
            i += 2
        elif rest[i] == "--minify":
            minified = True
            i += 1
        elif rest[i] == "--ascii":
            ascii_only = True
            i += 1
        else:
            fail("unknown argument " + rest[i])
    text = open(template, encoding="utf-8").read()
    for key, path in inlines.items():
        body = open(path, encoding="utf-8").read()
        if body.endswith("\n"):
            body = body[:-1]
        if minified:
            body = minify(path, body)
        marker = "@@" + key + "@@"
        if marker not in text:
            fail(template + " has no marker " + marker)
        text = text.replace(marker, body)
    for key, path in snippets.items():
        marker = "@@" + key + "@@"
        if marker not in text:
            fail(template + " has no marker " + marker)
        text = text.replace(marker, readme_snippets(path))
    for key, value in defines.items():
        text = text.replace("@@" + key + "@@", value)
    if "\r" in text:
        fail("page sources must use LF line ends only")
    if ")" + DELIM + '"' in text:
        fail("source contains the raw-string delimiter")
    if ascii_only and any(ord(c) > 127 for c in text):
        bad = next(c for c in text if ord(c) > 127)
        fail("non-ASCII character %r; write it as an HTML entity or escape" % bad)
    parts = re.split(r"@@([A-Z0-9_]+)@@", text)
    pieces, markers = parts[0::2], parts[1::2]
    lines = [
        "// Generated by tools/embed_page.py from " + template + "; do not edit.",
        "#pragma once",
        '#include "runtime/types.h"',
        "",
    ]
    for n, piece in enumerate(pieces):
        lines.append("inline constexpr char k_%s_piece_%d[] = R\"%s(%s)%s\";" % (name, n, DELIM, piece, DELIM))
    lines.append("inline constexpr const char* k_%s_pieces[] = { %s };" % (
        name, ", ".join("k_%s_piece_%d" % (name, n) for n in range(len(pieces)))))
    lines.append("inline constexpr i64 k_%s_piece_lengths[] = { %s };" % (
        name, ", ".join(str(len(p.encode("utf-8"))) for p in pieces)))
    lines.append("inline constexpr i64 k_%s_piece_count = %d;" % (name, len(pieces)))
    lines.append("inline constexpr i64 k_%s_constant_length = %d;" % (
        name, sum(len(p.encode("utf-8")) for p in pieces)))
    lines.append("// Runtime values between the pieces, in order: " + ", ".join(markers))
    result = "\n".join(lines) + "\n"
    try:
        if open(out, encoding="utf-8").read() == result:
            return
    except OSError:
        pass
    with open(out, "w", encoding="utf-8") as f:
        f.write(result)


if __name__ == "__main__":
    main()
