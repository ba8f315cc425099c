#!/usr/bin/env python3
"""MCP server over stdio that runs an agent's shell actions in a Cindervox sandbox.

An MCP client (Claude Code, an IDE, the official SDKs) starts this program and exchanges
JSON-RPC 2.0 messages with it, one per line on standard input and output. It offers three
tools: execute_command, write_file and read_file, each one request to the sandbox server
through the `cindervox` Python client. A refusal of the server (blacklist, rate limit,
budget, bad path) comes back as a tool result with isError set and the server's message,
so the model can read it and change course; protocol errors are kept for malformed calls.

Set the server below or through the environment variables of the same names:

    claude mcp add cindervox -- python3 /path/to/cindervox_mcp.py
    claude mcp add cindervox -e TEROX_URL=http://10.0.0.5:7575 -- python3 cindervox_mcp.py

Standard library only; diagnostics go to standard error, never to standard output.
"""
import json
import os
import sys
import threading

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
    "sandbox instead of on the user's machine. The sandbox has no network. /tmp is the "
    "working directory; where the server isolates runs, files there persist between your "
    "commands and nothing else does. Use write_file to create files and read_file to "
    "read them back.")

EXECUTE_DESCRIPTION = (
    "Run a shell command in the Cindervox sandbox (an isolated Linux jail reached over "
    "HTTP) and return its output and exit code. The command is run by /bin/sh -c with /tmp "
    "as working directory; standard output and standard error come back merged, at most "
    "65,000 bytes; the command itself may be at most 2,000 bytes. There is no network "
    "access. Limits depend on the server's security profile: strict allows only "
    "whitelisted commands (ls, cat, echo, grep, python3, node, ...) for 5 s and 64 MB; "
    "moderate 30 s and 256 MB; permissive 300 s and 1 GB. Refused before running: "
    "blacklisted text (rm -rf /, curl, wget, ...), and the constructs $( ), backquotes, "
    "'..', 'eval', /proc/ and /etc/p*|s*|h*. A refusal is returned as an error result with "
    "the server's reason; change the command rather than retrying it unchanged.")

WRITE_DESCRIPTION = (
    "Create or replace a text file under /tmp/ in the sandbox (at most 65,000 bytes), for "
    "example a script that execute_command then runs. The path must start with /tmp/ and "
    "must not contain '..'.")

READ_DESCRIPTION = (
    "Read a file under /tmp/ in the sandbox, for example what a command wrote. Returns up to "
    "65,000 bytes of it; 'truncated' says whether the file is longer.")

TOOLS = [
    {
        "name": "execute_command",
        "title": "Run a shell command in the sandbox",
        "description": EXECUTE_DESCRIPTION,
        "inputSchema": {
            "type": "object",
            "properties": {
                "command": {"type": "string", "description": "The shell command line."},
                "agent": {"type": "string",
                          "description": "Agent name for the audit log and the agent's "
                                         "limits; defaults to this server's agent."},
            },
            "required": ["command"],
            "additionalProperties": False,
        },
        "outputSchema": {
            "type": "object",
            "properties": {
                "stdout": {"type": "string"},
                "exit_code": {"type": "integer"},
                "duration_ms": {"type": "integer"},
                "timed_out": {"type": "boolean"},
                "files": {"type": "array", "items": {"type": "string"}},
            },
            "required": ["stdout", "exit_code", "duration_ms"],
        },
        "annotations": {"destructiveHint": True, "openWorldHint": False},
    },
    {
        "name": "write_file",
        "title": "Write a file in the sandbox",
        "description": WRITE_DESCRIPTION,
        "inputSchema": {
            "type": "object",
            "properties": {
                "path": {"type": "string", "description": "Absolute path under /tmp/."},
                "content": {"type": "string", "description": "The file's text."},
            },
            "required": ["path", "content"],
            "additionalProperties": False,
        },
        "outputSchema": {
            "type": "object",
            "properties": {"path": {"type": "string"}, "bytes_written": {"type": "integer"}},
            "required": ["path", "bytes_written"],
        },
        "annotations": {"destructiveHint": True, "idempotentHint": True, "openWorldHint": False},
    },
    {
        "name": "read_file",
        "title": "Read a file in the sandbox",
        "description": READ_DESCRIPTION,
        "inputSchema": {
            "type": "object",
            "properties": {"path": {"type": "string", "description": "Absolute path under /tmp/."}},
            "required": ["path"],
            "additionalProperties": False,
        },
        "outputSchema": {
            "type": "object",
            "properties": {
                "path": {"type": "string"},
                "size": {"type": "integer"},
                "content": {"type": "string"},
                "truncated": {"type": "boolean"},
            },
            "required": ["path", "size", "content", "truncated"],
        },
        "annotations": {"readOnlyHint": True, "openWorldHint": False},
    },
]


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


def run_execute_command(client, arguments):
    command = string_argument(arguments, "command")
    agent = string_argument(arguments, "agent", required=False) or None
    result = client.exec(command, agent=agent)
    structured = {"stdout": result.stdout, "exit_code": result.exit_code,
                  "duration_ms": result.duration_ms}
    notes = []
    if result.files:
        structured["files"] = result.files
        notes.append("files: " + ", ".join(result.files))
    if result.timed_out:
        structured["timed_out"] = True
        notes.append("timed out")
    if result.exit_code != 0:
        notes.append("exit code %d" % result.exit_code)
    text = result.stdout
    if notes:
        text += ("" if text.endswith("\n") or not text else "\n") + "[" + "; ".join(notes) + "]"
    return tool_result(text or "(no output)", structured)


def run_write_file(client, arguments):
    path = string_argument(arguments, "path")
    content = string_argument(arguments, "content")
    result = client.write(path, content)
    return tool_result("wrote %d bytes to %s" % (result.bytes_written, result.path),
                       {"path": result.path, "bytes_written": result.bytes_written})


def run_read_file(client, arguments):
    result = client.read(string_argument(arguments, "path"))
    text = result.content
    if result.truncated:
        text += "\n[truncated: the file has %d bytes]" % result.size
    return tool_result(text, {"path": result.path, "size": result.size,
                              "content": result.content, "truncated": result.truncated})


TOOL_RUNNERS = {
    "execute_command": run_execute_command,
    "write_file": run_write_file,
    "read_file": run_read_file,
}


def call_tool(client, name, arguments):
    """Runs one tool; every failure after the tool was found is a result with isError."""
    try:
        return TOOL_RUNNERS[name](client, arguments)
    except ValueError as bad:
        return tool_error(str(bad))
    except cindervox.SandboxError as refusal:
        return tool_error(refusal_text(refusal))


class Server:
    """One stdio session: reads messages, answers requests, runs tool calls in threads so
    that a long command does not hold up ping or the other calls."""

    def __init__(self, stdin, stdout, client):
        self.stdin = stdin
        self.stdout = stdout
        self.client = client
        self.write_lock = threading.Lock()

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
            return None  # notifications (initialized, cancelled) need no answer
        self.handle_request(message["id"], method, message.get("params") or {})

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
        if name not in TOOL_RUNNERS:
            return self.fail(request_id, INVALID_PARAMS, "unknown tool: %s" % name)
        if not isinstance(arguments, dict):
            return self.fail(request_id, INVALID_PARAMS, "arguments must be an object")
        # Not a daemon: when the client closes its end, calls in progress still answer.
        worker = threading.Thread(target=lambda: self.answer(
            request_id, call_tool(self.client, name, arguments)))
        worker.start()


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
