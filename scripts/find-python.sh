#!/usr/bin/env bash
# Prints the path of a CPython 3.13 interpreter that can build extensions and
# make virtual environments, installing what is missing with apt-get (as root,
# on Debian): a pyenv 3.13 selected by .python-version first, else the
# system's python3.13.
set -euo pipefail
cd "$(dirname "$0")/.."

usable() {
  "$1" - <<'PY' >/dev/null 2>&1
import os, sys, sysconfig, ensurepip, venv
assert sys.version_info[:2] == (3, 13)
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
PY
}

if command -v pyenv >/dev/null 2>&1; then
  candidate=$(pyenv which python3.13 2>/dev/null || true)
  if [ -n "$candidate" ] && usable "$candidate"; then echo "$candidate"; exit 0; fi
  for candidate in "$(pyenv root)"/versions/3.13*/bin/python3.13; do
    if [ -x "$candidate" ] && usable "$candidate"; then echo "$candidate"; exit 0; fi
  done
fi

for candidate in /usr/bin/python3.13 /usr/local/bin/python3.13; do
  if [ -x "$candidate" ] && usable "$candidate"; then echo "$candidate"; exit 0; fi
done

if command -v apt-get >/dev/null 2>&1; then
  echo "installing python3.13, python3.13-dev and python3.13-venv with apt-get" >&2
  apt-get update -qq >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3.13 python3.13-dev python3.13-venv >&2
  if usable /usr/bin/python3.13; then echo /usr/bin/python3.13; exit 0; fi
fi

echo "no usable Python 3.13 found (need headers and venv)" >&2
exit 1
