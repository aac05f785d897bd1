#!/usr/bin/env python3
"""Ties docs/operating.md to the code: every message the program logs is in exactly one of
its two tables ("Troubleshooting: the last line of a run", "Every other line"), every row
there is a message the program logs, every message the run stops right after is in the
troubleshooting table with the status it stops with, and every WinINet number the POSIX
stand-ins report is explained. It also holds the table of agent_publish's probe statuses in
docs/server.md to the constants of publisher/publisher.h.

    check_operating.py SOURCE_DIR
"""
import pathlib
import re
import sys

PRODUCT = ("app", "config", "update", "installer", "logging", "platform")
LOG_CALL = re.compile(r'spdlog::(?:trace|debug|info|warn|error|critical)\(\s*(?:"((?:[^"\\]|\\.)*)"|(\w+)\s*[,)])')
LITERAL = re.compile(r'"((?:[^"\\]|\\.)*)"')

failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)


def text_of(literal):
    """A C string literal's text as the log shows it, a line feed kept as \\n."""
    return re.sub(r"\\(.)", lambda m: "\\n" if m.group(1) == "n" else m.group(1), literal)


def logged_messages(root):
    """{message: [where]}, and {message: status} for those the run stops right after."""
    messages, stops = {}, {}
    for path in sorted(p for d in PRODUCT for p in (root / d).rglob("*") if p.suffix in (".cpp", ".h")):
        source = path.read_text()
        where = path.relative_to(root)
        forwarders = set()
        for call in LOG_CALL.finditer(source):
            line = source.count("\n", 0, call.start()) + 1
            if call.group(1) is not None:
                texts = [call.group(1)]
            else:
                # A message handed in by the caller: the literals passed for that parameter.
                param = call.group(2)
                callee = re.search(r"(\w+)\([^)]*\b%s\)" % param, source)
                texts = []
                if callee:
                    forwarders.add(callee.group(1))
                    for use in re.finditer(r"\b%s\(([^;]*)\);" % callee.group(1), source):
                        texts += LITERAL.findall(use.group(1))
                check(texts, f"{where}:{line}: the texts of spdlog's {param} are found")
            for text in map(text_of, texts):
                messages.setdefault(text, []).append(f"{where}:{line}")
        if path.parts[-2] != "app":
            continue
        # The run's own decisions: a message followed by the run's return, or handed to a
        # function that logs it and whose result the run returns.
        for stop in re.finditer(r'spdlog::(?:info|error)\(\s*"((?:[^"\\]|\\.)*)"[^;]*;\s*return (-?\d+);', source):
            stops[text_of(stop.group(1))] = stop.group(2)
        for stop in re.finditer(r"return (\w+)\(([^;]*)\);", source):
            if stop.group(1) in forwarders:
                for text in LITERAL.findall(stop.group(2)):
                    stops.setdefault(text_of(text), None)
    return messages, stops


def table(doc, heading):
    """{message: row cells} of the table under `heading`."""
    section = doc.split("\n## " + heading + "\n", 1)
    check(len(section) == 2, f'docs/operating.md has the section "{heading}"')
    rows = {}
    for line in section[1].split("\n## ", 1)[0].splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        m = re.fullmatch(r"`([^`]+)`", cells[0]) if line.startswith("|") else None
        if m:
            check(m.group(1) not in rows, f'"{m.group(1)}" has one row in "{heading}"')
            rows[m.group(1)] = cells
    return rows


def main(root):
    root = pathlib.Path(root)
    doc = (root / "docs" / "operating.md").read_text()
    messages, stops = logged_messages(root)
    last = table(doc, "Troubleshooting: the last line of a run")
    other = table(doc, "Every other line")
    for text, where in sorted(messages.items()):
        check((text in last) != (text in other),
              f'"{text}" ({", ".join(where)}) is in exactly one table of docs/operating.md')
    for text in sorted(set(last) | set(other)):
        check(text in messages, f'the row "{text}" of docs/operating.md is a message the program logs')
    for text, status in sorted(stops.items()):
        check(text in last, f'"{text}", after which the run stops, is in the troubleshooting table')
        if status is not None and text in last:
            check(last[text][1] == status, f'"{text}" ends the run with {status}, as the table says')
    errors = (root / "platform" / "common" / "win_errors.h").read_text()
    for number in sorted(set(re.findall(r"= (12\d\d\d);", errors))):
        check(re.search(r"^\| %s \|" % number, doc, re.M), f"WinINet error {number} is explained")
    statuses = dict(re.findall(r"constexpr int (exit_\w+) = (\d+);", (root / "publisher" / "publisher.h").read_text()))
    server = (root / "docs" / "server.md").read_text()
    for name, line in (("exit_ok", "would install URL"), ("exit_no_urgent_release", "no urgent release"),
                       ("exit_not_reached", "not reached: "), ("exit_refused", "would refuse the installer: ")):
        check(re.search(r"^\s*\| %s \| `%s" % (statuses.get(name), re.escape(line)), server, re.M),
              f"docs/server.md gives the probe's '{line}' status {statuses.get(name)} ({name})")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parents[2]))
