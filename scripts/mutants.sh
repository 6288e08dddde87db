#!/usr/bin/env bash
# A fast mutation check: each fault listed in scripts/mutants.txt is put into a
# scratch copy of the tree, the copy is rebuilt incrementally, and the tests
# named for that fault must fail. The tree itself is never touched.
#
#   scripts/mutants.sh                  every mutant against its named tests
#   scripts/mutants.sh --full           and the whole suite for each survivor
#   scripts/mutants.sh --only 3,7-9     the mutants on these lines of the list
#   scripts/mutants.sh --match REGEX    the mutants whose file or fault matches
#   scripts/mutants.sh --keep           keep the scratch copy for the next run
#
# Other options: --list FILE (another list), --scratch DIR (where the copy
# lives; default ${TMPDIR:-/tmp}/vtclient-mutants-<hash of this tree's path>),
# --timeout S (per test, default 120), --no-baseline (skip the run of every
# named test on the unchanged copy).
#
# A list line is five tab-separated fields: the file, the exact text (found
# exactly once in it), the replacement, the fault it models, and the ctest
# name regex of the tests expected to kill it. In the text and the
# replacement, \n is a newline, \t a tab and \\ a backslash. Lines starting
# with # and empty lines are skipped.
#
# Prints one line per mutant (killed, survived, stale, unbuildable, with
# seconds) and last "K killed of N". Exits non-zero when a mutant survives
# its named tests, is stale (its text is not found exactly once, or its
# pattern names no test) or does not build.
set -euo pipefail

tree="$(cd "$(dirname "$0")/.." && pwd)"
list="$tree/scripts/mutants.txt"
full=0
keep=0
baseline=1
only=""
match=""
timeout=120
scratch=""
py=/usr/bin/python3

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'
  exit "${1:-0}"
}

while [ $# -gt 0 ]; do
  case "$1" in
    --full) full=1 ;;
    --keep) keep=1 ;;
    --no-baseline) baseline=0 ;;
    --only) only="$2"; shift ;;
    --match) match="$2"; shift ;;
    --list) list="$(cd "$(dirname "$2")" && pwd)/$(basename "$2")"; shift ;;
    --scratch) scratch="$2"; shift ;;
    --timeout) timeout="$2"; shift ;;
    -h|--help) usage 0 ;;
    *) echo "mutants.sh: unknown option $1" >&2; usage 2 >&2 ;;
  esac
  shift
done

if [ -z "$scratch" ]; then
  scratch="${TMPDIR:-/tmp}/vtclient-mutants-$(printf '%s' "$tree" | cksum | cut -d' ' -f1)"
fi
src="$scratch/src"
build="$src/build/default"
mkdir -p "$scratch"
exec 9>"$scratch/lock"
flock -n 9 || { echo "mutants.sh: another run uses $scratch" >&2; exit 2; }

# The list, parsed once: "line<TAB>file<TAB>pattern<TAB>fault" per selected
# mutant. Applying a mutant is done by the same helper.
# (Given with -c, so that its standard input stays free for ctest's JSON.)
helper_source="$(cat <<'EOF'
import re, sys

def unescape(s):
    return re.sub(r'\\(.)', lambda m: {'n': '\n', 't': '\t'}.get(m.group(1), m.group(1)), s)

def entries(path):
    with open(path, encoding='utf-8') as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip('\n')
            if not line.strip() or line.startswith('#'):
                continue
            fields = line.split('\t')
            if len(fields) != 5:
                sys.exit(f'{path}:{number}: {len(fields)} fields, not 5')
            yield number, fields

def selected(number, picks):
    if not picks:
        return True
    for part in picks.split(','):
        low, _, high = part.partition('-')
        if int(low) <= number <= int(high or low):
            return True
    return False

command = sys.argv[1]
if command == 'parse':
    path, picks, match = sys.argv[2:5]
    for number, (file, text, repl, fault, pattern) in entries(path):
        if selected(number, picks) and (not match or re.search(match, file + ' ' + fault)):
            print('\t'.join((str(number), file, pattern, fault)))
elif command == 'apply':
    path, number, root = sys.argv[2], int(sys.argv[3]), sys.argv[4]
    for n, (file, text, repl, fault, pattern) in entries(path):
        if n == number:
            target = f'{root}/{file}'
            try:
                with open(target, encoding='utf-8') as f:
                    content = f.read()
            except OSError:
                sys.exit(3)
            text = unescape(text)
            if content.count(text) != 1:
                sys.exit(3)
            with open(target, 'w', encoding='utf-8') as f:
                f.write(content.replace(text, unescape(repl)))
            sys.exit(0)
    sys.exit(3)
