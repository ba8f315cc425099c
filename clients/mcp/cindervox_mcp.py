#!/usr/bin/env python3
"""MCP server over stdio that runs an agent's shell actions in a Cindervox sandbox.

An MCP client (Claude Code, an IDE, the official SDKs) starts this program and exchanges
JSON-RPC 2.0 messages with it, one per line on standard input and output. It offers the
tools execute_command, write_file, read_file and list_files, and for commands that outlast a
call start_command, command_status, write_command_stdin, stop_command and list_commands. The
file tools are one request each to the sandbox server through the `cindervox` Python client;
the others are passed on to the server's own MCP endpoint (/mcp), so that a long command's
progress notifications (asked for with _meta.progressToken) come back to the client as the
server sends them, and a client's notifications/cancelled ends the command on the server,
with every process it started. A refusal of the server (blacklist, rate limit, budget, bad path) comes back as a
tool result with isError set and the server's message, so the model can read it and change
course; protocol errors are kept for malformed calls.

Set the server below or through the environment variables of the same names:

    claude mcp add cindervox -- python3 /path/to/cindervox_mcp.py
    claude mcp add cindervox -e TEROX_URL=http://10.0.0.5:7575 -- python3 cindervox_mcp.py

Standard library only; diagnostics go to standard error, never to standard output.
"""
import base64
import http.client
import json
import os
import secrets
import socket
import sys
import threading
import urllib.parse

# ---- settings (each can be overridden by an environment variable of the same name) ----
TEROX_URL = "http://127.0.0.1:7575"
TEROX_USER = "terox"
TEROX_PASSWORD = "wickerpod"
TEROX_TOKEN = ""  # a bearer token (an agent token) instead of the user and password
TEROX_AGENT = "claude-code"

TEROX_URL = os.environ.get("TEROX_URL", TEROX_URL)
TEROX_USER = os.environ.get("TEROX_USER", TEROX_USER)
TEROX_PASSWORD = os.environ.get("TEROX_PASSWORD", TEROX_PASSWORD)
TEROX_TOKEN = os.environ.get("TEROX_TOKEN", TEROX_TOKEN)
TEROX_AGENT = os.environ.get("TEROX_AGENT", TEROX_AGENT)

try:
    import cindervox
except ImportError:
    # Run from a checkout without the package installed: use the repository's copy.
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "python"))
    import cindervox

SERVER_VERSION = cindervox.__version__
# Newest first: an unknown version asked for at initialize gets the newest.
PROTOCOL_VERSIONS = ("2025-11-25", "2025-06-18")

PARSE_ERROR = -32700
INVALID_REQUEST = -32600
METHOD_NOT_FOUND = -32601
INVALID_PARAMS = -32602

INSTRUCTIONS = (
    "Every shell action goes through execute_command, which runs it in the Cindervox "
    "sandbox instead of on the user's machine. The sandbox reaches no network beyond its own "
    "loopback. /tmp is the working directory; where the server isolates runs, files there "
    "persist between your commands and nothing else does. Use write_file to create files, "
    "read_file to read them back and list_files to see what is there. For a command that may "
    "outlast a call (a build, a server), start_command runs it in the background and "
    "command_status reads its output.")

EXECUTE_DESCRIPTION = (
    "Run a shell command in the Cindervox sandbox (an isolated Linux jail reached over "
    "HTTP) and return its stdout and stderr (separately, unless merge_stderr) and exit code. "
    "The command is run by /bin/sh -c with /tmp as working directory (or cwd); it is never "
    "cut: one longer than the server takes (64 KiB by default) is refused. Each output "
    "stream keeps up to 1 MiB by default; beyond that its first and last halves are kept and "
    "stdout_truncated or stderr_truncated says so. There is no network beyond the sandbox's "
    "own loopback. Limits depend on the server's security profile: strict allows only "
    "whitelisted commands (ls, cat, echo, grep, python3, node, ...) for 5 s; moderate 30 s; "
    "permissive 300 s. Refused before running: blacklisted text (rm -rf /, curl, wget, ...), "
    "and the constructs $( ), backquotes, '..', 'eval', /proc/ and /etc/p*|s*|h*. A refusal "
    "is returned as an error result with the server's reason; change the command rather than "
    "retrying it unchanged.")

