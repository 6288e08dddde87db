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
failures = []

# Keys of the sample: active lines and commented-out defaults ("#KEY=...").
listed = {}
for number, line in enumerate(sample.read_text().splitlines(), 1):
    active = not line.startswith("#")
    key, eq, value = (line if active else line[1:]).partition("=")
    where = f"{sample.name}:{number}"
    if not eq or not re.fullmatch(r"[A-Z][A-Z0-9_]*[A-Z0-9]", key):
        if active and line.strip():
            failures.append(f"{where}: not a KEY=value line outside a comment")
        continue
    if key in listed:
        failures.append(f"{where}: {key} listed twice (the first line would win)")
    listed[key] = number
    if active and value.startswith(" "):
        failures.append(f"{where}: a blank after '=' becomes part of the value of {key}")

# Keys spelled out in the agent's sources, and those built from a feature
# prefix and a suffix at run time.
literal = re.compile(r'"((?:DEVICE|FEATURE)_[A-Z0-9_]*[A-Z0-9]|VANTOR_HOST|UDP_REG_PATH)"')
in_code = {}
for folder in ("platform", "https", "channel", "features", "daemon"):
    for path in sorted((root / folder).glob("**/*.[ch]*")):
        for key in literal.findall(path.read_text(errors="replace")):
            in_code.setdefault(key, path.relative_to(root))
support = ["CONFIG", "REPORT", "EVENT", "FIRMWARE", "UPISPD", "REBOOT",
           "REMOTE_ACTION", "DEBUG_DUMP", "GPSDATA"]
scheduled = ["CONFIG", "REPORT", "FIRMWARE", "UPISPD", "GPSDATA"]
retried = ["CONFIG", "FIRMWARE", "REPORT", "GPSDATA", "REMOTE_ACTION", "DEBUG_DUMP", "UPISPD"]
composed = {f"FEATURE_{f}_SUPPORT" for f in support}
composed |= {f"FEATURE_{f}_AUTO_{s}" for f in scheduled for s in
             ("START", "START_TIME", "START_DELTA", "REPEAT", "REPEAT_INTERVAL", "REPEAT_DELTA")}
composed |= {f"FEATURE_{f}_{s}" for f in retried
             for s in ("TIMEOUT", "AUTO_RETRY", "AUTO_RETRY_INTERVAL", "AUTO_RETRY_DELTA")}
failures += [f"{key} (read in {in_code.get(key, 'the feature key pattern')}) is missing from {sample.name}"
             for key in sorted(set(in_code) | composed) if key not in listed]

# The reference describes each key, by name or as FEATURE_<F>_<suffix> with
# <F> in its feature table.
feature = re.compile(r"FEATURE_(%s)_(.+)$" % "|".join(sorted(support, key=len, reverse=True)))
for key in sorted(listed):
    match = feature.match(key)
    if f"`{key}`" not in reference and not (match and f"`FEATURE_<F>_{match[2]}`" in reference
                                             and f"`{match[1]}`" in reference):
        failures.append(f"{key} is not described in docs/configuration.md")

print(f"{len(listed)} keys listed, {len(in_code)} spelled out in the sources")
if failures:
    sys.exit("\n".join(failures))
