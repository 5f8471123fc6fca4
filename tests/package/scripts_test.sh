#!/usr/bin/env bash
# The user-facing scripts: scripts/install-host (each browser's folder, absent browsers
# skipped, --uninstall twice, malformed ids) and scripts/bootstrap --fips-source refusing
# tarballs that are not an OpenSSL 3 source tree. Each case runs in a scratch HOME.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
install_host="$top/scripts/install-host"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
passed=0 failed=0
launcher="$scratch/launcher"
printf '#!/bin/sh\n' >"$launcher" && chmod +x "$launcher"
CHROMIUM_ID=bbidhjgjegimbmeniibhecfggohgpkdc
HOST=com.tavrinhost.host.json

fails() { ! "$@"; }
check() { # description, then a command that succeeds when the case holds
    local what=$1; shift
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $what"; fi
}
fresh_home() { home="$scratch/home$((++homes))"; mkdir -p "$home"; }
homes=0
run() { HOME=$home XDG_CONFIG_HOME=${xdg:-} "$install_host" --launcher "$launcher" "$@" >"$scratch/out" 2>&1; }
has() { grep -qF -- "$1" "$scratch/out" || { echo "  output lacks '$1':"; sed 's/^/  | /' "$scratch/out"; false; }; }
manifests() { (cd "$home" && find . -name "$HOST" | sort | tr '\n' ' '); }

# --- each browser: its configuration folder, the manifest folder, the member ------------
# name | configuration folder | manifest folder (both below HOME) | list member
browsers=(
    "chrome|.config/google-chrome|.config/google-chrome/NativeMessagingHosts|allowed_origins"
    "chromium|.config/chromium|.config/chromium/NativeMessagingHosts|allowed_origins"
    "edge|.config/microsoft-edge|.config/microsoft-edge/NativeMessagingHosts|allowed_origins"
    "brave|.config/BraveSoftware/Brave-Browser|.config/BraveSoftware/Brave-Browser/NativeMessagingHosts|allowed_origins"
    "vivaldi|.config/vivaldi|.config/vivaldi/NativeMessagingHosts|allowed_origins"
    "firefox|.mozilla/firefox|.mozilla/native-messaging-hosts|allowed_extensions"
)
for row in "${browsers[@]}"; do
    IFS='|' read -r name conf dir member <<<"$row"
    ids=(--extension-id "$CHROMIUM_ID" --firefox-id tavrinhost-sample@example.org)
    # Found by its configuration folder; every other browser is skipped.
    fresh_home; mkdir -p "$home/$conf"
    check "$name: registered where its folder exists" run "${ids[@]}"
    check "$name: only its manifest" [ "$(manifests)" = "./$dir/$HOST " ]
    check "$name: says what it wrote" has "wrote $home/$dir/$HOST"
    check "$name: the others are skipped" [ "$(grep -c 'skipped (no ' "$scratch/out")" -eq 5 ]
    check "$name: manifest names the launcher and the id" \
        grep -q "\"path\": \"$launcher\"" "$home/$dir/$HOST"
    check "$name: list member" grep -q "\"$member\": \[\"" "$home/$dir/$HOST"
    # --browser registers it without its folder; --uninstall twice removes what it created.
    fresh_home
    check "$name: --browser without its folder" run "${ids[@]}" --browser "$name"
    check "$name: forced manifest" [ "$(manifests)" = "./$dir/$HOST " ]
    check "$name: first --uninstall" run --uninstall --browser "$name"
    check "$name: --uninstall says what it removed" has "removed $home/$dir/$HOST"
    check "$name: created folders are gone" [ -z "$(ls -A "$home")" ]
    check "$name: second --uninstall" run --uninstall --browser "$name"
    check "$name: nothing left to remove" has "nothing to remove"
done

