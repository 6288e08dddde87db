#!/usr/bin/python3
"""Every error-level log text in the agent's sources is listed in docs/log.md, in
backticks, so that a support engineer finds each "err" line there: every string in
the format of a log call at level VT_LOG_ERR (or 3), such as
log(VT_LOG_ERR, ok ? "A" : "B"). Usage: check_log_lines.py SOURCE_DIR"""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1])
reference = (root / "docs" / "log.md").read_text()
call = re.compile(r"(?<!\w)\w*log\s*\(\s*(?:3|VT_LOG_ERR)\s*,")
string = re.compile(r'"((?:[^"\\]|\\.)*)"')


def format_argument(text, start):
    """The source text of the argument that starts at start, up to the comma
    or closing parenthesis that ends it."""
    depth = 0
    for piece in re.finditer(r'"(?:[^"\\]|\\.)*"|[^"]', text[start:]):
        c = piece[0]
        if c in ")]}" and depth == 0 or c == "," and depth == 0:
            return text[start:start + piece.start()]
        depth += (c in "([{") - (c in ")]}")
    return text[start:]


found = {}
for folder in ("platform", "https", "channel", "features", "daemon"):
    for path in sorted((root / folder).glob("**/*.[ch]*")):
        text = path.read_text(errors="replace")
        for match in call.finditer(text):
            argument = format_argument(text, match.end())
            # Adjacent literals are one text; a conditional gives one per branch.
            marked = "".join(piece if piece.startswith('"') else re.sub(r"[?:]", "\0", piece)
                             for piece in re.split(r'("(?:[^"\\]|\\.)*")', argument))
            for branch in marked.split("\0"):
                pieces = string.findall(branch)
                if pieces:
                    line = text.count("\n", 0, match.start()) + 1
                    found.setdefault("".join(pieces), f"{path.relative_to(root)}:{line}")

missing = [f"  `{message}`    ({where})" for message, where in sorted(found.items())
           if f"`{message}`" not in reference]
print(f"{len(found)} error-level texts in the sources, {len(found) - len(missing)} listed in docs/log.md")
if not found:
    sys.exit("no error-level log call found: the pattern no longer matches how the sources log")
if missing:
    sys.exit("docs/log.md lacks these error-level log texts; add each to a table of "
             "\"Error lines and what to do\":\n" + "\n".join(missing))