WRITE_DESCRIPTION = (
    "Create, replace or append to a file under /tmp/ in the sandbox, for example a script "
    "that execute_command then runs (mode 0755 makes it executable). content is text, or any "
    "bytes as base64 with encoding base64; a file is at most 8 MiB by default. Missing parent "
    "directories are made. The path must start with /tmp/ and must not contain '..'.")

READ_DESCRIPTION = (
    "Read a file under /tmp/ in the sandbox, for example what a command wrote. Returns its "
    "text (bytes that are not UTF-8 replaced, and lossy says so) or, with encoding base64, its "
    "exact bytes as base64; offset and length read a part of a large file, and eof says "
    "whether the read reached the end.")

LIST_DESCRIPTION = (
    "List a directory under /tmp in the sandbox (default /tmp): each entry's name, type "
    "(file, dir, link or other), size, mode and modification time. At most 1,000 entries; "
    "truncated says when there are more.")

AGENT_PROPERTY = {"type": "string", "minLength": 1, "maxLength": 31,
                  "description": "Agent name for the audit log and the agent's limits; "
                                 "defaults to this server's agent."}
ENCODING_PROPERTY = {"type": "string", "enum": ["utf-8", "base64"], "default": "utf-8"}

TOOLS = [
    {
        "name": "execute_command",
        "title": "Run a shell command in the sandbox",
        "description": EXECUTE_DESCRIPTION,
        "inputSchema": {
            "type": "object",
            "properties": {
                "command": {"type": "string", "minLength": 1, "description": "The shell command line."},
                "cwd": {"type": "string",
                        "description": "Working directory: /tmp or a path under it (default /tmp)."},
                "env": {"type": "object", "propertyNames": {"pattern": "^[A-Za-z_][A-Za-z0-9_]*$"},
                        "additionalProperties": {"type": "string"},
                        "description": "Environment variables to add (PATH, HOME, TERM and LD_* are refused)."},
                "stdin": {"type": "string", "description": "Standard input of the command (default: none)."},
                "stdin_encoding": dict(ENCODING_PROPERTY, description="base64 for bytes that are not text."),
                "timeout_ms": {"type": "integer", "minimum": 1,
                               "description": "Time-out of this run in milliseconds, at most the profile's."},
                "merge_stderr": {"type": "boolean", "default": False,
                                 "description": "One combined stream in stdout; stderr is then empty."},
                "agent": AGENT_PROPERTY,
            },
            "required": ["command"],
            "additionalProperties": False,
        },
        "outputSchema": {
            "type": "object",
            "properties": {
                "stdout": {"type": "string"},
                "stderr": {"type": "string"},
                "exit_code": {"type": "integer"},
                "duration_ms": {"type": "integer"},
                "stdout_bytes": {"type": "integer"},
                "stderr_bytes": {"type": "integer"},
                "stdout_truncated": {"type": "boolean"},
                "stderr_truncated": {"type": "boolean"},
                "stdout_lossy": {"type": "boolean"},
                "stderr_lossy": {"type": "boolean"},
                "timed_out": {"type": "boolean"},
                "killed_by": {"type": "string"},
                "call": {"type": "string"},
                "files": {"type": "array", "items": {"type": "string"}},
                "ignored_fields": {"type": "array", "items": {"type": "string"}},
                "ignored_fields_more": {"type": "integer"},
            },
            "required": ["stdout", "exit_code", "duration_ms"],
        },
        "annotations": {"readOnlyHint": False, "destructiveHint": True, "idempotentHint": False,
                        "openWorldHint": False},
    },
    {
        "name": "write_file",
        "title": "Write a file in the sandbox",
        "description": WRITE_DESCRIPTION,
        "inputSchema": {
            "type": "object",
            "properties": {
                "path": {"type": "string", "description": "Absolute path under /tmp/."},
                "content": {"type": "string", "description": "The bytes to write: text, or base64. May be empty."},
                "encoding": dict(ENCODING_PROPERTY, description="How content is given."),
                "mode": {"type": "string", "pattern": "^[0-7]{3,4}$",
                         "description": "Permissions as octal text, for example 0755 (default 0644)."},
                "append": {"type": "boolean", "default": False,
                           "description": "Add to the end of the file instead of replacing it."},
                "agent": AGENT_PROPERTY,
            },
            "required": ["path", "content"],
            "additionalProperties": False,
        },
        "outputSchema": {
            "type": "object",
            "properties": {"path": {"type": "string"}, "bytes_written": {"type": "integer"},
                           "size": {"type": "integer"}},
            "required": ["path", "bytes_written"],
        },
        "annotations": {"readOnlyHint": False, "destructiveHint": True, "idempotentHint": False,
                        "openWorldHint": False},
    },
    {
        "name": "read_file",
        "title": "Read a file in the sandbox",
        "description": READ_DESCRIPTION,
        "inputSchema": {
            "type": "object",
            "properties": {
                "path": {"type": "string", "description": "Absolute path under /tmp/."},
                "offset": {"type": "integer", "minimum": 0, "default": 0, "description": "First byte to read."},
                "length": {"type": "integer", "minimum": 0,
                           "description": "Bytes to read at most (default: to the end, within the server's limit)."},
                "encoding": dict(ENCODING_PROPERTY, description="base64 returns the bytes exactly."),
                "agent": AGENT_PROPERTY,
            },
            "required": ["path"],
            "additionalProperties": False,
        },
        "outputSchema": {
            "type": "object",
            "properties": {
                "path": {"type": "string"},
                "size": {"type": "integer"},
                "offset": {"type": "integer"},
                "bytes": {"type": "integer"},
                "encoding": {"type": "string"},
                "content": {"type": "string"},
                "eof": {"type": "boolean"},
                "lossy": {"type": "boolean"},
                "truncated": {"type": "boolean"},
            },
            "required": ["path", "size", "content"],
        },
        "annotations": {"readOnlyHint": True, "destructiveHint": False, "idempotentHint": True,
                        "openWorldHint": False},
    },
    {
        "name": "list_files",
        "title": "List a directory in the sandbox",
        "description": LIST_DESCRIPTION,
        "inputSchema": {
            "type": "object",
            "properties": {
                "path": {"type": "string", "default": "/tmp",
                         "description": "The directory: /tmp or a path under it (default /tmp)."},
                "agent": AGENT_PROPERTY,
            },
            "additionalProperties": False,
        },
        "outputSchema": {
            "type": "object",
            "properties": {
                "path": {"type": "string"},
                "entries": {"type": "array", "items": {"type": "object", "properties": {
                    "name": {"type": "string"}, "type": {"type": "string"}, "size": {"type": "integer"},
                    "mode": {"type": "string"}, "mtime": {"type": "integer"}}}},
                "count": {"type": "integer"},
                "truncated": {"type": "boolean"},
            },
            "required": ["path", "entries"],
        },
        "annotations": {"readOnlyHint": True, "destructiveHint": False, "idempotentHint": True,
                        "openWorldHint": False},
    },
]