# --- folders it did not create stay, with whatever else they hold ---------------------
fresh_home; mkdir -p "$home/.config/chromium/NativeMessagingHosts"; : >"$home/.config/chromium/NativeMessagingHosts/other.json"
run --extension-id "$CHROMIUM_ID" && run --uninstall
check "uninstall keeps a folder it found" [ -f "$home/.config/chromium/NativeMessagingHosts/other.json" ]
check "uninstall removed only its manifest" [ "$(manifests)" = "" ]

# --- XDG_CONFIG_HOME, profile folders, no browser at all ------------------------------
fresh_home; xdg="$home/xdg"; mkdir -p "$xdg/chromium"
check "XDG_CONFIG_HOME is where Chromium-family folders are" run --extension-id "$CHROMIUM_ID"
check "manifest below XDG_CONFIG_HOME" [ -f "$xdg/chromium/NativeMessagingHosts/$HOST" ]
xdg=""
fresh_home
check "a profile folder with --user-data-dir" run --extension-id "$CHROMIUM_ID" --user-data-dir "$home/profile"
check "manifest in the profile folder" [ "$(manifests)" = "./profile/NativeMessagingHosts/$HOST " ]
fresh_home
check "no browser folder: refused" fails run --extension-id "$CHROMIUM_ID"
check "no browser folder: says so" has "no browser configuration folder found"
check "unknown browser refused" fails run --extension-id "$CHROMIUM_ID" --browser netscape
check "no ids refused" fails run --browser chromium
check "--help is clean" run --help
check "--help shows the usage" has "--uninstall"

# --- malformed ids: refused, nothing written ------------------------------------------
for bad in "--extension-id not-an-id" "--extension-id BBIDHJGJEGIMBMENIIBHECFGGOHGPKDC" \
           "--extension-id bbidhjgjegimbmeniibhecfggohgpkdq" "--extension-id bbidhjgjegimbmeniibhecfggohgpkd" \
           "--extension-id bbidhjgjegimbmeniibhecfggohgpkdca" "--firefox-id no-at-sign" \
           "--firefox-id {1234}" "--firefox-id a@b/c" "--extension-id"; do
    fresh_home; mkdir -p "$home/.config/chromium" "$home/.mozilla/firefox"
    # shellcheck disable=SC2086
    check "malformed: $bad refused" fails run $bad
    check "malformed: $bad says why" grep -qE "malformed|needs a value" "$scratch/out"
    check "malformed: $bad wrote nothing" [ "$(manifests)" = "" ]
done

# --- bootstrap --fips-source refuses what is not an OpenSSL 3 source tree --------------
fips_before=$(cat "$top/.cache/fips/fips.so" "$top/.cache/fips/SOURCE" 2>/dev/null | sha256sum)
src="$scratch/src"
mkdir -p "$src/openssl-1.1.1w/providers" "$src/other-3.0/providers/fips" "$src/second"
: >"$src/openssl-1.1.1w/Configure"
printf 'MAJOR=3\nMINOR=0\n' >"$src/other-3.0/VERSION.dat"
echo "not a tarball" >"$scratch/plain.tar.gz"
tar -czf "$scratch/two.tar.gz" -C "$src" openssl-1.1.1w second
tar -czf "$scratch/old.tar.gz" -C "$src" openssl-1.1.1w
tar -czf "$scratch/noconf.tar.gz" -C "$src" other-3.0
for row in "plain.tar.gz|not a tar archive" "two.tar.gz|does not unpack to one source folder" \
           "old.tar.gz|not an OpenSSL 3 source tree" "noconf.tar.gz|not an OpenSSL 3 source tree" \
           "missing.tar.gz|no tarball at"; do
    IFS='|' read -r tarball reason <<<"$row"
    "$top/scripts/bootstrap" --fips-source "$scratch/$tarball" >"$scratch/out" 2>&1
    check "bootstrap refuses $tarball" [ $? -ne 0 ]
    check "bootstrap says why for $tarball" has "$reason"
done
check "a refused tarball leaves the provider as it was" \
    [ "$(cat "$top/.cache/fips/fips.so" "$top/.cache/fips/SOURCE" 2>/dev/null | sha256sum)" = "$fips_before" ]

echo "scripts: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
