"""Mutation test of the library's own code (src/): plants one small fault at a
time in a copy of the tree, rebuilds it incrementally, runs the test suite, and
tells whether the suite noticed. Run through scripts/mutate, which installs
what is missing first.

Faults: flipped comparisons (== != < > <= >=), flipped boolean results
(return true/false), negated conditions (if/while), dropped calls (a statement
that is only a call), a changed character in a log text, changed result
constants (the integers a function returns). A sample of them, chosen by a
repeatable random choice, is tried; each is reported as killed (a test failed
or timed out), survived (every test passed) or not compiling, and the score
is killed/valid, where valid means it compiled.

The checkout it is run from is never touched: the tree is copied (with any
uncommitted changes) to a work folder, where the build lives too.
"""

import argparse
import fnmatch
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Folders of the checkout that are not copied: builds and scratch.
SKIP_DIRS = re.compile(r"^(build[^/]*|scratch|\.git|\.cache)$")


def mask_code(text):
    """The text with comments and string/char literals replaced by blanks
    (same length), so that operators are only found in code. Also returns the
    spans (start, end) of string literals, for the log-text faults."""
    out = list(text)
    strings = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            for k in range(i, j):
                out[k] = " "
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            for k in range(i, j):
                if out[k] != "\n":
                    out[k] = " "
            i = j
        elif text.startswith('R"', i):
            m = re.match(r'R"([^(]*)\(', text[i:])
            close = ")" + m.group(1) + '"'
            j = text.find(close, i)
            j = n if j < 0 else j + len(close)
            for k in range(i, j):
                if out[k] != "\n":
                    out[k] = " "
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            if c == '"':
                strings.append((i + 1, j - 1))
            for k in range(i, j):
                out[k] = " "
            i = j
        else:
            i += 1
    return "".join(out), strings


class Fault:
    def __init__(self, path, start, end, replacement, kind, text):
        self.path = path  # relative to the tree
        self.start = start
        self.end = end
        self.replacement = replacement
        self.kind = kind
        self.line = text.count("\n", 0, start) + 1
        self.original = text[start:end]

    def key(self):
        return (self.path, self.start, self.end, self.replacement)

    def describe(self):
        def short(s):
            s = " ".join(s.split())
            return s if len(s) <= 60 else s[:57] + "..."

        return "%s:%d %s: '%s' -> '%s'" % (
            self.path, self.line, self.kind, short(self.original), short(self.replacement))


FLIPS = {"==": "!=", "!=": "==", "<=": ">", ">=": "<", "<": ">=", ">": "<="}
DECLARATION = re.compile(r"\s*(const\s+)?[A-Za-z_][\w:<>]*\s*[*&]?\s+[*&]?[A-Za-z_]\w*\s*=[^=]")
LOG_CALL = re.compile(r"\b(debug|debugLvl|Debug|DebugLvl|Error)\s*\(")


def find_faults(path, text):
    code, strings = mask_code(text)
    faults = []

    # Comparisons: a lone operator, not part of <<, >>, ->, <=>, a template
    # bracket or an #include line.
    for m in re.finditer(r"(==|!=|<=|>=|<|>)", code):
        op, s, e = m.group(1), m.start(), m.end()
        before = code[s - 1] if s > 0 else " "
        after = code[e] if e < len(code) else " "
        if before in "<>-=!" or after in "<>=":
            continue
        line_start = code.rfind("\n", 0, s) + 1
        line = code[line_start:code.find("\n", s)]
        if line.lstrip().startswith("#"):
            continue
        if op in "<>":
            # Only with blanks on both sides: a comparison, not a template.
            if before != " " or after != " ":
                continue
        faults.append(Fault(path, s, e, FLIPS[op], "comparison", text))

    # Boolean results.
    for m in re.finditer(r"\breturn\s+(true|false)\s*;", code):
        s, e = m.start(1), m.end(1)
        faults.append(Fault(path, s, e, "false" if m.group(1) == "true" else "true",
                            "boolean result", text))

    # Negated conditions: the whole condition of an if or while.
    for m in re.finditer(r"\b(if|while)\s*\(", code):
        open_at = m.end() - 1
        depth, j = 0, open_at
        while j < len(code):
            if code[j] == "(":
                depth += 1
            elif code[j] == ")":
                depth -= 1
                if depth == 0:
                    break
            j += 1
        if j >= len(code):
            continue
        cond = text[open_at + 1:j]
        # A condition that declares a variable cannot be negated as a whole.
        if ";" in code[open_at:j] or DECLARATION.match(code[open_at + 1:j]):
            continue
        faults.append(Fault(path, open_at + 1, j, "!(" + cond + ")", "negated condition", text))

    # Dropped calls: a statement line that is a call and nothing else.
    for m in re.finditer(r"(?m)^([ \t]+)([A-Za-z_][\w:.\->]*\s*\([^;{}]*\)\s*;)[ \t]*$", code):
        stmt = m.group(2)
        if re.match(r"(return|delete|throw|break|continue|case|default)\b", stmt):
            continue
        if "=" in re.sub(r"(==|!=|<=|>=)", "", stmt.split("(", 1)[0]):
            continue
        s, e = m.start(2), m.end(2)
        faults.append(Fault(path, s, e, "/* dropped */;", "dropped call", text))

    # A changed character in a log text: the first letter after the "]: "
    # prefix (or the first letter) of a literal passed to a log call.
    for s, e in strings:
        call_start = code.rfind("\n", 0, s)
        head = code[max(0, call_start - 200):s]
        if not LOG_CALL.search(head[-120:]):
            continue
        literal = text[s:e]
        prefix = literal.find("]: ")
        at = prefix + 3 if prefix >= 0 else 0
        while at < len(literal) and not literal[at].isalpha():
            at += 1
        if at >= len(literal):
            continue
        ch = literal[at]
        new = ch.lower() if ch.isupper() else ch.upper()
        faults.append(Fault(path, s + at, s + at + 1, new, "log text", text))

    # Result constants: an integer literal returned, or given to a named
    # result constant.
    for m in re.finditer(r"\breturn\s+(-?\d+)\s*;|\bconst\s+int\s+k\w+\s*=\s*(-?\d+)\s*;", code):
        group = 1 if m.group(1) is not None else 2
        s, e = m.start(group), m.end(group)
        value = int(m.group(group))
        faults.append(Fault(path, s, e, str(value + 1 if value != -1 else 0),
                            "result constant", text))
    return faults