RUN_ID_PROPERTY = {"type": "integer", "minimum": 1, "description": "What start_command returned."}


def run_tool(name, title, description, properties, required, output, read_only, destructive, idempotent):
    """A background-run tool as the server's /mcp describes it."""
    properties = dict(properties, agent=AGENT_PROPERTY)
    input_schema = {"type": "object", "properties": properties, "additionalProperties": False}
    if required:
        input_schema["required"] = required
    return {"name": name, "title": title, "description": description, "inputSchema": input_schema,
            "outputSchema": {"type": "object", "properties": output,
                             "required": [key for key in output if key in ("run_id", "state", "output",
                                                                            "next_offset", "written", "stopped",
                                                                            "runs")]},
            "annotations": {"readOnlyHint": read_only, "destructiveHint": destructive,
                            "idempotentHint": idempotent, "openWorldHint": False}}


# Commands that outlast a call: each passed on to the server's /mcp (docs/api.md).
RUN_TOOLS = [
    run_tool("start_command", "Start a command in the background",
             "Start one command with /bin/sh -c in the sandbox, screened and confined as "
             "execute_command's are, and return its run_id at once while it goes on (up to an hour by "
             "default; timeout_ms may shorten it): for builds, servers and anything that may outlast a "
             "call. Its stdout and stderr are one stream kept in a ring of 1 MiB by default. Read it with "
             "command_status, feed its stdin with write_command_stdin, end it with stop_command.",
             {"command": {"type": "string", "minLength": 1, "description": "The shell command line."},
              "cwd": {"type": "string", "description": "Working directory, as for execute_command."},
              "env": {"type": "object", "additionalProperties": {"type": "string"},
                      "description": "Environment variables to add, as for execute_command."},
              "timeout_ms": {"type": "integer", "minimum": 1,
                             "description": "Time-out of the run in milliseconds."}},
             ["command"], {"run_id": {"type": "integer"}}, False, True, False),
    run_tool("command_status", "Read a background command",
             "Return a background run's state (running or exited), its exit code once it has ended, and "
             "its output from offset on, with next_offset to read on from. dropped says how many bytes "
             "the ring no longer held.",
             {"run_id": RUN_ID_PROPERTY,
              "offset": {"type": "integer", "minimum": 0, "default": 0,
                         "description": "First output byte to return: 0, or the last next_offset."}},
             ["run_id"],
             {"run_id": {"type": "integer"}, "state": {"type": "string", "enum": ["running", "exited"]},
              "exit_code": {"type": "integer"}, "output": {"type": "string"}, "offset": {"type": "integer"},
              "next_offset": {"type": "integer"}, "dropped": {"type": "integer"},
              "output_bytes": {"type": "integer"}},
             True, False, True),
    run_tool("write_command_stdin", "Write to a background command's input",
             "Write data to a background run's stdin as far as its pipe takes it now (written says how "
             "much), and with eof true then close the input.",
             {"run_id": RUN_ID_PROPERTY,
              "data": {"type": "string", "description": "Text to write, at most 65,536 bytes."},
              "eof": {"type": "boolean", "default": False, "description": "Close the input after data."}},
             ["run_id"], {"bytes": {"type": "integer"}, "written": {"type": "integer"},
                          "stdin_open": {"type": "boolean"}},
             False, False, False),
    run_tool("stop_command", "Stop a background command",
             "Kill a background run with its whole process tree (exit code 137); one that had ended "
             "already is left as it was.",
             {"run_id": RUN_ID_PROPERTY}, ["run_id"],
             {"run_id": {"type": "integer"}, "stopped": {"type": "boolean"}}, False, True, True),
    run_tool("list_commands", "List background commands",
             "List your background runs, running or ended in the last 10 minutes: run_id, command, "
             "state, exit code and output_bytes of each.",
             {}, [], {"runs": {"type": "array", "items": {"type": "object"}}, "count": {"type": "integer"}},
             True, False, True),
]
TOOLS += RUN_TOOLS


