#!/usr/bin/env python3
"""Runs every ```sh command block of README.md, docs/*.md and python/README.md against the
simulator, so that the documentation cannot drift from the tools. New files in docs/ are taken
automatically.

Each Markdown file is one session, its blocks run in order as a reader would type them: one bash
per block (`set -e`: the first failing command fails the block), the exported variables and the
working directory carried on to the next block, stdin empty. The first failing block ends the
file's session and is reported with its file, line, text and output; the other files still run.

The session's world:
- the working directory mirrors the source tree (links to its entries) with `build` leading to
  the build directory under test, so `build/bin/tarvik`, `scripts/...` and `./python` work as
  written; `tarvik` and `tarvik-sim` are also on PATH (the build's bin/ first);
- HOME, TMPDIR and XDG_RUNTIME_DIR are private scratch directories; the text `/tmp/ports` in a
  block is replaced with a private directory, and TARVIK_PORT_DIR starts unset;
- the build is installed into a scratch prefix, with PKG_CONFIG_PATH, CMAKE_PREFIX_PATH and
  LD_LIBRARY_PATH pointing there (the state after "install anywhere" in the docs);
- a code block after a line that ends naming a file (`` `flow.c`: ``, `` `~/host/main.cpp`: ``) is
  written to that file (relative to the working directory; ~ is the private HOME), so the next
  command can compile it. Such files stay inside the session's scratch directory.

Markers (an HTML comment on the non-blank line right before the block; several may be combined
with ";", skip last, its reason taking the rest):
  <!-- docs-test: skip: REASON -->   the block does not run here (builds the project, needs root
                                     or hardware, starts an interactive program, ...); REASON is
                                     required and printed.
  <!-- docs-test: background -->     the block's commands run in the background for the rest of
                                     the session, as in a second terminal, and are stopped (SIGINT,
                                     then SIGKILL) when the file is done.
  <!-- docs-test: timeout SECONDS --> the block's time limit (default 300 s).
  <!-- docs-test: stdin: COMMAND -->  for a block of another language (```python): it runs in the
                                     session as the standard input of COMMAND, e.g.
                                     `~/venv/bin/python -` after a block that made ~/venv.
An unknown marker is an error, so a typo cannot skip a block silently.

Long-running commands:
- a line whose comment mentions Ctrl-C (`tarvik watch ...   # Ctrl-C stops`) runs for a bounded
  time (DOCS_TEST_BOUNDED_SECONDS, default 4) and is then stopped with SIGINT, as Ctrl-C would;
  stopping it that way counts as success, any earlier failure does not;
- after a line that starts `tarvik-sim` in the background (`... &`, or in a background block), the
  session waits until the simulator's port links exist (at most 10 s), the time a person takes to
  type the next line.

Usage: check_commands.py --source SRC --build BUILD [FILE.md ...]
       (default: README.md, docs/*.md, python/README.md)
       check_commands.py --list [FILE.md ...]    the blocks and their markers, nothing run
Exit status 0 when every block that runs passed, 1 otherwise, 2 for a usage or marker error.
"""
import argparse
import glob
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from typing import List, NamedTuple, Optional

DEFAULT_TIMEOUT = 300.0
BOUNDED_SECONDS = os.environ.get("DOCS_TEST_BOUNDED_SECONDS", "4")
SHELL_LANGUAGES = ("sh", "bash", "shell", "console")
DOC_PORT_DIR = "/tmp/ports"

_FENCE = re.compile(r"^(\s*)```\s*([\w+-]*)\s*$")
_MARKER = re.compile(r"^\s*<!--\s*docs-test:\s*(.*?)\s*-->\s*$")
_FILE_LABEL = re.compile(r"`([\w.+~/-]+)`\s*:\s*$")
_CTRL_C = re.compile(r"#.*\bCtrl-C\b")
_SIM_BACKGROUND = re.compile(r"\btarvik-sim\b.*&\s*(#.*)?$")
_SIM_DIR = re.compile(r"(?:--dir|-d)[ =](\S+)")


class MarkerError(Exception):
    pass


class Block(NamedTuple):
    path: str
    line: int  # of the opening fence, 1-based
    index: int  # the file's n-th shell block, 1-based
    language: str
    text: str
    skip: Optional[str]
    background: bool
    timeout: float
    file_name: Optional[str]  # for code blocks labelled with a file name


