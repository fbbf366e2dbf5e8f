#!/usr/bin/env bash
# check-wheel.sh PYTHON DIST VERSION AUDITWHEEL
#
# Checks the binary wheel of nuv VERSION in DIST made for the interpreter
# PYTHON as a user would meet it: auditwheel finds it self-contained; it
# installs into a fresh environment on a host where no compiler and no
# development headers can be found; its extension loads only the wheel's
# own libraries and those every manylinux system has; nuv --version
# answers; trust comes from the host, never from a path compiled into the
# bundled libcurl; and the main job runs against the stand-ins.
set -euo pipefail
python=$1 dist=$2 version=$3 auditwheel=$4
cd "$(dirname "$0")/.."

fail() {
  echo "wheel-check: $*" >&2
  exit 1
}

tag=$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
shopt -s nullglob
wheels=("$dist"/nuv-"$version"-"$tag"-"$tag"-manylinux_*.whl)
[ ${#wheels[@]} -eq 1 ] || fail "expected one manylinux wheel for $tag in $dist, found ${#wheels[@]} (run make dist)"
wheel=$(realpath "${wheels[0]}")
echo "== $(basename "$wheel"): $(du -k "$wheel" | cut -f1) KiB"

# auditwheel: a manylinux tag, and no library left for the host to provide.
shown=$("$auditwheel" show "$wheel" 2>&1 | tr '\n' ' ' | tr -s ' ')
echo "$shown" | grep -q 'consistent with the following platform tag: "manylinux_' ||
  fail "auditwheel show: $shown"
if echo "$shown" | grep -q 'external shared libraries are required'; then
  fail "auditwheel show: libraries not bundled: $shown"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A host without a compiler or headers: every compiler a build could look
# for refuses, ahead of everything else on PATH, and no include path is set.
mkdir "$work/no-compiler"
for tool in cc c++ cpp gcc g++ clang clang++ ld x86_64-linux-gnu-gcc x86_64-linux-gnu-g++ \
  gcc-12 g++-12 clang-14 clang++-14; do
  printf '#!/bin/sh\necho "%s: no compiler on this host" >&2\nexit 127\n' "$tool" >"$work/no-compiler/$tool"
  chmod +x "$work/no-compiler/$tool"
done
host=(env -u CPATH -u C_INCLUDE_PATH -u CPLUS_INCLUDE_PATH -u LIBRARY_PATH -u LD_LIBRARY_PATH
  -u PKG_CONFIG_PATH -u PYTHONPATH CC=false CXX=false PATH="$work/no-compiler:$PATH" PYTHONNOUSERSITE=1)
if "${host[@]}" sh -c 'command -v gcc' | grep -qv no-compiler; then fail "a compiler is still on PATH"; fi

"$python" -m venv "$work/venv"
venv=$work/venv
pip=("${host[@]}" "$venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary :all:)
# The wheel itself, then the testing extra's dependencies (the stand-ins'),
# as wheels only: nothing is built.
start=$EPOCHREALTIME
(cd "$work" && "${pip[@]}" --no-deps "$wheel")
echo "the wheel installed in $(awk "BEGIN { printf \"%.1f\", $EPOCHREALTIME - $start }") s"
(cd "$work" && "${pip[@]}" "$wheel[testing]" 2> >(grep -v "^WARNING: Location" >&2))

# ldd: the extension resolves to nuv.libs/ and the libraries every
# manylinux policy counts on the host to have (its lib_whitelist, less the
# graphical ones nuv never uses).
extension=$(cd "$work" && "$venv/bin/python" -c 'import importlib.util; print(importlib.util.find_spec("_nuv").origin)')
libs=$(dirname "$extension")/nuv.libs
allowed='^(linux-vdso\.so\.1|ld-linux-x86-64\.so\.2|libc\.so\.6|libm\.so\.6|libpthread\.so\.0|libdl\.so\.2|librt\.so\.1|libresolv\.so\.2|libutil\.so\.1|libnsl\.so\.1|libgcc_s\.so\.1|libstdc\+\+\.so\.6|libatomic\.so\.1|libmvec\.so\.1|libanl\.so\.1|libz\.so\.1|libexpat\.so\.1)$'
bundled=0
while read -r name arrow path _; do
  [ "$arrow" = "=>" ] || { path=$name; name=$(basename "$name"); }
  [ "$path" != "not" ] || fail "ldd: $name not found"
  case "$path" in
    "$libs"/*) bundled=$((bundled + 1)) ;;
    *) echo "$name" | grep -Eq "$allowed" || fail "ldd: $name resolves outside the wheel: $path" ;;
  esac
done < <(ldd "$extension")
[ "$bundled" -gt 0 ] || fail "ldd: nothing resolves to $libs"
echo "ldd: $bundled libraries from nuv.libs/, the rest manylinux system libraries"

cd "$work"
line=$("${host[@]}" "$venv/bin/nuv" --version)
echo "$line"
case "$line" in "nuv $version (libcurl/"*" OpenSSL/"*" json-c/"*")") ;; *) fail "nuv --version: $line" ;; esac

# Trust: no variable and no store at the usual places is a refusal, not a
# fall-back to a path compiled into the bundled libcurl; the host's store
# is found and used when it is there.
"${host[@]}" "$venv/bin/python" - <<'PY'
import os

import _nuv
from nuv import Cloudflare
from nuv.testing import StandIn

for name in ("CURL_CA_BUNDLE", "SSL_CERT_FILE", "SSL_CERT_DIR"):
    os.environ.pop(name, None)
_nuv.set_trace("off")
with StandIn.start() as standin:
    cf = Cloudflare(api_token=standin.token, api_url=standin.api_url)
    _nuv._set_system_trust_places([], [])
    refused = cf.get("/zones")
    assert refused[0] == 77 and "no trust store" in refused.detail, refused
    _nuv._set_system_trust_places(None, None)
    untrusted = cf.get("/zones")  # the host's store does not trust the stand-in's CA
    assert untrusted[0] == 60, untrusted
    os.environ["CURL_CA_BUNDLE"] = standin.ca_file
    assert cf.get("/zones")[0] == 200
print("trust: the host's store, found at run time")
PY

"${host[@]}" "$venv/bin/python" -m nuv.demo >"$work/demo.log" 2>&1 || {
  cat "$work/demo.log"
  fail "python -m nuv.demo failed"
}
tail -n 3 "$work/demo.log"
echo "== $(basename "$wheel"): ok"