def authorization():
    """The Authorization value of the settings above, as make_client's client sends it."""
    if TEROX_TOKEN:
        return "Bearer " + TEROX_TOKEN
    pair = ("%s:%s" % (TEROX_USER, TEROX_PASSWORD)).encode("utf-8")
    return "Basic " + base64.b64encode(pair).decode("ascii")


def make_client():
    """The sandbox client of the settings above: the token when one is set, else Basic."""
    if TEROX_TOKEN:
        return cindervox.Terox(TEROX_URL, token=TEROX_TOKEN, agent=TEROX_AGENT)
    return cindervox.Terox(TEROX_URL, auth=(TEROX_USER, TEROX_PASSWORD), agent=TEROX_AGENT)


def tool_result(text, structured):
    return {"content": [{"type": "text", "text": text}], "structuredContent": structured,
            "isError": False}


def tool_error(text):
    return {"content": [{"type": "text", "text": text}], "isError": True}


def refusal_text(error):
    """The server's message, with what matched and when to retry where it says so."""
    text = error.message
    rule = getattr(error, "rule", None)
    if rule:
        text += " (matched: %s)" % rule
    retry_after = getattr(error, "retry_after", None)
    if retry_after is not None:
        text += " (retry after %g s)" % retry_after
    return text


def string_argument(arguments, name, required=True):
    value = arguments.get(name)
    if value is None and not required:
        return None
    if not isinstance(value, str):
        raise ValueError("argument %r must be a string" % name)
    return value


