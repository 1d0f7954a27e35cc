#!/usr/bin/env bash
# Runs scripts/install-packages (path in $1) against stand-ins for dpkg-query, id, sudo and apt-get
# that log what they are asked: nothing installed when nothing is missing, and otherwise one update
# and one install of exactly the missing packages, through sudo only when not root.
set -euo pipefail
script=$1
shims=$(mktemp -d)
trap 'rm -rf "$shims"' EXIT
log=$shims/log
cat >"$shims/dpkg-query" <<'SHIM'
#!/usr/bin/env bash
case " $FAKE_MISSING " in *" ${!#} "*) exit 1 ;; esac
printf 'install ok installed'
SHIM
printf '#!/bin/sh\necho "$FAKE_UID"\n' >"$shims/id"
printf '#!/bin/sh\necho "sudo $*" >>"%s"\nexec "$@"\n' "$log" >"$shims/sudo"
printf '#!/bin/sh\necho "apt-get $* ${DEBIAN_FRONTEND:-}" >>"%s"\n' "$log" >"$shims/apt-get"
chmod +x "$shims"/*

# expect UID MISSING PURPOSES EXPECTED_LOG
expect() {
  : >"$log"
  FAKE_UID=$1 FAKE_MISSING=$2 PATH="$shims:$PATH" DEBIAN_FRONTEND= bash "$script" $3 >/dev/null
  if [ "$(cat "$log")" != "$4" ]; then
    printf 'uid %s, missing "%s", purposes %s: expected\n%s\ngot\n%s\n' "$1" "$2" "$3" "$4" \
      "$(cat "$log")" >&2
    exit 1
  fi
}
expect 0 "" "demo tests" ""
expect 0 "pkg-config libgtest-dev" "tests" "apt-get update 
apt-get install -y libgtest-dev pkg-config noninteractive"
expect 1000 "cmake" "demo bench" "sudo apt-get update
apt-get update 
sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y cmake
apt-get install -y cmake noninteractive"
echo "install-packages: ok"