elif command == 'targets':
    # The targets a set of tests needs: the programs their commands and
    # environments name inside the build directory.
    import json, os
    build, known = sys.argv[2], set(sys.argv[3].split())
    data = json.load(sys.stdin)
    found, unknown = set(), False
    for test in data.get('tests', []):
        words = list(test.get('command', []))
        for prop in test.get('properties', []):
            if prop.get('name') == 'ENVIRONMENT':
                words += [v.partition('=')[2] for v in prop.get('value', [])]
        for word in words:
            if word.startswith(build + '/') and os.access(word, os.X_OK) and os.path.isfile(word):
                name = os.path.basename(word)
                if name in known:
                    found.add(name)
                else:
                    unknown = True
    print('all' if unknown or not found else ' '.join(sorted(found)))
EOF
)"
helper() { "$py" -c "$helper_source" "$@"; }

mapfile -t mutants < <(helper parse "$list" "$only" "$match")
[ ${#mutants[@]} -gt 0 ] || { echo "mutants.sh: no mutant selected" >&2; exit 2; }

# The scratch copy: the tree's tracked and new files, as they are now (so
# that uncommitted changes are checked too). A file is copied only when its
# content differs, with a fresh time, so the build stays incremental and
# never keeps an object made from a mutant.
sync_copy() {
  mkdir -p "$src"
  local want have f
  want="$(mktemp)"
  have="$(mktemp)"
  (cd "$tree" && git ls-files --cached --others --exclude-standard | sort -u) > "$want"
  (cd "$src" && find . -path ./build -prune -o -type f -print | sed 's|^\./||' | sort) > "$have"
  while IFS= read -r f; do
    [ -f "$tree/$f" ] || continue
    if ! cmp -s "$tree/$f" "$src/$f"; then
      mkdir -p "$(dirname "$src/$f")"
      cp "$tree/$f" "$src/$f"
    fi
  done < "$want"
  comm -13 "$want" "$have" | while IFS= read -r f; do rm -f "$src/$f"; done
  rm -f "$want" "$have"
}

cleanup() {
  if [ -n "${restore_file:-}" ] && [ -f "${restore_backup:-}" ]; then
    cp "$restore_backup" "$restore_file"
    rm -f "$restore_backup"
  fi
  if [ "$keep" -eq 0 ]; then
    rm -rf "$src"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start_all=$(date +%s)
echo "scratch copy: $src (load: $(uptime | sed 's/.*load average: //'))"
sync_copy
(cd "$src" && cmake --preset default >/dev/null)
if ! cmake --build "$build" -j2 > "$scratch/build.log" 2>&1; then
  echo "mutants.sh: the unchanged copy does not build, see $scratch/build.log" >&2
  exit 2
fi
mapfile -t known_targets < <(cmake --build "$build" --target help | sed -n 's/^\.\.\. \([^ ]*\).*/\1/p')
echo "copy built in $(( $(date +%s) - start_all )) s"

declare -A targets_for
targets_of() {  # pattern file
  local pattern="$1" file="$2" tests owner
  if [ -z "${targets_for[$pattern]+set}" ]; then
    targets_for[$pattern]="$(ctest --test-dir "$build" -R "$pattern" --show-only=json-v1 2>/dev/null |
                             helper targets "$build" "${known_targets[*]}")"
  fi
  tests="${targets_for[$pattern]}"
  # The target the file is compiled into, too: a test may run a program it
  # does not depend on (the wget_https stand-in).
  owner="$(owner_of "$file")"
  if [ "$tests" = all ] || [ -z "$owner" ]; then
    printf '%s\n' "$tests"
  else
    printf '%s %s\n' "$tests" "$owner"
  fi
}

# The target whose object <build>/<dir>/CMakeFiles/<target>.dir/<rest>.o is
# made from the source file <dir>/<rest>; nothing for a header.
owner_of() {
  local file="$1" dir rest object
  dir="$(dirname "$file")"
  rest="$(basename "$file")"
  while :; do
    for object in "$build/$dir"/CMakeFiles/*.dir/"$rest".o; do
      if [ -f "$object" ]; then
        object="${object%/"$rest".o}"
        object="${object##*/}"
        printf '%s\n' "${object%.dir}"
        return
      fi
    done
    [ "$dir" != . ] || return 0
    rest="$(basename "$dir")/$rest"
    dir="$(dirname "$dir")"
  done
}

count_tests() {
  ctest --test-dir "$build" -R "$1" -N 2>/dev/null | sed -n 's/^Total Tests: //p'
}

run_tests() {  # pattern log [extra ctest options]
  local pattern="$1" log="$2"
  shift 2
  ctest --test-dir "$build" -R "$pattern" -j2 --timeout "$timeout" --output-on-failure "$@" \
    > "$log" 2>&1
}

build_for() {  # targets log
  local t
  if [ "$1" = all ]; then
    cmake --build "$build" -j2 > "$2" 2>&1
  else
    read -ra t <<< "$1"
    cmake --build "$build" -j2 --target "${t[@]}" > "$2" 2>&1
  fi
}

# Every named test must pass on the unchanged copy, or a mutant would be
# "killed" by a failure it did not cause.
if [ "$baseline" -eq 1 ]; then
  b0=$(date +%s)
  union="$(printf '%s\n' "${mutants[@]}" | cut -f3 | sort -u | paste -sd'|')"
  if ! run_tests "$union" "$scratch/baseline.log"; then
    echo "mutants.sh: the named tests fail on the unchanged copy:" >&2
    sed -n '/tests FAILED:/,$p' "$scratch/baseline.log" >&2
    exit 2
  fi
  echo "baseline: named tests pass on the unchanged copy ($(( $(date +%s) - b0 )) s)"
fi

killed=0
total=0
bad=0
survivors=()
for entry in "${mutants[@]}"; do
  IFS=$'\t' read -r number file pattern fault <<< "$entry"
  total=$((total + 1))
  t0=$(date +%s)
  status=""
  if [ ! -f "$src/$file" ] || [ "$(count_tests "$pattern")" = 0 ]; then
    status=stale
  else
    restore_file="$src/$file"
    restore_backup="$scratch/backup"
    cp "$restore_file" "$restore_backup"
    if ! helper apply "$list" "$number" "$src"; then
      status=stale
    elif ! build_for "$(targets_of "$pattern" "$file")" "$scratch/mutant-$number.build.log"; then
      status=unbuildable
    elif run_tests "$pattern" "$scratch/mutant-$number.test.log" --stop-on-failure; then
      status=survived
    else
      status=killed
    fi
    cp "$restore_backup" "$restore_file"
    rm -f "$restore_backup"
    restore_file=""
  fi
  case "$status" in
    killed) killed=$((killed + 1)) ;;
    survived) survivors+=("$entry"); bad=1 ;;
    *) bad=1 ;;
  esac
  printf '%-11s %4ss  %3s  %s  %s\n' "$status" "$(( $(date +%s) - t0 ))" "$number" "$file" "$fault"