def optional_argument(arguments, name, kind, kind_name):
    """An optional argument of one JSON type; the server judges its value."""
    value = arguments.get(name)
    # bool is an int in Python; an integer argument must not take true.
    if value is None or (isinstance(value, kind) and not (kind is int and isinstance(value, bool))):
        return value
    raise ValueError("argument %r must be %s" % (name, kind_name))


def check_arguments(name, arguments):
    """An argument the tool does not take is refused: a typo must not become a default."""
    known = TOOLS[[t["name"] for t in TOOLS].index(name)]["inputSchema"]["properties"]
    for key in arguments:
        if key not in known:
            raise ValueError("unknown argument: %s" % key)


def without_ok(raw):
    return {k: v for k, v in raw.items() if k != "ok"}


def exec_tool_result(raw):
    """The tool result of a command's answer (the server's /api/exec answer): its output,
    then one bracketed line on how it ended when that was not a plain exit 0."""
    structured = without_ok(raw)
    notes = []
    if raw.get("files"):
        notes.append("files: " + ", ".join(raw["files"]))
    if raw.get("timed_out"):
        notes.append("timed out")
    killed_by, call = raw.get("killed_by"), raw.get("call")
    if killed_by:
        notes.append("killed by %s%s" % ("the seccomp filter" if killed_by == "seccomp" else
                                         "its memory bound" if killed_by == "memory" else killed_by,
                                         " (call %s)" % call if call else ""))
    for stream in ("stdout", "stderr"):
        if raw.get(stream + "_truncated"):
            notes.append("%s truncated (%d bytes in all)" % (stream, raw.get(stream + "_bytes", 0)))
    if raw.get("ignored_fields"):
        notes.append("ignored fields: " + " ".join(raw["ignored_fields"]))
    exit_code = raw.get("exit_code", -1)
    if exit_code != 0:
        notes.append("exit code %d" % exit_code)
    text = raw.get("stdout", "")
    stderr = raw.get("stderr", "")
    if stderr:
        text += ("" if text.endswith("\n") or not text else "\n") + "[stderr]\n" + stderr
    if notes:
        text += ("" if text.endswith("\n") or not text else "\n") + "[" + "; ".join(notes) + "]"
    return tool_result(text or "(no output)", structured)


def run_execute_command(client, arguments, progress=None):
    """Passes the call on to the server's /mcp (see ServerCall); None when it was cancelled."""
    string_argument(arguments, "command")
    string_argument(arguments, "agent", required=False)
    optional_argument(arguments, "env", dict, "an object")
    for name in ("cwd", "stdin", "stdin_encoding"):
        optional_argument(arguments, name, str, "a string")
    optional_argument(arguments, "timeout_ms", int, "an integer")
    optional_argument(arguments, "merge_stderr", bool, "a boolean")
    call = ServerCall(client, "execute_command", arguments, progress)
    if progress is not None:
        progress.call = call
        if progress.cancelled:
            return None
    answer = call.run()
    if answer is None:
        return None
    if answer.get("isError") or not isinstance(answer.get("structuredContent"), dict):
        texts = [c.get("text", "") for c in answer.get("content", []) if isinstance(c, dict)]
        return tool_error(" ".join(texts) or "the sandbox gave no answer")
    return exec_tool_result(answer["structuredContent"])


def run_write_file(client, arguments):
    path = string_argument(arguments, "path")
    content = string_argument(arguments, "content")
    result = client.write(path, content,
                          agent=string_argument(arguments, "agent", required=False) or None,
                          encoding=optional_argument(arguments, "encoding", str, "a string"),
                          mode=optional_argument(arguments, "mode", str, "a string"),
                          append=optional_argument(arguments, "append", bool, "a boolean"))
    structured = {"path": result.path, "bytes_written": result.bytes_written}
    if result.size is not None:
        structured["size"] = result.size
    return tool_result("wrote %d bytes to %s" % (result.bytes_written, result.path), structured)


