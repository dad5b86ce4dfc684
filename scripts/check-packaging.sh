#!/usr/bin/env bash
# Checks of what the package build makes beside the ZIPs (scripts/check-package.sh checks those):
#   - configuring without the stand-in host works;
#   - with a throwaway code-signing certificate made here, the package workflow signs the shipped
#     module and the MSI: both verify, a one-byte change makes both fail, the signed module still
#     passes the artifact checks and stays under 256 KiB, and the packages still check out;
#   - the signed MSI (tests/installer/check_installer.py): its Registry table is the parser's plan for
#     DllRegisterServer row for row, its File row carries the module's VERSIONINFO version and
#     language and its cabinet the signed module, a host product that includes the fragment builds,
#     and 64-bit msiexec installs and removes it in a new 64-bit Wine prefix (32-bit registry view
#     only, Program Files (x86), nothing left after /x);
#   - the workflow without a certificate again: nothing signed, the same component GUID.
# No 32-bit code runs: the x86 package is installed by the system's 64-bit msiexec.
# Usage: scripts/check-packaging.sh      (the package workflow's folder is build/win32)
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
build=build/win32
work="$build/packaging-check"
tool="$build/installer/tools/orvane-wxs"
scripts=(addin/appid.regscript addin/addin_class.regscript installer/typelib.regscript)
started=$(date +%s)
clock=$started
failures=0
lap() { echo "check-packaging: $1 in $(( $(date +%s) - clock )) s"; clock=$(date +%s); }
pass() { printf 'ok    %s\n' "$*"; }
fail() { printf 'FAIL  %s\n' "$*"; failures=$((failures + 1)); }
run_check() { "$@" || failures=$((failures + 1)); }

rm -rf "$work" && mkdir -p "$work"

echo "== configuring without the stand-in host"
if cmake --preset win32 -B "$work/no-host" -DORVANE_BUILD_HOST=OFF >"$work/no-host.log" 2>&1; then
  pass "cmake --preset win32 -DORVANE_BUILD_HOST=OFF configures"
else
  fail "cmake --preset win32 -DORVANE_BUILD_HOST=OFF does not configure: $(tail -5 "$work/no-host.log")"
fi
rm -rf "$work/no-host"
lap "configure without the host"

echo "== the package workflow with a throwaway code-signing certificate"
signing="$work/signing"
mkdir -p "$signing"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Orvane throwaway test signer" \
  -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
  -keyout "$signing/key.pem" -out "$signing/cert.pem" 2>/dev/null
ORVANE_SIGN_CERT="$root/$signing/cert.pem" ORVANE_SIGN_KEY="$root/$signing/key.pem" \
  cmake --workflow --preset package >"$work/signed-workflow.log" 2>&1 \
  || { cat "$work/signed-workflow.log"; fail "the signed package workflow failed"; exit 1; }
lap "signed package workflow"

dll="$build/shipped/Orvane.dll"
msi="$build/Orvane.msi"
verifies() { osslsigncode verify -CAfile "$signing/cert.pem" -in "$1" >"$work/verify.log" 2>&1; }
# Flips one byte inside what the signature covers: for the module, one of its code; for the MSI, one
# of the module it carries, found by its bytes in the uncompressed cabinet.
tampered() {  # FILE OUT KIND
  python3 - "$1" "$2" "$3" "$dll" <<'PY'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
if sys.argv[3] == "module":
    at = 0x1000
else:
    # The compound file keeps a stream in sectors of its own choosing: a run of 32 varied bytes of the
    # module found once, and whole, in it is the module's.
    module = open(sys.argv[4], "rb").read()
    runs = (bytes(module[o:o + 32]) for o in range(0x1000, len(module) - 32, 0x100))
    run = next((r for r in runs if len(set(r)) > 20 and data.count(r) == 1), None)
    assert run is not None, "the MSI does not carry the module's bytes"
    at = data.find(run) + 16
data[at] ^= 0x01
open(sys.argv[2], "wb").write(data)
PY
}
for kind in module MSI; do
  file="$dll"; [ "$kind" = MSI ] && file="$msi"
  if verifies "$file"; then pass "the signed $kind verifies"; else fail "the signed $kind does not verify: $(tail -3 "$work/verify.log")"; fi
  tampered "$file" "$work/tampered-$kind" "$kind"
  if verifies "$work/tampered-$kind"; then
    fail "the $kind with one byte changed still verifies"
  else
    pass "the $kind with one byte changed fails verification"
  fi
done
if report="$(scripts/check-artifact.sh "$dll" "$build/VemoLuaRuntime.def" 2>&1)"; then
  pass "the signed module passes the artifact checks"
else
  echo "$report"; fail "the signed module fails the artifact checks"
fi
dll_bytes=$(stat -c %s "$dll")
msi_bytes=$(stat -c %s "$msi")
if [ "$dll_bytes" -lt $((256 * 1024)) ]; then
  pass "the signed module takes $dll_bytes bytes, under 256 KiB; the signed MSI $msi_bytes bytes"
else
  fail "the signed module takes $dll_bytes bytes, over 256 KiB"
fi
run_check scripts/check-package.sh "$build"
lap "signatures"

echo "== the signed MSI"
run_check python3 tests/installer/check_installer.py tables "$msi" "$tool" "${scripts[@]}"
run_check python3 tests/installer/check_installer.py file "$msi" "$dll"
# The host's product takes Orvane.dll from the folder wixl runs in, as the fragment says.
if (cd "$build/shipped" && wixl -a x86 -o "$root/$work/host.msi" "$root/tests/installer/host_product.wxs" \
      "$root/$build/orvane-fragment.wxs") >"$work/host.log" 2>&1; then
  pass "a host product that includes orvane-fragment.wxs builds"
  run_check python3 tests/installer/check_installer.py host "$msi" "$work/host.msi"
else
  fail "a host product that includes orvane-fragment.wxs does not build: $(tail -5 "$work/host.log")"
fi
lap "tables, file and host product"
# The x86_64 suite's folder: its prefixes come from the same system wine64 template, which this makes
# once for both.
mkdir -p build/win64
prefix="$root/build/win64/wineprefix-msi-check"
run_check python3 tests/installer/check_installer.py install "$msi" "$dll" "$tool" "$root/scripts/wine-run" "$prefix" \
  "${scripts[@]}"
rm -rf "$prefix" "$prefix.lock"
lap "install and removal under wine64"

echo "== the package workflow without a certificate"
component() { msiinfo export "$1" Component | awk -F'\t' '$1 == "Orvane" { print $2 }'; }
signed_component="$(component "$msi")"
cmake --workflow --preset package >"$work/unsigned-workflow.log" 2>&1 \
  || { cat "$work/unsigned-workflow.log"; fail "the package workflow failed"; exit 1; }
# A signature is the module's certificate table (the security directory) and the MSI's stream.
if [ "$(x86_64-w64-mingw32-objdump -p "$dll" | awk '/Security Directory/ { print $3 $4 }')" = 0000000000000000 ]; then
  pass "the module is not signed"
else
  fail "the module is still signed"
fi
if msiinfo streams "$msi" | grep -qx DigitalSignature; then fail "the MSI is still signed"; else pass "the MSI is not signed"; fi
[ "$(component "$msi")" = "$signed_component" ] && pass "the component GUID is $signed_component in both builds" \
  || fail "the component GUID changed between two builds: $signed_component, then $(component "$msi")"
lap "unsigned package workflow"

echo "check-packaging: $([ $failures -eq 0 ] && echo "all checks passed" || echo "$failures check(s) failed") in $(( $(date +%s) - started )) s"
[ $failures -eq 0 ]
