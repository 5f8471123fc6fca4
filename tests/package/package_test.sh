#!/usr/bin/env bash
# The Debian package on this machine: builds it (scripts/package-deb), installs it with apt,
# and runs the installed host: the fips self-check, and the whole-process tests of
# build/default pointed at the commands in /usr/bin (native messaging, the HTTP server on a
# free port, both clients), and the sample extension in headless Chromium
# through the system-wide manifest alone. Checks that nothing installed names this checkout,
# that a reinstall keeps the host working and that a failing self-test stops the
# configuration; then purges the package and checks that nothing of it remains. The purge
# also runs when a step fails, so the machine is left as it was found.
#
# Needs root (or sudo), build/default built and the browser tests' modules
# (scripts/bootstrap --browser). Not for a machine where tavrinhost is installed already.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top" || exit 1
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
export DEBIAN_FRONTEND=noninteractive
lib=/usr/lib/tavrinhost
passed=0 failed=0

fails() { ! "$@"; }
check() { # description, then a command that succeeds when the case holds
    local what=$1; shift
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $what"; return 1; fi
}
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
seconds_since() { awk -v s="$1" -v e="$(now_ms)" 'BEGIN { printf "%.1f", (e - s) / 1000 }'; }
installed() { dpkg-query -W -f='${db:Status-Status}' tavrinhost 2>/dev/null | grep -qv '^not-installed$'; }

if installed; then
    echo "package test: tavrinhost is installed on this machine; it installs and purges its own build (apt-get purge tavrinhost first)" >&2
    exit 1
fi
[ -x build/default/bin/test_startup ] || { echo "package test: build build/default first" >&2; exit 1; }