def run_read_file(client, arguments):
    result = client.read(string_argument(arguments, "path"),
                         agent=string_argument(arguments, "agent", required=False) or None,
                         offset=optional_argument(arguments, "offset", int, "an integer"),
                         length=optional_argument(arguments, "length", int, "an integer"),
                         encoding=optional_argument(arguments, "encoding", str, "a string"))
    text = result.content
    if not result.eof:
        text += "\n[read bytes %d to %d of %d; read on with offset %d]" % (
            result.offset, result.offset + result.bytes, result.size, result.offset + result.bytes)
    if result.lossy:
        text += "\n[bytes that are not UTF-8 were replaced; read with encoding base64 for the exact bytes]"
    return tool_result(text, {"path": result.path, "size": result.size, "offset": result.offset,
                              "bytes": result.bytes, "encoding": result.encoding,
                              "content": result.content, "eof": result.eof, "lossy": result.lossy,
                              "truncated": result.truncated})


def run_list_files(client, arguments):
    path = string_argument(arguments, "path", required=False) or "/tmp"
    result = client.list(path, agent=string_argument(arguments, "agent", required=False) or None)
    lines = [e.name + ("/" if e.type == "dir" else "") for e in result.entries]
    text = "\n".join(lines) if lines else "(empty directory)"
    if result.truncated:
        text += "\n[more entries not listed]"
    entries = [{"name": e.name, "type": e.type, "size": e.size, "mode": e.mode, "mtime": e.mtime}
               for e in result.entries]
    return tool_result(text, {"path": result.path, "entries": entries, "count": result.count,
                              "truncated": result.truncated})


TOOL_RUNNERS = {
    "execute_command": run_execute_command,
    "write_file": run_write_file,
    "read_file": run_read_file,
    "list_files": run_list_files,
}
RUN_TOOL_NAMES = [tool["name"] for tool in RUN_TOOLS]


def run_on_server(client, name, arguments, progress):
    """A background-run tool: the server's own result, or None when the call was cancelled."""
    call = ServerCall(client, name, arguments, None)
    if progress is not None:
        progress.call = call
        if progress.cancelled:
            return None
    return call.run()


def call_tool(client, name, arguments, progress=None):
    """Runs one tool; every failure after the tool was found is a result with isError. None
    for a call its client cancelled, which gets no answer."""
    try:
        check_arguments(name, arguments)
        if name == "execute_command":
            return run_execute_command(client, arguments, progress)
        if name in RUN_TOOL_NAMES:
            return run_on_server(client, name, arguments, progress)
        return TOOL_RUNNERS[name](client, arguments)
    except ValueError as bad:
        return tool_error(str(bad))
    except cindervox.SandboxError as refusal:
        return tool_error(refusal_text(refusal))


class Progress:
    """A stdio call's progress token, where its notifications go, and the ServerCall that
    makes them (set once it exists, so that a cancellation can reach it)."""

    def __init__(self, token, send):
        self.token = token
        self.send = send
        self.call = None
        self.cancelled = False

    def notify(self, params):
        if self.token is None:
            return
        out = {"progressToken": self.token}
        for key in ("progress", "total", "message"):
            if key in params:
                out[key] = params[key]
        self.send({"jsonrpc": "2.0", "method": "notifications/progress", "params": out})

    def cancel(self):
        self.cancelled = True
        if self.call is not None:
            self.call.cancel()


