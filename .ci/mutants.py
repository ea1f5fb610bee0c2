#!/usr/bin/env python3
"""A random sample of machine-made single faults (mutants) of the module's C++
sources, each built and run against the test suite: how many the suite catches.

    make mutants                         # 60 mutants, seed 1
    MUTANTS=100 SEED=7 make mutants      # another sample
    .ci/mutants.py --list                # every candidate, with its id

Each mutant changes one place of csrc/: a comparison (< <= > >= == !=) turned
into its neighbour, && and || swapped, a ! dropped, an integer constant made
one larger, true and false swapped, + and - swapped, or a statement that is a
plain call removed. The sample is drawn uniformly from every candidate of
every file. A mutant that does not compile, or builds the very library that
the unchanged sources build (a place the preprocessor leaves out for this
interpreter, or one the compiler finds makes no difference), is left out of
the rate; one that
the suite fails (or that hangs past the time bound) is caught; one that it
passes has survived and is listed with its place and change, for a reader to
close through the generators or to show equivalent.

The work happens in build/mutants/: a copy of the tree (a git worktree of
HEAD) with a virtual environment of its own, so that the checkout and its
.venv are left alone. Results go to build/mutants/report.json and the
standard output.
"""

import argparse
import json
import os
import random
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
WORK = ROOT / "build" / "mutants"
TREE = WORK / "tree"
VENV = WORK / "venv"
BUILD = "build/mutant"  # CMake's folder, inside the copy
UNCHANGED = WORK / "unchanged.so"  # the library the unchanged sources build
# Fast, sharp tests first: a caught mutant stops at its first failure. The wheel build is left out (it tests the
# packaging, not the library), the stub check is run after the suite.
ORDER = [
    "test_mac_address.py", "test_disk_serial.py", "test_gpu_uuid.py", "test_machine_code.py", "test_frame.py",
    "test_leaks.py", "test_threads.py", "test_report.py", "test_function_object.py", "test_robustness.py",
    "test_tools.py", "test_twin.py", "test_command.py", "test_host_choices.py",
]  # fmt: skip
BOUND = 900  # seconds for one mutant's run of the suite

SWAPS = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "==", "&&": "||", "||": "&&", "+": "-", "-": "+"}
OPERATORS = re.compile(r"(?<=\s)(<=|>=|==|!=|&&|\|\||<|>|\+|-)(?=\s)")
NOT = re.compile(r"(?<![=!<>])!(?=[\w(:])")
INTEGER = re.compile(r"(?<![\w.])(\d+)(?![\w.])")
BOOLEAN = re.compile(r"\b(true|false)\b")
CALL = re.compile(r"^\s*(?:[\w:]+(?:\.|->))*[\w:]+\(.*\);\s*$")


def candidates():
    """Every (file, line number, kind, start, end, replacement) the operators make."""
    found = []
    for path in sorted((ROOT / "csrc").glob("*.[ch]pp")):
        in_comment = False
        for number, line in enumerate(path.read_text().splitlines(), 1):
            code = line.split("//")[0]
            stripped = code.strip()
            if in_comment or stripped.startswith(("/*", "#", "static_assert", "*")):
                in_comment = (in_comment or stripped.startswith("/*")) and "*/" not in line
                continue
            rel = str(path.relative_to(ROOT))
            for m in OPERATORS.finditer(code):
                if m.group(1) in ("<", ">") and re.search(r"(template|static_cast|reinterpret_cast|<\w+>)", code):
                    continue  # a template argument list, not a comparison
                found.append((rel, number, "operator", m.start(1), m.end(1), SWAPS[m.group(1)]))
            found += [(rel, number, "not", m.start(), m.end(), "") for m in NOT.finditer(code)]
            found += [(rel, number, "constant", *m.span(1), str(int(m.group(1)) + 1)) for m in INTEGER.finditer(code)]
            found += [(rel, number, "boolean", *m.span(1), {"true": "false"}.get(m.group(1), "true"))
                      for m in BOOLEAN.finditer(code)]  # fmt: skip
            if CALL.match(code) and not stripped.startswith(("return", "if", "while", "for")):
                found.append((rel, number, "statement", 0, len(line), ";"))
    return found


def run(argv, **kwargs):
    return subprocess.run(argv, capture_output=True, text=True, **kwargs)