done

if [ "$full" -eq 1 ] && [ ${#survivors[@]} -gt 0 ]; then
  echo "--- whole suite for each survivor"
  for entry in "${survivors[@]}"; do
    IFS=$'\t' read -r number file pattern fault <<< "$entry"
    t0=$(date +%s)
    restore_file="$src/$file"
    restore_backup="$scratch/backup"
    cp "$restore_file" "$restore_backup"
    helper apply "$list" "$number" "$src"
    log="$scratch/mutant-$number.full.log"
    if ! build_for all "$log"; then
      result="does not build with every target"
    elif run_tests "." "$log"; then
      result="survives the whole suite"
    else
      # A test that failed is run again with the fault: on a loaded machine a
      # timed test can fail once without it.
      failed="$(sed -n '/tests FAILED:/,$p' "$log" | sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\).*/\1/p')"
      again=""
      once=""
      for t in $failed; do
        if run_tests "^${t//./\\.}\$" "$log.again"; then once="$once $t"; else again="$again $t"; fi
      done
      result="killed by:${again:- nothing twice}${once:+ (failed once only:$once)}"
    fi
    cp "$restore_backup" "$restore_file"
    rm -f "$restore_backup"
    restore_file=""
    printf '%4ss  %3s  %s: %s\n' "$(( $(date +%s) - t0 ))" "$number" "$file" "$result"
  done
fi

echo "wall time $(( $(date +%s) - start_all )) s, load: $(uptime | sed 's/.*load average: //')"
echo "$killed killed of $total"
[ "$bad" -eq 0 ]