class ServerCall:
    """One tools/call sent to the server's /mcp endpoint, with the bridge's credentials and
    agent, and an id of its own (a random prefix and a count, so no other client that acts
    for the same agent uses it). With progress asked for, the answer is an event stream:
    each progress notification is passed on as it comes, then the result ends it. cancel()
    sends notifications/cancelled for the id and closes the connection, either of which
    ends the command on the server."""

    _prefix = secrets.token_hex(6)
    _count = 0
    _lock = threading.Lock()

    def __init__(self, client, name, arguments, progress):
        with ServerCall._lock:
            ServerCall._count += 1
            self.id = "%s-%d" % (ServerCall._prefix, ServerCall._count)
        self.client = client
        self.progress = progress
        params = {"name": name, "arguments": arguments}
        if progress is not None and progress.token is not None:
            params["_meta"] = {"progressToken": self.id}
        self.message = {"jsonrpc": "2.0", "id": self.id, "method": "tools/call", "params": params}
        self.connection = None
        self.cancelled = False

    def _open(self):
        parts = urllib.parse.urlsplit(self.client.url)
        kind = http.client.HTTPSConnection if parts.scheme == "https" else http.client.HTTPConnection
        return kind(parts.hostname, parts.port, timeout=self.client.timeout)

    def _headers(self):
        headers = {"Content-Type": "application/json", "Accept": "application/json, text/event-stream",
                   "Authorization": authorization()}
        if self.client.agent:
            headers["X-Agent"] = self.client.agent
        return headers

    def _post(self, connection, message):
        body = json.dumps(message, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
        connection.request("POST", "/mcp", body=body, headers=self._headers())

    def run(self):
        """The server's tool result, or None when the call was cancelled."""
        try:
            self.connection = self._open()
            if self.cancelled:
                return None
            self._post(self.connection, self.message)
            answer = self.connection.getresponse()
            if answer.status != 200:
                raise self._refusal(answer)
            if (answer.getheader("Content-Type") or "").startswith("text/event-stream"):
                result = self._read_events(answer)
            else:
                result = self._take(json.loads(answer.read().decode("utf-8", "replace"), strict=False))
        except (OSError, http.client.HTTPException, ValueError) as failure:
            if self.cancelled:
                return None
            raise cindervox.SandboxError("cannot reach %s: %s" % (self.client.url, failure)) from failure
        finally:
            if self.connection is not None:
                self.connection.close()
        if result is None and not self.cancelled:
            raise cindervox.SandboxError("the sandbox closed the call without an answer")
        return None if self.cancelled else result

    def _refusal(self, answer):
        raw = answer.read()
        try:
            message = json.loads(raw.decode("utf-8", "replace")).get("error")
        except ValueError:
            message = None
        if isinstance(message, dict):
            message = message.get("message")
        return cindervox.SandboxError(str(message or "the sandbox answered HTTP %d" % answer.status), answer.status)

    def _take(self, message):
        """The result when message answers this call; progress passed on; None otherwise."""
        if not isinstance(message, dict):
            return None
        if message.get("method") == "notifications/progress":
            if self.progress is not None:
                self.progress.notify(message.get("params") or {})
            return None
        if message.get("id") != self.id:
            return None
        if "error" in message:
            raise cindervox.SandboxError(str((message["error"] or {}).get("message", "error")))
        return message.get("result")

    def _read_events(self, answer):
        data = []
        for raw_line in answer:
            line = raw_line.decode("utf-8", "replace").rstrip("\r\n")
            if line.startswith("data:"):
                data.append(line[6:] if line.startswith("data: ") else line[5:])
            elif not line and data:
                result = self._take(json.loads("\n".join(data), strict=False))
                data = []
                if result is not None:
                    return result
        return None

    def cancel(self):
        """Sends notifications/cancelled for the call, then closes its connection."""
        self.cancelled = True
        try:
            notice = self._open()
            try:
                self._post(notice, {"jsonrpc": "2.0", "method": "notifications/cancelled",
                                    "params": {"requestId": self.id, "reason": "cancelled by the client"}})
                notice.getresponse().read()
            finally:
                notice.close()
        except (OSError, http.client.HTTPException):
            pass
        connection = self.connection
        if connection is not None and connection.sock is not None:
            try:
                connection.sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class Server:
    """One stdio session: reads messages, answers requests, runs tool calls in threads so
    that a long command does not hold up ping or the other calls."""

    def __init__(self, stdin, stdout, client):
        self.stdin = stdin
        self.stdout = stdout
        self.client = client
        self.write_lock = threading.Lock()
        # Calls in progress by their id's JSON text, for cancellation.
        self.in_flight = {}

    def send(self, message):
        line = json.dumps(message, ensure_ascii=False, separators=(",", ":")) + "\n"
        with self.write_lock:
            self.stdout.write(line)
            self.stdout.flush()

    def answer(self, request_id, result):
        self.send({"jsonrpc": "2.0", "id": request_id, "result": result})

    def fail(self, request_id, code, message):
        self.send({"jsonrpc": "2.0", "id": request_id, "error": {"code": code, "message": message}})

    def serve(self):
        for line in self.stdin:
            if line.strip():
                self.handle_line(line)

    def handle_line(self, line):
        try:
            message = json.loads(line)
        except ValueError:
            return self.fail(None, PARSE_ERROR, "parse error")
        if not isinstance(message, dict) or message.get("jsonrpc") != "2.0":
            return self.fail(None, INVALID_REQUEST, "invalid request")
        method = message.get("method")
        if not isinstance(method, str):
            return None  # a response to a request of ours; this server sends none
        if "id" not in message:
            if method == "notifications/cancelled":
                self.cancel((message.get("params") or {}).get("requestId"))
            return None  # notifications need no answer
        self.handle_request(message["id"], method, message.get("params") or {})

    def cancel(self, request_id):
        """Ends the call request_id, if it is still in progress; it then gets no answer."""
        with self.write_lock:
            progress = self.in_flight.get(json.dumps(request_id))
        if progress is not None:
            progress.cancel()

    def handle_request(self, request_id, method, params):
        if not isinstance(params, dict):
            return self.fail(request_id, INVALID_PARAMS, "params must be an object")
        if method == "initialize":
            return self.answer(request_id, initialize_result(params))
        if method == "ping":
            return self.answer(request_id, {})
        if method == "tools/list":
            return self.answer(request_id, {"tools": TOOLS})
        if method == "tools/call":
            return self.start_tool_call(request_id, params)
        self.fail(request_id, METHOD_NOT_FOUND, "method not found: %s" % method)

    def start_tool_call(self, request_id, params):
        name = params.get("name")
        arguments = params.get("arguments") or {}
        if name not in TOOL_RUNNERS and name not in RUN_TOOL_NAMES:
            return self.fail(request_id, INVALID_PARAMS, "unknown tool: %s" % name)
        if not isinstance(arguments, dict):
            return self.fail(request_id, INVALID_PARAMS, "arguments must be an object")
        meta = params.get("_meta")
        token = meta.get("progressToken") if isinstance(meta, dict) else None
        progress = Progress(token, self.send)
        key = json.dumps(request_id)
        with self.write_lock:
            self.in_flight[key] = progress

        def work():
            try:
                result = call_tool(self.client, name, arguments, progress)
            finally:
                with self.write_lock:
                    self.in_flight.pop(key, None)
            if result is not None and not progress.cancelled:
                self.answer(request_id, result)

        # Not a daemon: when the client closes its end, calls in progress still answer.
        threading.Thread(target=work).start()


def initialize_result(params):
    asked = params.get("protocolVersion")
    version = asked if asked in PROTOCOL_VERSIONS else PROTOCOL_VERSIONS[0]
    return {
        "protocolVersion": version,
        "capabilities": {"tools": {"listChanged": False}},
        "serverInfo": {"name": "cindervox", "title": "Cindervox sandbox",
                       "version": SERVER_VERSION},
        "instructions": INSTRUCTIONS,
    }


def main():
    # Line-delimited UTF-8 both ways, whatever the locale says.
    stdin = open(sys.stdin.fileno(), "r", encoding="utf-8", errors="replace", closefd=False)
    stdout = open(sys.stdout.fileno(), "w", encoding="utf-8", closefd=False)
    print("cindervox MCP server: sandbox %s, agent %s" % (TEROX_URL, TEROX_AGENT), file=sys.stderr)
    try:
        Server(stdin, stdout, make_client()).serve()
    except (KeyboardInterrupt, BrokenPipeError):
        pass


if __name__ == "__main__":
    main()
