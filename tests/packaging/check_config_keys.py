#!/usr/bin/python3
"""Every configuration key the agent reads is listed once in the sample
configuration and described in the configuration reference.

Usage: check_config_keys.py SOURCE_DIR
"""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1])
sample = root / "etc" / "vtclient.cfg"
reference = (root / "docs" / "configuration.md").read_text()

KEY = re.compile(r"^[A-Z][A-Z0-9_]*[A-Z0-9]$")
failures = []

# Keys of the sample: active lines and commented-out defaults ("#KEY=...").
listed = {}
for number, line in enumerate(sample.read_text().splitlines(), 1):
    active = not line.startswith("#")
    text = line if active else line[1:]
    if "=" not in text:
        if active and line.strip():
            failures.append(f"{sample.name}:{number}: line without '=' outside a comment")
        continue
    key, value = text.split("=", 1)
    if not KEY.match(key):
        if active:
            failures.append(f"{sample.name}:{number}: malformed key {key!r}")
        continue
    if key in listed:
        failures.append(f"{sample.name}:{number}: {key} listed twice (the first line would win)")
    listed[key] = number
    if active and (value.startswith(" ") or key != key.strip()):
        failures.append(f"{sample.name}:{number}: blank around '=' becomes part of {key}")

# Keys spelled out in the agent's sources.
literal = re.compile(r'"((?:DEVICE|FEATURE)_[A-Z0-9_]*[A-Z0-9]|VANTOR_HOST|UDP_REG_PATH)"')
in_code = {}
for folder in ("platform", "https", "channel", "features", "daemon"):
    for path in sorted((root / folder).glob("**/*")):
        if path.suffix in (".cc", ".h", ".cpp", ".hpp") and path.is_file():
            for key in literal.findall(path.read_text(errors="replace")):
                in_code.setdefault(key, path.relative_to(root))

# Keys built from a feature prefix and a suffix, which the sources may compose
# at run time rather than spell out.
support = ["CONFIG", "REPORT", "EVENT", "FIRMWARE", "UPISPD", "REBOOT",
           "REMOTE_ACTION", "DEBUG_DUMP", "GPSDATA"]
scheduled = ["CONFIG", "REPORT", "FIRMWARE", "UPISPD", "GPSDATA"]
retried = ["CONFIG", "FIRMWARE", "REPORT", "GPSDATA", "REMOTE_ACTION",
           "DEBUG_DUMP", "UPISPD"]
composed = {f"FEATURE_{f}_SUPPORT" for f in support}
composed |= {f"FEATURE_{f}_AUTO_{s}" for f in scheduled
             for s in ("START", "START_TIME", "START_DELTA",
                       "REPEAT", "REPEAT_INTERVAL", "REPEAT_DELTA")}
composed |= {f"FEATURE_{f}_{s}" for f in retried
             for s in ("TIMEOUT", "AUTO_RETRY", "AUTO_RETRY_INTERVAL", "AUTO_RETRY_DELTA")}

for key in sorted(set(in_code) | composed):
    if key not in listed:
        where = in_code.get(key, "the feature key pattern")
        failures.append(f"{key} (read in {where}) is missing from {sample.name}")

# The reference describes each key, by name or as FEATURE_<F>_<suffix> with
# <F> in its feature table.
prefixes = sorted(support, key=len, reverse=True)
for key in sorted(listed):
    if f"`{key}`" in reference:
        continue
    match = re.match(r"FEATURE_(%s)_(.+)$" % "|".join(prefixes), key)
    if match and f"`FEATURE_<F>_{match.group(2)}`" in reference \
            and f"`{match.group(1)}`" in reference:
        continue
    failures.append(f"{key} is not described in docs/configuration.md")

for failure in failures:
    print(failure)
print(f"{len(listed)} keys listed, {len(in_code)} spelled out in the sources")
sys.exit(1 if failures else 0)