scratch=$(mktemp -d)
existing() { while read -r p; do [ ! -e "$p" ] || stat -c "%a %u %g %n" "$p"; done <"$scratch/paths" | sort; }
cleanup() {
    if installed; then
        echo "package test: purging the package after a failure"
        as_root apt-get purge -y -qq tavrinhost >/dev/null 2>&1
    fi
    # dpkg removes an empty folder that no other package lists, also one that was there
    # before (such as /etc/opt): put those back as they were.
    if [ -f "$scratch/before" ]; then
        while read -r mode uid gid p; do
            [ -e "$p" ] || { as_root install -d -m "$mode" -o "$uid" -g "$gid" "$p"; echo "package test: put back the folder $p"; }
        done <"$scratch/before"
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT

# --- build -----------------------------------------------------------------------------
start=$(now_ms)
scripts/package-deb >"$scratch/build.log" 2>&1 || { cat "$scratch/build.log"; exit 1; }
echo "package build: $(seconds_since "$start") s"
deb=$(ls "$top"/build/deb/tavrinhost_*_amd64.deb)
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes, installed size $(dpkg-deb -f "$deb" Installed-Size) KiB"
echo "depends: $(dpkg-deb -f "$deb" Depends)"
# Every path of the package, and the configuration postinst writes; which of them exist now.
dpkg-deb -c "$deb" | awk '{print $6}' | sed -e 's|^\.||' -e 's|/$||' | grep -v '^$' >"$scratch/paths"
echo "$lib/fipsmodule.cnf" >>"$scratch/paths"
existing >"$scratch/before"

# --- install ---------------------------------------------------------------------------
start=$(now_ms)
as_root apt-get install -y -qq --no-install-recommends "$deb" >"$scratch/install.log" 2>&1
check "apt-get installs the package" [ $? -eq 0 ] || cat "$scratch/install.log"
echo "install: $(seconds_since "$start") s"
check "dpkg has it installed" [ "$(dpkg-query -W -f='${db:Status-Abbrev}' tavrinhost)" = "ii " ]
check "postinst wrote the provider configuration" grep -q '^module-mac' "$lib/fipsmodule.cnf"
check "the provider is known, not activated by configuration" fails grep -q 'activate' "$lib/fipsmodule.cnf"
check "tavrinhost is on the PATH" [ "$(command -v tavrinhost)" = /usr/bin/tavrinhost ]
check "the installed self-check switches FIPS mode on" [ "$(tavrinhost fips 2>&1)" = "FIPS mode enabled OK" ]
mapfile -t files < <(dpkg -L tavrinhost | while read -r p; do [ -f "$p" ] && echo "$p"; done)
check "nothing installed names the checkout" fails grep -lF "$top" "${files[@]}" "$lib/fipsmodule.cnf"
for manifest in /etc/opt/chrome /etc/chromium /etc/opt/edge /usr/lib/mozilla; do
    manifest="$manifest/native-messaging-hosts/com.tavrinhost.host.json"
    check "$manifest starts the installed launcher" grep -qx "  \"path\": \"$lib/tavrinhost\"," "$manifest"
done
check "the Chromium manifest allows the sample" grep -q 'chrome-extension://bbidhjgjegimbmeniibhecfggohgpkdc/' /etc/chromium/native-messaging-hosts/com.tavrinhost.host.json
check "the Firefox manifest allows the sample add-on" grep -q '"allowed_extensions": \["tavrinhost-sample@example.org"\]' /usr/lib/mozilla/native-messaging-hosts/com.tavrinhost.host.json
check "the launcher runs the installed program with the installed provider" \
    grep -qx "exec '$lib/bin/tavrinhost' \"\$@\"" "$lib/tavrinhost"
check "the user unit serves on loopback" grep -qx 'ExecStart=/usr/bin/tavrinhost -s server -p 7777 -b 127.0.0.1' /usr/lib/systemd/user/tavrinhost.service

# The packaged install-host registers the package's ids with the installed launcher.
home="$scratch/home"; mkdir -p "$home"
register() { env HOME="$home" XDG_CONFIG_HOME= tavrinhost-install-host "$@" >"$scratch/register.log"; }
check "tavrinhost-install-host registers Brave" register --browser brave
brave="$home/.config/BraveSoftware/Brave-Browser/NativeMessagingHosts/com.tavrinhost.host.json"
check "... with the installed launcher" grep -q "\"path\": \"$lib/tavrinhost\"" "$brave"
check "... for the package's ids by default" grep -q 'bbidhjgjegimbmeniibhecfggohgpkdc' "$brave"
check "... and removes it again" register --uninstall
check "... with the folders it made" [ -z "$(ls -A "$home")" ]

# --- the installed host, through the existing whole-process tests ------------------------
installed_tests='^(HostProcessTest\.EncryptThenDecryptEveryIdAndRawFlag|SecretsAudit\..*|ServerTest\..*|Clients/ClientTest\..*)$'
start=$(now_ms)
TAVRIN_PROGRAM_DIR=/usr/bin ctest --preset default -R "$installed_tests" >"$scratch/ctest.log" 2>&1
check "whole-process tests against /usr/bin" [ $? -eq 0 ] || cat "$scratch/ctest.log"
grep -E 'tests passed|tests failed' "$scratch/ctest.log"
echo "installed-host tests: $(seconds_since "$start") s"

start=$(now_ms)
(cd tests/browser && TAVRIN_SYSTEM_HOST=1 node --test extension.test.mjs) >"$scratch/browser.log" 2>&1
check "the sample extension in Chromium and Firefox through the system-wide manifests" [ $? -eq 0 ] || cat "$scratch/browser.log"
grep -E '^# (pass|fail|skipped)' "$scratch/browser.log" | tr '\n' ' '; echo
echo "browser test: $(seconds_since "$start") s"

# --- reinstall (the upgrade path: prerm, new files, postinst) -----------------------------
as_root dpkg -i "$deb" >"$scratch/reinstall.log" 2>&1
check "the package installs over itself" [ $? -eq 0 ] || cat "$scratch/reinstall.log"
check "the provider configuration is there after it" grep -q '^module-mac' "$lib/fipsmodule.cnf"
check "the host answers after it" [ "$(tavrinhost-nm --status)" = '{"status":"OK","version":"1.0.2"}' ]

# --- a provider that fails its self-test stops the configuration ---------------------------
as_root truncate -s 4096 "$lib/fips.so"
as_root /var/lib/dpkg/info/tavrinhost.postinst configure >"$scratch/postinst.log" 2>&1
check "postinst fails when fipsinstall fails" [ $? -ne 0 ]
check "... and says so" grep -q 'the FIPS provider failed its self-test' "$scratch/postinst.log"

# --- purge -----------------------------------------------------------------------------
start=$(now_ms)
as_root apt-get purge -y -qq tavrinhost >"$scratch/purge.log" 2>&1
check "apt-get purges the package" [ $? -eq 0 ] || cat "$scratch/purge.log"
echo "purge: $(seconds_since "$start") s"
check "dpkg knows it no more" fails installed
existing >"$scratch/after"
check "purge leaves nothing that was not there before" [ -z "$(comm -13 "$scratch/before" "$scratch/after")" ]
check "the configuration postinst wrote is gone" [ ! -e "$lib/fipsmodule.cnf" ]
check "no maintainer scripts or lists left" [ -z "$(ls /var/lib/dpkg/info/tavrinhost.* 2>/dev/null)" ]

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
