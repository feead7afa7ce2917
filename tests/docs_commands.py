#!/usr/bin/python3
"""Runs the commands of the project's pages (README.md, docs/*.md) as a reader would.

  docs_commands.py SOURCE_DIR BUILD_DIR

A page marks each code block that holds commands with an HTML comment on the line before it
(blank lines between are allowed; the comment does not show on the rendered page):

  <!-- docs-test: run -->            the block is run: a shell block with bash -e, a ```python
                                     block with python3
  <!-- docs-test: build -->          the page's build command (scripts/build.sh PROGRAM...):
                                     not run, as it builds into the clone; each program it
                                     names must be built in BUILD_DIR
  <!-- docs-test: skip REASON -->    not run; REASON is printed (a GPU, Windows, a window, the
                                     test command itself...)

A block without a mark is text (a program's output, a file's contents), but one whose first
line starts like a command (build/, scripts/, lumeth, cmake, ...) fails the test: every
command block says what the test does with it.

Each page's blocks run in order in a scratch folder of their own, where `build` and `scripts`
lead to the build folder and the clone's scripts and `docs` is an empty folder, so that a
command that writes a picture of the pages writes it there. Nothing is written into the clone:
its `git status` is compared before and after. Without a display, with a time limit per block.
Exit status: 0 when every run block succeeded, 1 otherwise.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

MARK = re.compile(r"^\s*<!--\s*docs-test:\s*(run|build|skip)\b\s*(.*?)\s*-->\s*$")
FENCE = re.compile(r"^(\s*)(```+)\s*(\w*)\s*$")
COMMAND_START = re.compile(
    r"^(build/|scripts/|\./build/|lumeth(-bench|-record)?( |$)|cmake |ctest |cpack |apt(-get)? "
    r"|xvfb-run |python3 |SDL_\w+=|LUMETH_\w+=)")
BLOCK_TIME_LIMIT_S = 240


def code_blocks(lines):
    """Yields (line number, language, text) of every fenced or indented code block."""
    i = 0
    previous_blank = True
    in_list = False
    while i < len(lines):
        line = lines[i]
        fence = FENCE.match(line)
        if fence:
            indent, ticks, language = fence.groups()
            start = i
            body = []
            i += 1
            while i < len(lines) and not lines[i].strip().startswith(ticks):
                body.append(lines[i][len(indent):] if lines[i].startswith(indent) else lines[i])
                i += 1
            yield start + 1, language, "\n".join(body)
            i += 1
            previous_blank = False
            continue
        stripped = line.strip()
        if re.match(r"^\s*([-*]|\d+\.)\s", line):
            in_list = True
        elif stripped and not line.startswith(" "):
            in_list = False
        if previous_blank and line.startswith("    ") and stripped and not in_list:
            start = i
            body = []
            while i < len(lines) and (lines[i].startswith("    ") or not lines[i].strip()):
                body.append(lines[i][4:])
                i += 1
            while body and not body[-1].strip():
                body.pop()
            yield start + 1, "", "\n".join(body)
            previous_blank = True
            continue
        previous_blank = not stripped
        i += 1


def mark_before(lines, line_number):
    """The mark (kind, argument) on the nearest non-blank line above a block, if any."""
    i = line_number - 2
    while i >= 0 and not lines[i].strip():
        i -= 1
    if i >= 0:
        mark = MARK.match(lines[i])
        if mark:
            return mark.group(1), mark.group(2)
    return None


def git_status(source):
    """The clone's `git status`, without links at its top (.deps may be a link to another
    checkout's, which git lists as untracked or not from one call to the next)."""
    if not os.path.exists(os.path.join(source, ".git")):
        return None
    try:
        status = subprocess.run(["git", "-C", source, "status", "--porcelain", "--ignored=no"],
                                capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    return "".join(line + "\n" for line in status.splitlines()
                   if not os.path.islink(os.path.join(source, line[3:].rstrip("/"))))


def run_block(language, text, folder, environment):
    command = [sys.executable, "-c", text] if language == "python" else [
        "bash", "-e", "-o", "pipefail", "-c", text]
    try:
        done = subprocess.run(command, cwd=folder, env=environment, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=BLOCK_TIME_LIMIT_S)
        return done.returncode, done.stdout.decode(errors="replace")
    except subprocess.TimeoutExpired as expired:
        output = (expired.stdout or b"").decode(errors="replace")
        return "timed out after %d s" % BLOCK_TIME_LIMIT_S, output


def check_build_block(text, build):
    """The programs a build block names, each built in the build folder; a list of faults."""
    faults = []
    for line in text.splitlines():
        words = line.split("#")[0].split()
        if not words:
            continue
        if words[0] != "scripts/build.sh":
            faults.append("a build block holds '%s', not scripts/build.sh" % line.strip())
            continue
        for program in words[1:] or ["lumeth"]:
            if not os.access(os.path.join(build, program), os.X_OK):
                faults.append("%s is not built in %s" % (program, build))
    return faults


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    source, build = (os.path.abspath(path) for path in sys.argv[1:])
    pages = ["README.md"] + sorted(
        os.path.join("docs", name) for name in os.listdir(os.path.join(source, "docs"))
        if name.endswith(".md"))
    environment = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY"):
        environment.pop(name, None)
    status_before = git_status(source)
    started = time.monotonic()
    counts = {"run": 0, "build": 0, "skip": 0}
    failures = []
    for page in pages:
        with open(os.path.join(source, page), encoding="utf-8") as stream:
            lines = stream.read().splitlines()
        scratch = tempfile.mkdtemp(prefix="lumeth-docs.")
        try:
            os.symlink(build, os.path.join(scratch, "build"))
            os.symlink(os.path.join(source, "scripts"), os.path.join(scratch, "scripts"))
            os.mkdir(os.path.join(scratch, "docs"))
            for line_number, language, text in code_blocks(lines):
                where = "%s:%d" % (page, line_number)
                mark = mark_before(lines, line_number)
                if mark is None:
                    first = text.strip().splitlines()[0] if text.strip() else ""
                    if COMMAND_START.match(first) and not first.split()[0].endswith(":"):
                        failures.append("%s: a command block without a docs-test mark: %s"
                                        % (where, first))
                    continue
                kind, argument = mark
                counts[kind] += 1
                if kind == "skip":
                    print("%s: skipped (%s)" % (where, argument or "no reason given"))
                    if not argument:
                        failures.append("%s: a skip mark without its reason" % where)
                    continue
                if kind == "build":
                    faults = check_build_block(text, build)
                    print("%s: build command %s" % (where, "checked" if not faults else "FAILED"))
                    failures.extend("%s: %s" % (where, fault) for fault in faults)
                    continue
                block_start = time.monotonic()
                status, output = run_block(language, text, scratch, environment)
                seconds = time.monotonic() - block_start
                if status == 0:
                    print("%s: ran in %.1f s" % (where, seconds))
                else:
                    print("%s: FAILED (status %s) after %.1f s:\n%s\n--- output (last 40 lines) ---\n%s"
                          % (where, status, seconds, text,
                             "\n".join(output.splitlines()[-40:])))
                    failures.append("%s: status %s" % (where, status))
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
    if status_before is not None and git_status(source) != status_before:
        failures.append("the commands changed the clone: git status went from\n%s\nto\n%s"
                        % (status_before, git_status(source)))
    print("docs commands: %d blocks run, %d build commands checked, %d skipped, in %.0f s"
          % (counts["run"], counts["build"], counts["skip"], time.monotonic() - started))
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
