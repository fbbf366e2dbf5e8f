# Set-up and checks of nuv. Every target installs what it needs on a fresh
# Debian machine (as root): system libraries with apt-get, Python packages
# into .venv.

SYSTEM_PACKAGES := libcurl4-openssl-dev libjson-c-dev libssl-dev pkg-config
VENV := .venv
PY := $(VENV)/bin/python
SOURCES := $(shell find src -name '*.cpp' -o -name '*.h') CMakeLists.txt pyproject.toml \
           $(shell find python -type f -not -name '*.pyc')

.PHONY: all system-deps install test demo format format-check clean

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

demo: install
	$(PY) -m nuv.demo $(ARGS)

format:
	@command -v clang-format >/dev/null || apt-get install -y -qq clang-format
	clang-format -i $$(find src -name '*.cpp' -o -name '*.h')

format-check:
	@command -v clang-format >/dev/null || apt-get install -y -qq clang-format
	clang-format --dry-run -Werror $$(find src -name '*.cpp' -o -name '*.h')

clean:
	rm -rf build $(VENV)
