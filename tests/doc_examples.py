#!/usr/bin/env python3
"""Runs the examples of the README and of docs/ as written, and compares what they print.

    doc_examples.py BUILD_DIR SOURCE_DIR [FILE.md ...]

An example is a fenced block marked `console`: lines starting `$ ` are commands, the lines after each are
what it prints (standard output and standard error together), and a line of `...` alone (indented or not)
stands for any number of lines. The commands of one file run in order, in one scratch folder that holds
`build` (the build folder) and `examples` (the source's), so they run exactly as a reader types them in
the project's folder after the set-up, and later ones can use the files earlier ones wrote. A block that
names `../shared/`, and every later block of its file, runs only where the development modules sit beside
the project. Every relative link of the files must name a file of the project, and a heading of it where
it names one. Without FILEs: the README and every page of docs/.
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

ELLIPSIS = "..."


def blocks(path):
    """The console blocks of a Markdown file: (line number, [lines])."""
    found, current, start = [], None, 0
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if current is None:
                if line.strip() == "```console":
                    current, start = [], number
            elif line.strip() == "```":
                found.append((start, current))
                current = None
            else:
                current.append(line)
    return found


def examples(lines):
    """(command, expected lines) pairs of a block."""
    pairs = []
    for line in lines:
        if line.startswith("$ "):
            pairs.append((line[2:], []))
        elif pairs:
            pairs[-1][1].append(line.rstrip())
        elif line.strip():
            raise ValueError("output before any command: " + line)
    return pairs


def matches(expected, actual):
    """Whether the actual lines read as the expected ones, `...` standing for any run of lines."""
    if not expected:
        return not actual
    if expected[0].strip() == ELLIPSIS:
        return any(matches(expected[1:], actual[i:]) for i in range(len(actual) + 1))
    return bool(actual) and actual[0] == expected[0] and matches(expected[1:], actual[1:])


def anchor(heading):
    """The anchor a Markdown heading gets: lower case, punctuation dropped, spaces as hyphens."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def broken_links(path):
    """The relative links of a file whose file or heading does not exist."""
    text = open(path, encoding="utf-8").read()
    broken = []
    for target in re.findall(r"\]\(([^)\s]+)\)", text):
        if re.match(r"[a-z]+:", target):
            continue
        name, _, fragment = target.partition("#")
        linked = os.path.normpath(os.path.join(os.path.dirname(path), name)) if name else path
        if not os.path.exists(linked):
            broken.append(f"{path}: {target}: no such file")
        elif fragment and linked.endswith(".md"):
            headings = re.findall(r"^#+ (.*)$", open(linked, encoding="utf-8").read(), re.M)
            if fragment not in {anchor(h) for h in headings}:
                broken.append(f"{path}: {target}: no such heading")
    return broken


def run_file(path, build, source, shared):
    """Runs one file's examples; returns the number run and a list of failures."""
    failures, run = [], 0
    with tempfile.TemporaryDirectory(prefix="nibplay-doc-") as scratch:
        project = os.path.join(scratch, "project")
        os.mkdir(project)
        os.symlink(build, os.path.join(project, "build"))
        os.symlink(os.path.join(source, "examples"), os.path.join(project, "examples"))
        if shared:
            os.symlink(shared, os.path.join(scratch, "shared"))
        env = dict(os.environ, LC_ALL="C", SDL_AUDIODRIVER="dummy")
        env.pop("COLUMNS", None)
        skipping = False
        for start, lines in blocks(path):
            # A block that reads the development modules, and every later one (they may use what it wrote).
            skipping = skipping or ("../shared/" in "\n".join(lines) and not shared)
            if skipping:
                print(f"{path}:{start}: skipped: no ../shared/modules beside the project")
                continue
            for command, expected in examples(lines):
                result = subprocess.run(["bash", "-c", command], cwd=project, env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600)
                actual = [line.rstrip() for line in result.stdout.decode("utf-8", "replace").split("\n")]
                while actual and not actual[-1]:
                    actual.pop()
                run += 1
                if not matches(expected, actual):
                    failures.append(f"{path}:{start}: $ {command}\n--- expected\n" + "\n".join(expected) +
                                    "\n--- printed\n" + "\n".join(actual))
    return run, failures


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    build, source = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    files = sys.argv[3:] or [os.path.join(source, "README.md")] + sorted(glob.glob(os.path.join(source, "docs", "*.md")))
    shared = os.path.join(os.path.dirname(source), "shared")
    shared = shared if os.path.isdir(os.path.join(shared, "modules")) else None
    if not shutil.which("sox"):
        sys.exit("doc_examples: sox is needed (deps/packages lists it)")
    total, failures = 0, []
    for path in files:
        run, failed = run_file(path, build, source, shared)
        total += run
        failures += failed + broken_links(path)
    for failure in failures:
        print(failure + "\n")
    print(f"{total} examples run; {len(failures)} failed")
    # The README must hold examples: a renamed marker must not pass for examples that all agree.
    if total == 0:
        print("no console examples found")
        return 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
