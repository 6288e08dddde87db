#!/bin/bash
# The one stand-in for the device's HTTPS fetch tool in the tests. It keeps its
# state in $VTCLIENT_ROOT/wget, where the test steers it:
#   mode[.<kind>]    ok (default) | fail | hang | garbage
#   answer.<run>, answer.<kind>, answer   what to leave in the output file (the
#                    first that exists; default "200 OK"); an answer "EXIT s"
#                    exits with status s instead, "HANG" never ends.
# <kind> is the last component of the URL path, <run> counts the calls from 1.
# Each call leaves: count, args.<run> (its words, NUL-terminated), body.<run>
# and header.<run> (copies of its -f and -e files), and a line "<kind>" in
# calls; the body of every request answered normally (ok) is also kept in
# bodies/ when that directory exists.
d="${VTCLIENT_ROOT:?}/wget"
n=$(($(cat "$d/count" 2>/dev/null || echo 0) + 1)); echo $n > "$d/count"
printf '%s\0' "$@" > "$d/args.$n"
body="" out="" url=""
for a in "$@"; do
  case "$a" in
    -f*) body="${a#-f}" f="$body" w=body ;;
    -e*) f="${a#-e}" w=header ;;
    -O*) out="${a#-O}"; continue ;;
    -q|-T*|-i*) continue ;;
    *) url="$a"; continue ;;
  esac
  [ -f "$f" ] && cp "$f" "$d/$w.$n"
done
kind="${url##*/}"
mode=ok
if [ -f "$d/mode.$kind" ]; then mode=$(cat "$d/mode.$kind"); elif [ -f "$d/mode" ]; then mode=$(cat "$d/mode"); fi
# Recorded after the mode is read: a test that sees the call may change the mode.
echo "$kind" >> "$d/calls"
case "$mode" in
  fail) exit 1 ;;
  hang) exec sleep 100000 ;;
  garbage) head -c 700 /bin/bash > "$out"; exit 0 ;;  # binary junk, the same every run
esac
[ -d "$d/bodies" ] && [ -f "$body" ] && cp "$body" "$d/bodies/$kind.$(date +%s%N).$$"
for answer in "$d/answer.$n" "$d/answer.$kind" "$d/answer" ""; do [ -f "$answer" ] && break; done
case "$(cat "$answer" 2>/dev/null)" in
  "EXIT "*) exit "$(cut -c6- "$answer")" ;;
  HANG) exec sleep 100000 ;;
esac
if [ -n "$answer" ]; then cp "$answer" "$out"; else printf '200 OK\n' > "$out"; fi
