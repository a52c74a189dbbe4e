#!/usr/bin/env bash
# Installs the build into a temporary prefix and uses the installed programs there: the executable
# finds its setup module at the module's install place, the installed query tool gets a snapshot
# from the installed companion serving a fixture tree (verified through the installed verifier
# module), and without that module the companion refuses the peer, says why and serves on.
#   install-layout-test.sh BUILD BINDIR MODULEDIR MODULEFILE STAND_IN_MODULE FIXTURE VERIFIERFILE
set -euo pipefail
build=$1 bindir=$2 moduledir=$3 modulefile=$4 stand_in=$5 fixture=$6 verifierfile=$7

work=$(mktemp -d)
server=
trap '[[ -z $server ]] || { kill "$server" && wait "$server"; } 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAILED: $*" >&2 && exit 1; }

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
bin="$prefix/$bindir"

app=com.zembo.quorvantile.sensors
for file in "$bindir"/quorvantile-{sensors{,-query},codesign} share/doc/quorvantile-sensors/copyright \
  share/man/man1/quorvantile-{sensors{,-query},codesign}.1.gz \
  share/{applications/$app.desktop,icons/hicolor/scalable/apps/$app.svg,metainfo/$app.metainfo.xml} \
  share/bash-completion/completions/quorvantile-{sensors-query,codesign} "$moduledir/$verifierfile"; do
  [[ -f $prefix/$file ]] || fail "the install tree lacks $file"
done

# The server loads the crypto library only with its verifier module, on its first verification.
readelf -d "$bin/quorvantile-sensors" | grep -q 'NEEDED.*libcrypto' &&
  fail "the installed server links the crypto library itself"

# The settings module is installed where the executable looks for it. Without it the settings mode
# names that place; with another module there, it runs that one.
module="$prefix/$moduledir/$modulefile"
run() { status=0 && output=$("$bin/quorvantile-sensors" "$@" 2>&1) || status=$?; }
rm -f "$module"
run
[[ $status == 1 && $output == *"$module"* ]] || fail "without a module: status $status, message: $output"
install -D "$stand_in" "$module"
run --on-demand
[[ $status == 42 && $output == "stand-in setup module: onDemand=1" ]] ||
  fail "the installed executable did not run the module at $module: status $status, output: $output"

# The installed query tool is signed as the parent application, so the installed companion serves it.
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 0700 "$XDG_RUNTIME_DIR"
export QUORVANTILE_SYSFS_ROOT="$fixture/sys"
# Each server gets its own status file: a background job truncates its output only once it runs, so
# a reused file could still show the previous server's "ready" line.
start_server() {
  status_log="$work/status-$1.log"
  "$bin/quorvantile-sensors" --manual-diagnostics </dev/null >"$status_log" 2>"$work/reasons-$1.log" &
  server=$!
  for _ in $(seq 200); do
    grep -q '"ready":true' "$status_log" 2>/dev/null && return
    kill -0 "$server" 2>/dev/null || fail "the installed companion did not start: $(cat "$status_log" "$work/reasons-$1.log")"
    sleep 0.05
  done
  fail "the installed companion was not ready within 10 s: $(cat "$status_log")"
}
start_server with-verifier
snapshot=$("$bin/quorvantile-sensors-query" --json --timeout 10 snapshot) ||
  fail "the installed query tool got no snapshot; companion status: $(cat "$status_log")"
[[ $snapshot == *'"key":"F0Ac","unit":"rpm","value":2160.0'* ]] || fail "unexpected snapshot: $snapshot"
grep -q '"trusted":true' "$status_log" || fail "the installed companion did not trust the query tool"
kill "$server" && wait "$server" 2>/dev/null || true
server=

# Without its verifier module a fresh companion (nothing remembered) refuses the query tool, says
# why on standard error and keeps serving.
rm "$prefix/$moduledir/$verifierfile"
start_server without-verifier
for attempt in 1 2; do
  "$bin/quorvantile-sensors-query" --json --timeout 10 snapshot >/dev/null 2>&1 &&
    fail "a companion without its verifier module served the query tool"
done
kill -0 "$server" 2>/dev/null || fail "the companion without its verifier module ended: $(cat "$work/reasons-without-verifier.log")"
[[ $(grep -c '"trusted":false' "$status_log") == 2 ]] || fail "refusals: $(cat "$status_log")"
grep -q "the signature verifier is not available: .*$verifierfile" "$work/reasons-without-verifier.log" ||
  fail "no reason for the refusal: $(cat "$work/reasons-without-verifier.log")"
