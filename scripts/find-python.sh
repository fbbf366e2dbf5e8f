#!/usr/bin/env bash
# Prints the path of a CPython interpreter of the version given (3.12 or
# 3.13; default 3.13) that can build extensions and make virtual
# environments, installing what is missing (as root, on Debian): a pyenv
# build of that version first, else the system's, else Debian's packages,
# else a pyenv build made now.
set -euo pipefail
cd "$(dirname "$0")/.."
version=${1:-3.13}
case "$version" in
  3.12 | 3.13) ;;
  *) echo "find-python.sh: unsupported Python $version (3.12 or 3.13)" >&2; exit 2 ;;
esac

usable() {
  "$1" - "$version" <<'PY' >/dev/null 2>&1
import os, sys, sysconfig, ensurepip, venv
assert "%d.%d" % sys.version_info[:2] == sys.argv[1]
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
PY
}

find_existing() {
  local candidate
  if command -v pyenv >/dev/null 2>&1; then
    candidate=$(pyenv which "python$version" 2>/dev/null || true)
    if [ -n "$candidate" ] && usable "$candidate"; then echo "$candidate"; return 0; fi
    for candidate in "$(pyenv root)"/versions/"$version".*/bin/python"$version"; do
      if [ -x "$candidate" ] && usable "$candidate"; then echo "$candidate"; return 0; fi
    done
  fi
  for candidate in /usr/bin/python"$version" /usr/local/bin/python"$version"; do
    if [ -x "$candidate" ] && usable "$candidate"; then echo "$candidate"; return 0; fi
  done
  return 1
}

find_existing && exit 0

if command -v apt-get >/dev/null 2>&1; then
  packages="python$version python$version-dev python$version-venv"
  if apt-cache show "python$version-dev" >/dev/null 2>&1 ||
    { apt-get update -qq >&2 && apt-cache show "python$version-dev" >/dev/null 2>&1; }; then
    echo "installing $packages with apt-get" >&2
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $packages >&2
    find_existing && exit 0
  fi
fi

if command -v pyenv >/dev/null 2>&1; then
  echo "building Python $version with pyenv" >&2
  pyenv install --skip-existing "$version" >&2
  find_existing && exit 0
fi

echo "no usable Python $version found (need headers and venv)" >&2
exit 1