def copy_tree(dest):
    def ignore(folder, names):
        rel = os.path.relpath(folder, ROOT)
        if rel == ".":
            return [n for n in names if SKIP_DIRS.match(n)]
        return []

    if os.path.exists(dest):
        shutil.rmtree(dest)
    shutil.copytree(ROOT, dest, ignore=ignore, symlinks=True)


def run(cmd, cwd, timeout=None, log=None):
    with open(log or os.devnull, "ab") as out:
        try:
            return subprocess.run(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT,
                                  timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            return -1


def failed_tests(log):
    """The names of the tests ctest reports as failed in `log`, in its order."""
    names = []
    try:
        with open(log, encoding="utf-8", errors="replace") as f:
            text = f.read()
    except OSError:
        return names
    at = text.rfind("The following tests FAILED:")
    if at >= 0:
        for m in re.finditer(r"(?m)^\s*\d+ - (\S+)", text[at:]):
            names.append(m.group(1))
    return names


def earlier_killers(report):
    """Fault number -> the test that killed it, from an earlier report."""
    killers = {}
    with open(report, encoding="utf-8", errors="replace") as f:
        for line in f:
            m = re.match(r"\[\s*(\d+)/\d+\] killed .* <- (\S+)$", line.rstrip("\n"))
            if m:
                killers[int(m.group(1))] = m.group(2)
    return killers


def main():
    parser = argparse.ArgumentParser(
        prog="scripts/mutate",
        description="Plant small faults in src/ one at a time and see whether the tests catch them.")
    parser.add_argument("--count", type=int, default=150, help="faults to try (default 150)")
    parser.add_argument("--seed", type=int, default=1, help="the random choice of faults (default 1)")
    parser.add_argument("--files", default="src/*", help="glob of the files to plant faults in "
                        "(relative to the checkout; default src/*)")
    parser.add_argument("--work", help="work folder for the copy and its build (default: a new "
                        "folder under $TMPDIR, removed afterwards); kept and reused when given")
    parser.add_argument("--tests", help="run only the tests whose names match this regular "
                        "expression (ctest -R), for a quicker look at one area")
    parser.add_argument("--pick", help="run only these faults of the sample, by their numbers "
                        "in it (e.g. 3,17,42): to see again what an earlier run reported")
    parser.add_argument("--first", metavar="REPORT",
                        help="an earlier report of the same sample: run the test that killed a "
                        "fault there first, and the whole suite only when it passes")
    parser.add_argument("--list", action="store_true", help="only list the chosen faults")
    parser.add_argument("--test-timeout", type=int, default=120,
                        help="seconds a test may run before it counts as failed (default 120)")
    args = parser.parse_args()
    if args.count < 1:
        parser.error("--count must be at least 1")

    sources = []
    for folder, dirs, files in os.walk(os.path.join(ROOT, "src")):
        for name in sorted(files):
            rel = os.path.relpath(os.path.join(folder, name), ROOT)
            if name.endswith((".cpp", ".h")) and fnmatch.fnmatch(rel, args.files):
                sources.append(rel)
    sources.sort()
    if not sources:
        print("scripts/mutate: no source file matches '%s'" % args.files, file=sys.stderr)
        return 2

    candidates = []
    for rel in sources:
        with open(os.path.join(ROOT, rel), encoding="utf-8") as f:
            candidates.extend(find_faults(rel, f.read()))
    candidates.sort(key=Fault.key)
    chooser = random.Random(args.seed)
    chosen = chooser.sample(candidates, min(args.count, len(candidates)))
    print("scripts/mutate: %d of %d possible faults in %d files (--seed %d)"
          % (len(chosen), len(candidates), len(sources), args.seed), flush=True)
    numbered = list(enumerate(chosen, 1))
    if args.pick:
        try:
            wanted = {int(n) for n in args.pick.split(",") if n.strip()}
        except ValueError:
            parser.error("--pick takes numbers separated by commas")
        numbered = [(i, fault) for i, fault in numbered if i in wanted]
    if args.list:
        for i, fault in numbered:
            print("[%3d] %s" % (i, fault.describe()))
        return 0

    killers = earlier_killers(args.first) if args.first else {}

    work = args.work or tempfile.mkdtemp(prefix="tzdag-mutate-")
    tree = os.path.join(work, "tree")
    build = os.path.join(work, "build")
    log = os.path.join(work, "last.log")
    # A fault whose run was killed (not merely failed) leaves its build newer
    # than the restored source, which keeps its old time in the copy: make that
    # file newer again so the build notices.
    pending = os.path.join(work, "pending")
    try:
        copy_tree(tree)
        if os.path.exists(pending):
            with open(pending, encoding="utf-8") as f:
                stale = os.path.join(tree, f.read().strip())
            if os.path.exists(stale):
                os.utime(stale)
        print("scripts/mutate: building the unchanged copy in %s" % build, flush=True)
        # Unoptimised and without debug information: the quickest rebuilds.
        configure = ["cmake", "-S", tree, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=",
                     "-DCMAKE_CXX_FLAGS=-O0"]
        if run(configure, tree, log=log) != 0 or run(["cmake", "--build", build], tree, log=log) != 0:
            print("scripts/mutate: the unchanged tree does not build; see %s" % log, file=sys.stderr)
            return 1
        ctest = ["ctest", "--test-dir", build, "--parallel", str(os.cpu_count() or 2),
                 "--timeout", str(args.test_timeout), "--stop-on-failure"]
        whole = list(ctest)
        if args.tests:
            ctest += ["-R", args.tests]
        if run(ctest, tree, log=log) != 0:
            print("scripts/mutate: the unchanged tree fails its tests; see %s" % log,
                  file=sys.stderr)
            return 1

        killed = survived = broken = 0
        survivors = []
        started = time.time()
        for i, fault in numbered:
            path = os.path.join(tree, fault.path)
            with open(path, encoding="utf-8") as f:
                original = f.read()
            mutated = original[:fault.start] + fault.replacement + original[fault.end:]
            with open(pending, "w", encoding="utf-8") as f:
                f.write(fault.path)
            with open(path, "w", encoding="utf-8") as f:
                f.write(mutated)
            by = ""
            try:
                open(log, "w").close()
                # A test name up to its first blank (parameterised names go
                # on), its dots taken literally.
                first = None
                if i in killers:
                    first = whole + ["-R", "^" + killers[i].replace(".", "[.]") + "( |$)"]
                if run(["cmake", "--build", build], tree, log=log) != 0:
                    verdict = "not compiling"
                    broken += 1
                elif (first and run(first, tree, log=log) != 0) or run(ctest, tree, log=log) != 0:
                    verdict = "killed"
                    killed += 1
                    names = failed_tests(log)
                    by = "  <- " + names[0] if names else ""
                else:
                    verdict = "survived"
                    survived += 1
                    survivors.append(fault)
            finally:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(original)
            print("[%3d/%d] %-13s %s%s" % (i, len(chosen), verdict, fault.describe(), by),
                  flush=True)
        # Leave the build matching the unchanged tree for the next run.
        if run(["cmake", "--build", build], tree, log=log) == 0 and os.path.exists(pending):
            os.remove(pending)

        valid = killed + survived
        print("")
        print("killed %d, survived %d, not compiling %d (%.0f s)"
              % (killed, survived, broken, time.time() - started))
        if survivors:
            print("survived:")
            for fault in survivors:
                print("  " + fault.describe())
        print("score: %d/%d%s" % (killed, valid,
                                  " (%.1f%%)" % (100.0 * killed / valid) if valid else ""))
        return 0
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
