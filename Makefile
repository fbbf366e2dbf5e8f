# Set-up and checks of nuv. Every target installs what it needs on a fresh
# Debian machine (as root): system libraries with apt-get, Python packages
# into .venv.

SYSTEM_PACKAGES := libcurl4-openssl-dev libjson-c-dev libssl-dev pkg-config
VENV := .venv
PY := $(VENV)/bin/python
SOURCES := $(shell find src -name '*.cpp' -o -name '*.h') CMakeLists.txt pyproject.toml \
           $(shell find python -type f -not -name '*.pyc')

.PHONY: all system-deps install test demo sanitize format format-check clean

all: install

system-deps:
	@dpkg -s $(SYSTEM_PACKAGES) >/dev/null 2>&1 || { \
	  echo "installing $(SYSTEM_PACKAGES) with apt-get"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(SYSTEM_PACKAGES); }

$(VENV)/.created:
	$(MAKE) system-deps
	rm -rf $(VENV)
	"$$(scripts/find-python.sh)" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" "cmake>=3.21" ninja
	touch $@

$(VENV)/.installed: $(VENV)/.created $(SOURCES)
	$(MAKE) system-deps
	$(PY) -m pip install -q --no-build-isolation ".[test]"
	touch $@

install: $(VENV)/.installed

test: install
	$(PY) -m pytest -q

# The whole suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, in its own environment. The interpreter is not
# instrumented, so the ASan runtime is preloaded and leak detection is left
# to the leak test (the interpreter's own allocations are not ours).
SANITIZE_VENV := .venv-sanitize
SANITIZE_ENV := LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	NUV_SANITIZED=1

$(SANITIZE_VENV)/.installed: $(VENV)/.created $(SOURCES)
	$(MAKE) system-deps
	[ -x $(SANITIZE_VENV)/bin/python ] || "$$(scripts/find-python.sh)" -m venv $(SANITIZE_VENV)
	$(SANITIZE_VENV)/bin/python -m pip install -q "scikit-build-core>=0.10" "cmake>=3.21" ninja
	$(SANITIZE_VENV)/bin/python -m pip install -q --no-build-isolation \
	  -Ccmake.define.NUV_SANITIZE=ON -Cbuild-dir=build/sanitize -Ccmake.build-type=RelWithDebInfo ".[test]"
	touch $@

sanitize: $(SANITIZE_VENV)/.installed
	$(SANITIZE_ENV) $(SANITIZE_VENV)/bin/python -m pytest -q -p no:cacheprovider

demo: install
	$(PY) -m nuv.demo $(ARGS)

format:
	@command -v clang-format >/dev/null || apt-get install -y -qq clang-format
	clang-format -i $$(find src -name '*.cpp' -o -name '*.h')

format-check:
	@command -v clang-format >/dev/null || apt-get install -y -qq clang-format
	clang-format --dry-run -Werror $$(find src -name '*.cpp' -o -name '*.h')

clean:
	rm -rf build $(VENV) $(SANITIZE_VENV)
