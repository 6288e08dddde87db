#!/bin/sh
# The lab bench of docs/lab.md: the agent in a sandbox against the
# management-server simulator (tools/vtsim), on this machine.
#
#   scripts/lab.sh build    configure, then build only what the lab needs:
#                           vtclient, vtclient-checkconf, wget_https
#   scripts/lab.sh setup    the device's files in $VTLAB, the lab configuration
#                           (taken from docs/lab.md), checked by vtclient-checkconf
#   scripts/lab.sh sim      the simulator on fixed ports; type its commands
#   scripts/lab.sh agent    the agent in the sandbox, in the foreground
#   scripts/lab.sh check    setup, simulator and agent unattended: the
#                           configuration sync example of docs/lab.md must
#                           apply; everything started is stopped again
#
# Settings (environment):
#   VTLAB             the sandbox (default $HOME/vtlab; check: a new one in /tmp)
#   VTLAB_BUILD       the build tree (default build/default)
#   VTLAB_HTTPS_PORT  the simulator's HTTPS port (default 8443; check: a free one)
#   VTLAB_UDP_PORT    the simulator's UDP port (default 11753; check: a free one)
#   VTLAB_AGENT       the agent to run (default $VTLAB_BUILD/daemon/vtclient)
#   VTLAB_EXEC        a prefix for it, e.g. qemu-mips-static for a MIPS build
set -eu

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=${VTLAB_BUILD:-build/default}
case $build in /*) ;; *) build=$source_dir/$build ;; esac
lab=${VTLAB:-$HOME/vtlab}
https_port=${VTLAB_HTTPS_PORT:-8443}
udp_port=${VTLAB_UDP_PORT:-11753}
agent=${VTLAB_AGENT:-$build/daemon/vtclient}
python=/usr/bin/python3
serial=1234-5678-ABCD

die() {
	echo "lab: $*" >&2
	exit 1
}

build_lab() {
	cd "$source_dir"
	cmake --preset default >/dev/null
	cmake --build --preset default --target vtclient wget_https
}

# The lab configuration is the block of docs/lab.md between its two markers,
# with the sandbox's path for $lab and the simulator's HTTPS port.
lab_configuration() {
	sed -n '/^<!-- lab configuration -->$/,/^<!-- end of the lab configuration -->$/s/^    //p' \
		"$source_dir/docs/lab.md" |
		sed "s|\$lab|$lab|g; s|127\\.0\\.0\\.1:8443|127.0.0.1:$https_port|"
}

setup() {
	[ -x "$agent" ] || die "no agent at $agent: run scripts/lab.sh build first"
	[ -x "$build/tools/wget_https/wget_https" ] || die "no wget_https in $build: run scripts/lab.sh build first"
	mkdir -p "$lab/etc" "$lab/tmp" "$lab/bin" "$lab/spool" "$lab/sim"
	echo "$serial" >"$lab/etc/serial.number"
	echo RT100 >"$lab/etc/model"
	echo EU >"$lab/etc/variant"
	echo 2.4.1 >"$lab/etc/software-release"
	# The agent runs its fetch tool through PATH.
	ln -sf "$build/tools/wget_https/wget_https" "$lab/bin/wget_https"
	lab_configuration >"$lab/etc/vtclient.cfg"
	grep -q '^VANTOR_HOST=' "$lab/etc/vtclient.cfg" || die "docs/lab.md holds no lab configuration"
	"$(dirname "$agent")/vtclient-checkconf" "$lab/etc/vtclient.cfg" ||
		die "the lab configuration does not pass vtclient-checkconf"
	echo "lab: sandbox $lab, configuration $lab/etc/vtclient.cfg, server https=127.0.0.1:$https_port udp=127.0.0.1:$udp_port"
}

# The serial the agent sends: XXXX-XXXX-XXXX without its dashes.
simulator() {
	exec "$python" "$source_dir/tools/vtsim/vtsim.py" --serial "$(echo "$serial" | tr -d -)" \
		--workdir "$lab/sim" --https-port "$https_port" --udp-port "$udp_port"
}

run_agent() {
	# shellcheck disable=SC2086 # VTLAB_EXEC is a command prefix of several words
	VTCLIENT_ROOT=$lab PATH=$lab/bin:$PATH WGET_HTTPS_CA_FILE=$lab/sim/vtsim-cert.pem \
		exec ${VTLAB_EXEC:-} "$agent"
}

# wait_for SECONDS COMMAND [ARG...]: until the command succeeds, for at most
# that many seconds.
wait_for() {
	deadline=$(($(date +%s) + $1))
	shift
	until "$@"; do
		[ "$(date +%s)" -lt "$deadline" ] || return 1
		sleep 0.2
	done
}

gone() {
	! kill -0 "$1" 2>/dev/null
}

free_port() {
	"$python" -c "import socket; s = socket.socket(socket.AF_INET, socket.$1); s.bind(('127.0.0.1', 0)); print(s.getsockname()[1])"
}

check() {
	if [ -z "${VTLAB:-}" ]; then
		lab=$(mktemp -d /tmp/vtlab.XXXXXX)
		own_lab=1
	fi
	[ -n "${VTLAB_HTTPS_PORT:-}" ] || https_port=$(free_port SOCK_STREAM)
	[ -n "${VTLAB_UDP_PORT:-}" ] || udp_port=$(free_port SOCK_DGRAM)
	sim_pid=
	agent_pid=
	trap 'finish' EXIT
	setup

	events=$lab/sim/events
	rm -f "$lab/sim/commands" "$lab/tmp/applied.cfg"
	mkfifo "$lab/sim/commands"
	(simulator) <"$lab/sim/commands" >"$events" 2>&1 &
	sim_pid=$!
	exec 3>"$lab/sim/commands"
	wait_for 20 grep -q "^ready " "$events" || fail "the simulator did not start"

	(run_agent) &
	agent_pid=$!
	wait_for 30 grep -q "^recv .*what=keepalive .*ok=1" "$events" || fail "no registration and keepalive"

	# The configuration sync example of docs/lab.md, typed into the simulator.
	printf '%s\n' 'https api/config 302 hostname=router\nntp=pool.ntp.org\nENDOFFILE\n' 'invite 2' >&3
	wait_for 30 grep -qsx "ntp=pool.ntp.org" "$lab/tmp/applied.cfg" ||
		fail "the configuration the server sent was not applied"
	grep -qx 'hostname=router' "$lab/tmp/applied.cfg" || fail "applied.cfg lacks hostname=router"
	printf '%s\n' 'https api/config 200' >&3
	echo "lab check passed: registration, keepalive, configuration sync applied"
}

fail() {
	echo "lab check failed: $*" >&2
	echo "--- simulator" >&2
	tail -n 20 "$events" >&2 || true
	echo "--- agent log" >&2
	tail -n 20 "$lab/tmp/udp_client.log" >&2 || true
	exit 1
}

# Everything the check started is stopped by its own pid.
finish() {
	status=$?
	if [ -n "$agent_pid" ]; then
		kill "$agent_pid" 2>/dev/null || true
		wait "$agent_pid" 2>/dev/null || true
	fi
	# End of input stops the simulator.
	exec 3>&- 2>/dev/null || true
	if [ -n "$sim_pid" ]; then
		wait_for 10 gone "$sim_pid" || kill "$sim_pid" 2>/dev/null || true
		wait "$sim_pid" 2>/dev/null || true
	fi
	[ -z "${own_lab:-}" ] || rm -rf "$lab"
	exit "$status"
}

case ${1:-} in
build) build_lab ;;
setup) setup ;;
sim) simulator ;;
agent) run_agent ;;
check) check ;;
*) sed -n '2,/^set -eu$/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2 && exit 2 ;;
esac