def prepare():
    """The copy of HEAD and its environment, with the library built once."""
    if TREE.exists():
        run(["git", "worktree", "remove", "--force", str(TREE)], cwd=ROOT)
        shutil.rmtree(TREE, ignore_errors=True)
    WORK.mkdir(parents=True, exist_ok=True)
    run(["git", "worktree", "add", "--detach", str(TREE), "HEAD"], cwd=ROOT, check=True)
    python = VENV / "bin" / "python"
    if not python.exists():
        run([sys.executable, "-m", "venv", str(VENV)], check=True)
        tools = ["pip", "scikit-build-core>=0.11", "cmake>=3.19", "ninja"]
        run([python, "-m", "pip", "install", "-q", "--upgrade", *tools], check=True)
    run([python, "-m", "pip", "install", "-q", "--group", "test"], cwd=TREE, check=True)
    run([python, "-m", "pip", "install", "-q", "--no-build-isolation", "-C", f"build-dir={BUILD}", "."],
        cwd=TREE, check=True, env=dict(os.environ, PATH=f"{VENV / 'bin'}:{os.environ['PATH']}"))  # fmt: skip
    (library,) = (TREE / BUILD).glob("ostrel*.so")
    (installed,) = (VENV / "lib").glob("python*/site-packages/varnok/ostrel*.so")
    shutil.copyfile(library, UNCHANGED)
    return python, library, installed


def try_mutant(mutant, python, library, installed):
    path, number, kind, start, end, replacement = mutant
    source = TREE / path
    original = source.read_text()
    lines = original.splitlines(keepends=True)
    line = lines[number - 1]
    lines[number - 1] = line[:start] + replacement + line[end:] + ("\n" if kind == "statement" else "")
    source.write_text("".join(lines))
    try:
        cmake = str(VENV / "bin" / "cmake")
        built = run(
            [cmake, "--build", str(TREE / BUILD)], env=dict(os.environ, PATH=f"{VENV / 'bin'}:{os.environ['PATH']}")
        )
        if built.returncode != 0:
            return "not built", ""
        if library.read_bytes() == UNCHANGED.read_bytes():
            return "same build", "the library is the unchanged sources' own"
        shutil.copyfile(library, installed)
        tests = [str(TREE / "tests" / name) for name in ORDER]
        try:
            proc = run([python, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", *tests], cwd=TREE, timeout=BOUND)
        except subprocess.TimeoutExpired:
            return "caught", f"hung past {BOUND} s"
        if proc.returncode != 0:
            failed = re.findall(r"^FAILED (\S+)", proc.stdout, re.MULTILINE)
            return "caught", failed[0] if failed else f"pytest ended with status {proc.returncode}"
        stub = run([python, "-m", "mypy.stubtest", "varnok.ostrel"], cwd=TREE / "tests")
        return ("caught", "stubtest") if stub.returncode else ("survived", "")
    finally:
        source.write_text(original)


def describe(mutant):
    path, number, kind, start, end, replacement = mutant
    line = (ROOT / path).read_text().splitlines()[number - 1]
    return f"{path}:{number} {kind}: {line[start:end].strip() or '(line)'!r} -> {replacement!r}  | {line.strip()}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=int(os.environ.get("MUTANTS", 60)))
    parser.add_argument("--seed", type=int, default=int(os.environ.get("SEED", 1)))
    parser.add_argument("--list", action="store_true", help="print every candidate and stop")
    args = parser.parse_args()
    every = candidates()
    if args.list:
        for number, mutant in enumerate(every):
            print(number, describe(mutant))
        return 0
    sample = sorted(random.Random(args.seed).sample(range(len(every)), min(args.count, len(every))))
    print(f"{len(every)} candidates; {len(sample)} drawn with seed {args.seed}", flush=True)
    python, library, installed = prepare()
    results = []
    for number in sample:
        start = time.monotonic()
        outcome, detail = try_mutant(every[number], python, library, installed)
        results.append({"id": number, "mutant": describe(every[number]), "outcome": outcome, "by": detail})
        print(
            f"{outcome:9} {time.monotonic() - start:6.0f} s  #{number} {describe(every[number])}  {detail}", flush=True
        )
        (WORK / "report.json").write_text(json.dumps(results, indent=1))
    counted = [r for r in results if r["outcome"] not in ("not built", "same build")]
    caught = sum(r["outcome"] == "caught" for r in counted)
    print(f"caught {caught} of {len(counted)} that built ({100 * caught / max(len(counted), 1):.1f} %); "
          f"{len(results) - len(counted)} did not build or built the same library")  # fmt: skip
    for r in counted:
        if r["outcome"] == "survived":
            print("survived:", r["mutant"])
    run(["git", "worktree", "remove", "--force", str(TREE)], cwd=ROOT)
    return 0


if __name__ == "__main__":
    sys.exit(main())
