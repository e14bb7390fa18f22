#!/usr/bin/env bash
# Builds the .deb from a finished build tree, checks its control data and
# contents, unpacks it into a scratch root and runs the installed programs.
#   scripts/package_test.sh <build dir>
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "package test: $*" >&2; exit 1; }
trap 'echo "package test: line $LINENO failed: $BASH_COMMAND" >&2' ERR

(cd "$build" && timeout 300 cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
debs=("$work"/out/jyx_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one jyx_*.deb, found: ${debs[*]}"
deb=${debs[0]}

info=$(dpkg-deb -I "$deb")
echo "$info"
grep -q '^ Package: jyx$' <<<"$info" || fail "package name"
grep -q '^ Architecture: ' <<<"$info" || fail "architecture"
depends=$(grep '^ Depends:' <<<"$info") || fail "no Depends line (shlibdeps)"

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/jyx ./usr/bin/jyx-sim ./usr/share/man/man1/jyx.1 \
         ./usr/share/man/man1/jyx-sim.1 \
         ./usr/share/bash-completion/completions/jyx \
         ./usr/share/bash-completion/completions/jyx-sim \
         ./usr/share/doc/jyx/examples/config.yaml ./usr/share/doc/jyx/examples/rails.yaml \
         ./usr/lib/python3/dist-packages/jyx_labgrid/driver.py \
         ./usr/share/doc/jyx/labgrid/example-env.yaml; do
  grep -qx "$f" <<<"$contents" || fail "missing $f"
done
# Nothing of the build or tests leaks into the package.
if grep -E 'gtest|jyx_tests|jyx_e2e_tests|\.a$|include/' <<<"$contents"; then
  fail "test or development files in the package"
fi

root=$work/root
dpkg -x "$deb" "$root"

# Every shared library the installed programs load comes from a package
# that the .deb depends on.
ld_cache=$(ldconfig -p)
depends_names=$(sed 's/^ *Depends: *//' <<<"$depends" | tr ',|' '\n\n' | awk '{print $1}')
for program in jyx jyx-sim; do
  for lib in $(readelf -d "$root/usr/bin/$program" | awk '/NEEDED/ {gsub(/[][]/, "", $5); print $5}'); do
    # From the captured cache: awk leaving early must not kill a writer
    # (pipefail would end the script without a word).
    path=$(awk -v l="$lib" '$1 == l && /x86-64|x32|AArch64|64bit/ {print $NF; exit}' <<<"$ld_cache")
    [ -n "$path" ] || path=$(awk -v l="$lib" '$1 == l {print $NF; exit}' <<<"$ld_cache")
    [ -n "$path" ] || fail "$program needs $lib, which is not installed here"
    owner=$(dpkg -S "$(realpath "$path")" 2>/dev/null || dpkg -S "$path" 2>/dev/null) ||
      fail "no package owns $path"
    pkg=${owner%%:*}
    grep -qxF "$pkg" <<<"$depends_names" ||
      fail "$program needs $lib from $pkg, which Depends lacks: $depends"
  done
done
version=$(timeout 10 "$root/usr/bin/jyx" -v) || fail "installed jyx -v failed"
echo "installed jyx -v: $version"
grep -qE '^v\.[0-9]{4}\.[0-9]{2}\.[0-9]{2}$' <<<"$version" || fail "unexpected version '$version'"
deb_version=$(dpkg-deb -f "$deb" Version)
[ "v.$deb_version" = "$version" ] || fail "package version $deb_version, program $version"
sim_help=$(timeout 10 "$root/usr/bin/jyx-sim" --help) || fail "installed jyx-sim --help failed"
grep -q -- '--bind' <<<"$sim_help" || fail "installed jyx-sim --help lacks --bind"

# The pages format without warnings.
for page in jyx.1 jyx-sim.1; do
  warn=$(groff -man -Tutf8 -wall "$root/usr/share/man/man1/$page" 2>&1 >/dev/null)
  [ -z "$warn" ] || fail "$page: $warn"
done
# The installed completion registers both programs.
out=$(bash -c 'source "$1"; complete -p jyx; complete -p jyx-sim' _ \
  "$root/usr/share/bash-completion/completions/jyx") || fail "completion does not load"
grep -q '_jyx jyx$' <<<"$out" || fail "completion for jyx: $out"
# The installed labgrid package registers its classes with Debian's labgrid.
if /usr/bin/python3 -c 'import labgrid' 2>/dev/null; then
  PYTHONPATH="$root/usr/lib/python3/dist-packages" PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -c '
import jyx_labgrid
from labgrid.factory import target_factory
assert "JyxFlashDriver" in target_factory.drivers
assert "NetworkJyxController" in target_factory.resources' || fail "jyx_labgrid does not load"
fi
echo "package test: OK ($(basename "$deb"))"