def parse_markers(text: str, where: str):
    skip, background, timeout, stdin = None, False, DEFAULT_TIMEOUT, None
    parts = [p.strip() for p in text.split(";")]
    for n, part in enumerate(parts):
        if not part:
            continue
        if re.match(r"stdin\s*:", part):
            stdin = part.split(":", 1)[1].strip()
            if not stdin:
                raise MarkerError("%s: 'stdin' needs a command: <!-- docs-test: stdin: COMMAND -->" % where)
            continue
        if re.match(r"skip\s*(:|$)", part):
            reason = "; ".join([part[len("skip"):].lstrip(" :").strip()] + parts[n + 1:]).strip("; ")
            if not reason:
                raise MarkerError("%s: 'skip' needs a reason: <!-- docs-test: skip: REASON -->" % where)
            skip = reason
            break
        elif part == "background":
            background = True
        elif re.fullmatch(r"timeout\s+[0-9]+(\.[0-9]+)?", part):
            timeout = float(part.split()[1])
        else:
            raise MarkerError("%s: unknown docs-test marker %r (known: skip: REASON, background, timeout N, "
                              "stdin: COMMAND)" % (where, part))
    return skip, background, timeout, stdin


def blocks_of(path: str, display: str) -> List[Block]:
    """Every fenced block: shell blocks to run and code blocks labelled with a file name."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    out, i, shell_count = [], 0, 0
    while i < len(lines):
        m = _FENCE.match(lines[i])
        if not m or not m.group(2):
            i += 1
            continue
        indent, language, start = m.group(1), m.group(2).lower(), i
        body = []
        i += 1
        while i < len(lines) and not re.match(r"^\s*```\s*$", lines[i]):
            body.append(lines[i][len(indent):] if lines[i].startswith(indent) else lines[i].lstrip())
            i += 1
        i += 1
        previous = start - 1
        while previous >= 0 and not lines[previous].strip():
            previous -= 1
        before = lines[previous] if previous >= 0 else ""
        where = "%s:%d" % (display, start + 1)
        marker = _MARKER.match(before)
        skip, background, timeout, stdin = (parse_markers(marker.group(1), where) if marker
                                             else (None, False, DEFAULT_TIMEOUT, None))
        text = "\n".join(body) + "\n"
        if language in SHELL_LANGUAGES and stdin:
            raise MarkerError("%s: 'stdin' is for blocks of other languages" % where)
        if language not in SHELL_LANGUAGES and stdin:
            # Fed to the command through a quoted here-document: nothing in it is expanded.
            end = "DOCS_TEST_END"
            while end in text:
                end += "_"
            text = "%s <<'%s'\n%s%s\n" % (stdin, end, text, end)
            language = "sh"
        if language in SHELL_LANGUAGES:
            shell_count += 1
            out.append(Block(display, start + 1, shell_count, language, text, skip, background, timeout, None))
        else:
            label = _FILE_LABEL.search(before)
            if label:
                out.append(Block(display, start + 1, 0, language, text, None, False, 0, label.group(1)))
            elif marker:
                raise MarkerError("%s: docs-test markers apply to shell blocks only" % where)
    return out


# ---- the session ---------------------------------------------------------------------------------

PRELUDE = r"""
__docs_bounded() {  # a command that runs until Ctrl-C: a bounded run, then SIGINT
  local rc=0
  timeout -s INT "$DOCS_TEST_BOUNDED_SECONDS" "$@" || rc=$?
  [ "$rc" = 0 ] || [ "$rc" = 124 ] || return "$rc"
}
__docs_wait_ports() {  # DIR PID: until the simulator's links exist (and stop changing)
  local dir=$1 pid=$2 last=-1 n
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || { echo "docs-test: the simulator (pid $pid) exited" >&2; return 1; }
    n=$(find "$dir" -maxdepth 1 -name 'COM*' 2>/dev/null | wc -l)
    [ "$n" -gt 0 ] && [ "$n" = "$last" ] && return 0
    last=$n
    sleep 0.1
  done
  echo "docs-test: no port links appeared in $dir" >&2
  return 1
}
"""


def rewrite(block: Block, port_dir: str) -> str:
    """The block as run: the private port directory, bounded long runs, waits for the simulator."""
    out = []
    for line in block.text.replace(DOC_PORT_DIR, port_dir).split("\n"):
        stripped = line.strip()
        command = stripped and not stripped.startswith("#")
        if block.background and command and not stripped.endswith(("&", "\\")):
            code, _, comment = line.partition(" #")
            line = code.rstrip() + " &" + ("  #" + comment if comment else "")
            stripped = line.strip()
        if command and _CTRL_C.search(line) and not stripped.endswith("&"):
            line = "__docs_bounded " + stripped
        out.append(line)
        if command and _SIM_BACKGROUND.search(line):
            m = _SIM_DIR.search(line)
            directory = shlex.quote(m.group(1)) if m else '"${TARVIK_PORT_DIR:-$XDG_RUNTIME_DIR/tarvik-ports}"'
            out.append("__docs_wait_ports %s $!" % directory)
    return "\n".join(out)


class Session:
    def __init__(self, source: str, build: str, prefix: Optional[str]):
        self.root = tempfile.mkdtemp(prefix="tarvik-docs-")
        self.work = os.path.join(self.root, "work")
        self.port_dir = os.path.join(self.root, "ports")
        os.makedirs(self.work)
        for name in os.listdir(source):
            if name.startswith(".") or name.startswith("build"):
                continue
            os.symlink(os.path.join(source, name), os.path.join(self.work, name))
        os.symlink(build, os.path.join(self.work, "build"))
        env = {k: v for k, v in os.environ.items() if not k.startswith("TARVIK_")}
        for name in ("home", "tmp", "run"):
            os.makedirs(os.path.join(self.root, name), mode=0o700)
        env.update({
            "HOME": os.path.join(self.root, "home"),
            "TMPDIR": os.path.join(self.root, "tmp"),
            "XDG_RUNTIME_DIR": os.path.join(self.root, "run"),
            "PATH": os.path.join(build, "bin") + os.pathsep + os.environ.get("PATH", ""),
            "DOCS_TEST_BOUNDED_SECONDS": BOUNDED_SECONDS,
            "PIP_NO_INDEX": "1",  # offline, whatever a block says
        })
        if prefix:
            pc = glob.glob(os.path.join(prefix, "lib*", "**", "tarvik.pc"), recursive=True)
            libdir = os.path.dirname(os.path.dirname(pc[0])) if pc else os.path.join(prefix, "lib")
            env.update({"PKG_CONFIG_PATH": os.path.join(libdir, "pkgconfig"), "CMAKE_PREFIX_PATH": prefix,
                        "LD_LIBRARY_PATH": libdir})
        env.pop("PWD", None)
        env.pop("OLDPWD", None)
        self.state = os.path.join(self.root, "state.sh")
        with open(self.state, "w", encoding="utf-8") as f:
            f.write("".join("export %s=%s\n" % (k, shlex.quote(v)) for k, v in sorted(env.items())
                            if re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", k)))
            f.write("cd %s\n" % shlex.quote(self.work))
        self.env = env
        self.groups: List[int] = []

    def write_file(self, block: Block) -> Optional[str]:
        """Writes a labelled code block; an error text when the file would leave the scratch area."""
        name = block.file_name
        if name.startswith("~/"):
            name = os.path.join(self.env["HOME"], name[2:])
        target = os.path.normpath(os.path.join(self.current_dir(), name))
        if os.path.islink(target):
            os.unlink(target)  # never write through the mirror's links into the source tree
        if not os.path.realpath(target).startswith(os.path.realpath(self.root) + os.sep):
            return "%s is outside the session's scratch directory" % block.file_name
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "w", encoding="utf-8") as f:
            f.write(block.text)
        return None

    def current_dir(self) -> str:
        with open(self.state, encoding="utf-8") as f:
            lines = [ln for ln in f.read().split("\n") if ln.startswith("cd ")]
        return shlex.split(lines[-1][3:])[0] if lines else self.work

    def run(self, block: Block):
        """(exit status, output) of one block."""
        script = os.path.join(self.root, "block-%d.sh" % block.index)
        output = os.path.join(self.root, "block-%d.out" % block.index)
        with open(script, "w", encoding="utf-8") as f:
            f.write("set -e\nsource %s\n%s\n" % (shlex.quote(self.state), PRELUDE))
            f.write(rewrite(block, self.port_dir) + "\n")
            # What the next block inherits.
            f.write("{ export -p | grep -v -E '^declare -x (PWD|OLDPWD|SHLVL|_)=' ; printf 'cd %%q\\n' \"$PWD\"; }"
                    " > %s.new && mv %s.new %s\n" % ((shlex.quote(self.state),) * 3))
        with open(output, "wb") as out:
            # Its own process group: what the block leaves running in the background is stopped
            # with the session. Output goes to a file, which background programs may keep open.
            process = subprocess.Popen(["bash", script], stdin=subprocess.DEVNULL, stdout=out,
                                       stderr=subprocess.STDOUT, env=self.env, start_new_session=True)
            self.groups.append(process.pid)
            try:
                rc = process.wait(block.timeout)
            except subprocess.TimeoutExpired:
                self.stop_group(process.pid)
                process.wait()
                rc = "timeout after %g s" % block.timeout
        time.sleep(0.05)  # what background programs printed at once
        with open(output, "rb") as f:
            return rc, f.read().decode("utf-8", "replace")

    @staticmethod
    def stop_group(pgid: int) -> None:
        # SIGINT as Ctrl-C; SIGTERM for what a non-interactive shell started with SIGINT ignored.
        for sig, grace in ((signal.SIGINT, 2.0), (signal.SIGTERM, 2.0), (signal.SIGKILL, 2.0)):
            try:
                os.killpg(pgid, sig)
            except ProcessLookupError:
                return
            deadline = time.monotonic() + grace
            while time.monotonic() < deadline:
                try:
                    os.killpg(pgid, 0)
                except ProcessLookupError:
                    return
                time.sleep(0.05)

    def close(self) -> None:
        for pgid in self.groups:
            self.stop_group(pgid)
        shutil.rmtree(self.root, ignore_errors=True)


def install_prefix(build: str, into: str) -> str:
    prefix = os.path.join(into, "prefix")
    result = subprocess.run(["cmake", "--install", build, "--prefix", prefix], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, check=False)
    if result.returncode != 0:
        raise SystemExit("docs-test: cmake --install %s failed:\n%s" % (build, result.stdout.decode()))
    return prefix


def indent(text: str) -> str:
    return "".join("    | " + line + "\n" for line in text.rstrip("\n").split("\n"))


def run_file(path: str, display: str, source: str, build: str, prefix: Optional[str]) -> bool:
    blocks = blocks_of(path, display)
    shell = [b for b in blocks if b.file_name is None]
    if not shell:
        return True
    session = Session(source, build, prefix)
    ran = skipped = 0
    ok = True
    try:
        for block in blocks:
            if block.file_name:
                error = session.write_file(block)
                if error:
                    print("FAIL %s:%d: the file block %s" % (display, block.line, error))
                    ok = False
                    break
                continue
            name = "%s:%d (block %d)" % (display, block.line, block.index)
            if block.skip:
                print("skip %s: %s" % (name, block.skip))
                skipped += 1
                continue
            started = time.monotonic()
            rc, output = session.run(block)
            ran += 1
            if rc != 0:
                print("FAIL %s: exit %s after %.1f s\n  block:\n%s  output:\n%s"
                      % (name, rc, time.monotonic() - started, indent(block.text), indent(output or "(none)")))
                ok = False
                break
            print("ok   %s (%.1f s)" % (name, time.monotonic() - started))
    finally:
        session.close()
    print("%s: %d block(s) run, %d skipped%s" % (display, ran, skipped, "" if ok else ", stopped at the failure"))
    return ok


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--source", default=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    parser.add_argument("--build")
    parser.add_argument("--list", action="store_true", help="list the blocks and their markers only")
    parser.add_argument("files", nargs="*")
    args = parser.parse_args(argv)
    source = os.path.abspath(args.source)
    files = args.files or ([os.path.join(source, "README.md")] + sorted(glob.glob(os.path.join(source, "docs", "*.md")))
                           + [os.path.join(source, "python", "README.md")])
    try:
        parsed = [(f, os.path.relpath(os.path.abspath(f), source)) for f in files]
        for f, display in parsed:
            blocks = blocks_of(f, display)  # every marker checked before anything runs
            if args.list:
                for b in blocks:
                    what = ("file " + b.file_name) if b.file_name else (
                        "skip: " + b.skip if b.skip else ("background" if b.background else "run"))
                    print("%s:%d %s %s" % (display, b.line, b.language, what))
    except MarkerError as e:
        print("docs-test: %s" % e, file=sys.stderr)
        return 2
    if args.list:
        return 0
    if not args.build:
        parser.error("--build is required to run the blocks")
    build = os.path.abspath(args.build)
    scratch = tempfile.mkdtemp(prefix="tarvik-docs-prefix-")
    try:
        prefix = install_prefix(build, scratch)
        results = [run_file(f, display, source, build, prefix) for f, display in parsed]
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    failed = [display for (f, display), ok in zip(parsed, results) if not ok]
    if failed:
        print("docs-test: blocks failed in %s" % ", ".join(failed))
        return 1
    print("docs-test: every command block that runs passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
