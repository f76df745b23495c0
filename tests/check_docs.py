# SPDX-License-Identifier: MIT
"""Checks the project's documents: their numbers against the static schedule and the rules of
a chain of compare-and-swaps (reduction.py), and their links. What each rule reads: tests/README.md.

    check_docs.py numbers DOC README MANUAL T:t ...
    check_docs.py links DIR
"""

import re
import sys
from pathlib import Path

from reduction import ITERATIONS, TOTAL, block, play

BLOCKS = ["T", "thread", "iterations", "count", "partial sum"]
SWAPS = ["T", "thread", "reads", "partial", "swaps in", "finds", "outcome"]
ARITHMETIC = re.compile(r"(\d+)(?: (/|mod) |\^)(\d+) = (\d+)")
# Sentences that state the schedule, and the count each gives thread t of a team of T.
SCHEDULES = [
    (re.compile(r"let q be (\d+) divided by T,? rounded down,? and r the remainder:? threads "
                r"(\d+) to r [−-] (\d+) take q \+ (\d+) iterations each,? and the others take q"),
     lambda T, t, n, first, minus, plus: n // T + plus if first <= t <= n % T - minus else n // T),
    (re.compile(r"the first (\d+) mod T threads take (\d+) ?/ ?T \+ (\d+) consecutive "
                r"iterations each,? and the others (\d+) ?/ ?T"),
     lambda T, t, n_r, n, plus, n_others: n // T + plus if t < n_r % T else n_others // T)]
ABOUT_SCHEDULE = re.compile(r"divided by T|mod T\b|/ ?T\b")
EXAMPLE = re.compile(r"T = (\d+), (\d+) / (\d+) = \d+ and (\d+) mod (\d+) = \d+")
# Numbers prose may hold unchecked: arithmetic (checked line by line), 2^24, team sizes, settings,
# names, the loop's range, a chain from 0 to the total, the printed total, exit statuses 0 and 1.
ALLOWED = re.compile(r"\d+ (/|mod) \d+ = \d+|2\^24( = \d+)?|T = \d+|([A-Z_]+|Ns) ?=\d+|"
                     r"ulimit -u \d+|x86-64|IEEE 754|GCC 12|0( …| to|, 1, \.\.\.,|–) 999|"
                     rf"from 0 to {TOTAL}|sum = {TOTAL}\.0+|(status( is)?|exits|\.It) [01]\b")
SENTENCE = re.compile(r"\s*(.+?)(?:(?<=[.!?])\s+(?=[A-Z(*\[])|\n(?=\.|- )|\n\s*\n|\Z)", re.S)


class Refused(Exception):
    """A rule's refusal of a line or sentence, in words."""


def blank(match):
    """The match as spaces, with its newlines: the text keeps its offsets and lines."""
    return re.sub(r"[^\n]", " ", match[0])


def shown_block(team, thread):
    if not 0 <= thread < team:
        raise Refused(f"a team of {team} has no thread {thread}")
    b = block(team, thread)
    return ["none" if not b else str(b[0]) if len(b) == 1 else f"{b[0]}–{b[-1]}",
            str(len(b)), str(sum(b))]


def swap(swaps, team, thread, reads, part, swapped, finds, outcome):
    swaps.append({"thread": thread, "reads": reads, "partial": part, "swaps in": swapped,
                  "finds": finds, "succeeds": outcome == "succeeds"})
    if str(part) != (own := shown_block(team, thread)[2]):
        raise Refused(f"thread {thread} of {team} has the partial {own}, not {part}")


def chain(swaps):
    totals, problems = play(swaps)
    if problems or totals[-1] != TOTAL:
        raise Refused("; ".join(problems + [f"the total runs {totals}, to {TOTAL}"]))
    return totals


def check_sentence(text, teams):
    clean = " ".join(re.sub(r"[()\[\]*]", "", text).split())
    for pattern, count in SCHEDULES:
        for match in pattern.finditer(clean):
            numbers = [*map(int, match.groups())]
            for team, thread in ((team, t) for team in teams for t in range(team)):
                if (said := count(team, thread, *numbers)) != len(block(team, thread)):
                    raise Refused(f'"{match[0]}" gives thread {thread} of {team} {said} '
                                  f"iterations; the schedule gives it {len(block(team, thread))}")
        clean = pattern.sub(" ", clean)
    if ABOUT_SCHEDULE.search(clean):
        raise Refused("this sentence states the schedule in words no rule reads (SCHEDULES)")
    for match in EXAMPLE.finditer(clean):
        team, n, divisor, n_mod, modulus = map(int, match.groups())
        if not team == divisor == modulus or not n == n_mod == ITERATIONS:
            raise Refused(f'"{match[0]}" is not the arithmetic of a team of {team}')
    if numbers := [n for n in re.findall(r"\d+", ALLOWED.sub(" ", clean))
                   if int(n) not in (ITERATIONS, TOTAL)]:
        raise Refused(f"{', '.join(numbers)}: no rule checks these numbers; write them in "
                      "words, or add a rule to tests/check_docs.py")


class Page:
    """One file, read line by line; each rule refuses a line on its own."""

    def __init__(self, path, errors):
        self.path, self.errors, self.rows, self.prose = path, errors, [], []
        self.table = self.code = self.picture = self.trace = self.spy = None

    def attempt(self, number, text, rule, *args, why=""):
        try:
            rule(*args)
        except Refused as refusal:
            self.errors.append(f"{self.path}:{number}: {why}{refusal}\n    {text.strip()}")

    def read(self, lines):
        for number, line in enumerate(lines + [""], 1):  # the empty line ends what is open
            cells = ([cell.strip() for cell in line.strip()[1:-1].split("|")]
                     if re.fullmatch(r" *\|.*\| *", line) else None)
            for rule in (self.tables, self.code_blocks, self.arithmetic, self.sums):
                self.attempt(number, line, rule, number, line, cells)
        return self

    def tables(self, number, line, cells):
        if cells in (BLOCKS, SWAPS):
            self.table = (number, line, cells, [])
        elif cells is None and self.table:
            (start, header, kind, swaps), self.table = self.table, None
            if kind == SWAPS:
                self.attempt(start, header, chain, swaps, why="the swaps of this table: ")
        elif cells and self.table and not re.fullmatch(r":?-+:?", cells[0]):
            kind, numeric = self.table[2], 2 if self.table[2] == BLOCKS else 6
            if (len(cells) != len(kind) or not all(cell.isdigit() for cell in cells[:numeric])
                    or kind == SWAPS and cells[6] not in ("succeeds", "fails", "fails, retried")):
                raise Refused(f"not a row of {' | '.join(kind)}")
            team, thread, *numbers = map(int, cells[:numeric])
            if kind == SWAPS:
                return swap(self.table[3], team, thread, *numbers, cells[6])
            self.rows.append((team, thread))
            if cells[2:] != (shown := shown_block(team, thread)):
                raise Refused(f"T = {team}, thread {thread} shows {', '.join(cells[2:])}; the "
                              f"static schedule gives {', '.join(shown)}")

    def code_blocks(self, number, line, cells):
        fence = line.lstrip().startswith("```")
        prose = not (fence or self.code or cells or re.match(r"\.(Dd|Dt|Lk|\\\")", line))
        self.prose.append(line if prose else "")  # a line that is not prose ends a paragraph
        if fence:
            trace, self.code = self.trace, not self.code
            self.picture = self.trace = None
            if trace:
                raise Refused(f"the trace from line {trace['line']} has no verdict line")
        elif self.code:
            self.code_line(number, line)

    def arithmetic(self, number, line, cells):
        for match in ARITHMETIC.finditer(line):
            (a, b, c), operator = map(int, match.group(1, 3, 4)), match[2]
            if operator and not b:
                raise Refused(f"{match[0]} divides by zero")
            value = a % b if operator == "mod" else a // b if operator else a ** b
            if value != c:
                raise Refused(f"{match[0]} is wrong: it is {value}")

    def sums(self, number, line, cells):
        if spy := re.search(r"SPY_TEAM_SIZE=(\d+) (?:--env )?SPY_THREAD_NUM=(\d+)", line):
            self.spy = shown_block(int(spy[1]), int(spy[2]))[2]
        elif printed := re.fullmatch(r"sum = (\d+)\.000000", line):
            expected, self.spy = self.spy or str(TOTAL), None
            if printed[1] != expected:
                raise Refused(f"the program prints sum = {expected}.000000 here")

    def code_line(self, number, line):
        numbers, trace = [*map(int, re.findall(r"\d+", line))], self.trace
        if command := re.search(r"OMP_NUM_THREADS=(\d+) gdb .*count_combines", line):
            self.trace = {"line": number, "team": int(command[1]), "swaps": [], "gdb": {}}
        elif trace and re.fullmatch(r"( +\d+){6} +(succeeds|fails)", line):
            (thread, gdb, *numbers), gdbs = numbers, trace["gdb"]
            clash = gdbs.setdefault(thread, gdb) != gdb or len(set(gdbs.values())) < len(gdbs)
            swap(trace["swaps"], trace["team"], thread, *numbers, line.split()[-1])
            if clash:
                raise Refused(f"a thread has one gdb number, a gdb number one thread: {gdbs}")
        elif trace and line.startswith("totals:"):
            if numbers != (totals := chain(trace["swaps"])):
                raise Refused(f"the swaps above run the total {totals}")
        elif trace and re.match(r"thread \d+ \(gdb \d+\): \d+ update\(s\), \d+ failed ", line):
            thread, gdb = numbers[0], trace["gdb"].get(numbers[0])
            fails = sum(s["thread"] == thread and not s["succeeds"] for s in trace["swaps"])
            if numbers[1:] != [gdb, 1, fails]:
                raise Refused(f"thread {thread}, gdb's {gdb}, made one update and {fails} failed "
                              "swap(s) above")
        elif trace and re.match(r"\d+ thread\(s\), one update each, from \d+ to \d+; \d+ f", line):
            self.trace, team = None, trace["team"]
            winners = sorted(s["thread"] for s in trace["swaps"] if s["succeeds"])
            failed = len(trace["swaps"]) - len(winners)
            if numbers + winners != [team, 0, TOTAL, failed, *range(team)]:
                raise Refused(f"the trace above is not one update by each of {team} threads, "
                              f"from 0 to {TOTAL}, with {failed} failed swap(s)")
        elif re.match(r"T = \d", line):
            self.picture = numbers[0]
        elif self.picture is not None and re.match(r"block|partial", line):
            column = 0 if line.startswith("block") else 2
            expected = [shown_block(self.picture, t)[column] for t in range(self.picture)]
            if re.findall(r"\d+–\d+|\d+|none", line) != expected:
                raise Refused(f"the picture's {line.split()[0]}s are {', '.join(expected)}")
        elif self.picture is not None and line.startswith("total, threads "):
            order, shown = line.split(":", 1)
            totals = [0]
            for thread in re.findall(r"\d+", order):
                totals.append(totals[-1] + int(shown_block(self.picture, int(thread))[2]))
            if re.findall(r"\d+", shown) != [str(t) for t in totals] or totals[-1] != TOTAL:
                raise Refused(f"in that order the total runs {totals}, to {TOTAL}")


def check_numbers(doc, readme, manual, rows):
    errors, teams = [], sorted({team for team, _ in rows})
    for path in (doc, readme, manual):
        page = Page(path, errors).read(Path(path).read_text(encoding="utf-8").split("\n"))
        if path != manual and not page.rows:
            errors.append(f"{path}: no table of blocks ({' | '.join(BLOCKS)})")
        for team, thread in sorted(set(rows) - set(page.rows)) if path == doc else []:
            errors.append(f"{path}: the table of blocks has no row for T = {team}, thread "
                          f"{thread}, which the tests cover")
        # Sentence by sentence, without code spans, link targets and heading marks.
        text = re.sub(r"`[^`\n]*`|\]\([^)\n]*\)|^#+ ", blank, "\n".join(page.prose), flags=re.M)
        for sentence in SENTENCE.finditer(text) if path != readme else []:
            page.attempt(text.count("\n", 0, sentence.start(1)) + 1, " ".join(sentence[1].split()),
                         check_sentence, sentence[1], teams)
    return errors


def markdown(path):
    text = Path(path).read_text(encoding="utf-8", errors="replace")
    return re.sub(r"`[^`\n]*`", blank, re.sub(r"^ *```.*?^ *```", blank, text, flags=re.M | re.S))


def check_links(root):
    errors, checked, root = [], 0, Path(root).resolve()
    documents = sorted(path for path in root.rglob("*.md")
                       if not {"build", ".git"} & set(path.relative_to(root).parts))
    for document in documents:
        text, lines = markdown(document), document.read_text(encoding="utf-8").split("\n")
        definitions = list(re.finditer(r"^ *\[([^\]\n]+)\]: *(\S+)", text, flags=re.M))
        labels = {match[1].lower() for match in definitions}
        problems = [(match.start(), f"the reference link [{match[1]}] is defined nowhere")
                    for match in re.finditer(r"\]\[([^\]\n]+)\]", text)
                    if match[1].lower() not in labels]
        links = [(match.start(), match[match.lastindex])  # inline links, then definitions
                 for match in [*re.finditer(r"\]\(([^)\s]+)\)", text), *definitions]]
        for offset, target in [link for link in links if not re.match(r"[a-z]+:", link[1])]:
            checked, (path, _, anchor) = checked + 1, target.partition("#")  # not a web address
            file = (document.parent / path).resolve() if path else document
            if not file.is_file():
                problems.append((offset, f"the link {target} leads to no file"))
            # Anchors as renderers make them of headings: lower case, no punctuation, hyphens.
            elif anchor and anchor not in {
                    re.sub(r"[^a-z0-9 _-]", "", heading.lower()).replace(" ", "-")
                    for heading in re.findall(r"^#+ +(.*)$", markdown(file), flags=re.M)}:
                problems.append((offset, f"the link {target} names no heading of {file.name}"))
        for offset, problem in sorted(problems):
            line = text.count("\n", 0, offset)
            errors.append(f"{document.relative_to(root)}:{line + 1}: {problem}\n"
                          f"    {lines[line].strip()}")
    return errors, f"{checked} links checked in {len(documents)} Markdown files"


def main(argv):
    if argv[:1] == ["numbers"] and len(argv) > 4:
        rows = [tuple(map(int, pair.split(":"))) for pair in argv[4:]]
        errors, summary = check_numbers(*argv[1:4], rows), "numbers checked"
    elif argv[:1] == ["links"] and len(argv) == 2:
        errors, summary = check_links(argv[1])
    else:
        sys.exit(__doc__.split("\n\n")[1])  # the usage, with status 1
    print("\n".join(errors) or summary, file=sys.stderr if errors else sys.stdout)
    return 1 if errors else 0


if __name__ == "__main__":  # pragma: no cover (the doc.* cases run it; the self-tests import)
    sys.exit(main(sys.argv[1:]))
