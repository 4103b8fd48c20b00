# The two entry points of the README. Both set everything up from nothing: a free-threaded CPython
# (found or built once into ~/.cache/quillmesh), a virtual environment, and the extension itself.
SHELL := /bin/bash
.ONESHELL:
.SHELLFLAGS := -euo pipefail -c
.PHONY: test test-ft test-gil test-sanitize test-tsan clean bench bench-hostile bench-persist bench-all fuzz fuzz-load docs

PYTEST_ARGS ?=
BENCH_ARGS ?=
FUZZ_SECONDS ?= 300
FUZZ_ARGS ?=

# The free-threaded run must exist; the standard-build run happens when the machine has CPython 3.13.
test: test-ft test-gil

test-ft:
	py=$$(tools/find-python.sh ft)
	tools/dev-env.sh "$$py" .venv
	.venv/bin/python -m pytest $(PYTEST_ARGS)

test-gil:
	if ! py=$$(tools/find-python.sh gil); then
		echo "make: no standard CPython 3.13 on this machine; the free-threaded run above covers the suite"
		exit 0
	fi
	tools/dev-env.sh "$$py" .venv-gil
	.venv-gil/bin/python -m pytest $(PYTEST_ARGS)

# The suite against an extension built with AddressSanitizer and UndefinedBehaviorSanitizer. The
# interpreter itself is not instrumented, so the ASan runtime is preloaded, together with the C++
# runtime whose exception entry points it intercepts; CPython's own intentional leaks at exit are
# not ours to report.
test-sanitize:
	py=$$(tools/find-python.sh ft)
	QM_SANITIZE=address,undefined tools/dev-env.sh "$$py" .venv-san
	cxx=$${CXX:-g++}
	LD_PRELOAD="$$($$cxx -print-file-name=libasan.so) $$($$cxx -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	.venv-san/bin/python -m pytest -p no:cacheprovider $(PYTEST_ARGS)

# The tests that run threads, against an extension built with ThreadSanitizer on a free-threaded
# CPython built with it too (tools/find-python.sh ft-tsan: a build of its own, cached, a long one the
# first time). Not part of `test` or CI for its run time. Reports go to files, subprocesses'
# included, so none is lost in pytest's captured output: any report fails the target. The
# suppressions file may only name CPython and the C library. die_after_fork=0: the fork tests start
# a fresh worker pool in the forked child, which ThreadSanitizer otherwise refuses outright.
TSAN_TESTS ?= tests/test_threads.py tests/test_borrow.py tests/test_long_calls.py tests/test_workers.py \
	tests/test_chunked_loads.py tests/test_batch.py tests/test_components.py tests/test_pagerank.py \
	tests/test_triangles.py tests/test_paths.py tests/test_io.py tests/test_hostile_hubs.py \
	tests/test_algorithms.py::test_threads_on_one_graph_and_on_many \
	tests/test_centrality_communities.py::test_same_bits_for_any_worker_count \
	tests/test_arrays.py::test_many_threads_read_one_graph_while_one_loads_another
# Left out: test_memory_limits, whose address-space caps cannot hold ThreadSanitizer's shadow memory;
# the Ctrl-C case that loads 20 million ids, which outlasts its 600 s limit under ThreadSanitizer on
# two shared cores (the smaller Ctrl-C cases of the same loads stay in). The pool-size and fork tests
# count the pool's threads by name, so ThreadSanitizer's own thread no longer keeps them out.
TSAN_DESELECT ?= -k "not add_edges_flat_into_a_large_graph"
tsan_reports := build/tsan-reports

test-tsan:
	py=$$(tools/find-python.sh ft-tsan)
	# pip byte-compiles what it installs, slowly under ThreadSanitizer; imports compile what is used.
	PIP_NO_COMPILE=1 QM_SANITIZE=thread tools/dev-env.sh "$$py" .venv-tsan
	rm -rf $(tsan_reports) && mkdir -p $(tsan_reports)
	status=0
	TSAN_OPTIONS="suppressions=$$PWD/tools/tsan-suppressions.txt log_path=$$PWD/$(tsan_reports)/report second_deadlock_stack=1 die_after_fork=0 $${TSAN_OPTIONS:-}" \
	.venv-tsan/bin/python -m pytest -p no:cacheprovider $(TSAN_TESTS) $(TSAN_DESELECT) $(PYTEST_ARGS) || status=$$?
	if compgen -G "$(tsan_reports)/report.*" >/dev/null; then
		cat $(tsan_reports)/report.*
		echo "make: ThreadSanitizer reports above (kept in $(tsan_reports))"
		exit 1
	fi
	exit $$status

# quillmesh against its peers (bench/run.py --help for BENCH_ARGS). Peers without free-threaded wheels
# run in a second venv on the standard CPython 3.13, with quillmesh built there too. Each part says
# how long it took. `make bench` is the comparison and what other threads see meanwhile; the crafted
# ids (bench-hostile) and saving and loading (bench-persist) have targets of their own, and
# `make bench-all` runs all three.
bench_setup = \
	py=$$(tools/find-python.sh ft); \
	tools/dev-env.sh "$$py" .venv-bench-ft; \
	.venv-bench-ft/bin/python bench/install.py bench/requirements-driver.txt bench/requirements-peers.txt; \
	gil_python=; \
	if gil=$$(tools/find-python.sh gil); then \
		tools/dev-env.sh "$$gil" .venv-bench-gil; \
		.venv-bench-gil/bin/python bench/install.py bench/requirements-peers.txt; \
		gil_python=.venv-bench-gil/bin/python; \
	else \
		echo "make: no standard CPython 3.13 on this machine; peers without free-threaded wheels are reported as not installable"; \
	fi
# part NAME COMMAND...: runs one part, prints its time, and remembers a failure for the end.
bench_part = part() { local name=$$1; shift; local t0=$$SECONDS; "$$@" || status=$$?; \
	echo "make: $$name took $$((SECONDS - t0)) s"; }

bench:
	t0=$$SECONDS; status=0
	$(bench_setup)
	$(bench_part)
	echo "make: setting up took $$((SECONDS - t0)) s"
	part "the comparison" .venv-bench-ft/bin/python bench/run.py --python-ft .venv-bench-ft/bin/python --python-gil "$$gil_python" $(BENCH_ARGS)
	# What other threads see while a long call runs, on each build.
	part "threads (free-threaded)" .venv-bench-ft/bin/python bench/threads.py --json bench/results/threads-ft.json
	if [ -n "$$gil_python" ]; then part "threads (standard)" "$$gil_python" bench/threads.py --json bench/results/threads-gil.json; fi
	echo "make: bench took $$((SECONDS - t0)) s in all"
	exit $$status

# Ids crafted to collide against random ids, call by call (about 6 minutes).
bench-hostile:
	status=0
	$(bench_part)
	py=$$(tools/find-python.sh ft)
	tools/dev-env.sh "$$py" .venv-bench-ft
	part "hostile ids" .venv-bench-ft/bin/python bench/hostile.py --json bench/results/hostile.json
	exit $$status

# Saving and loading graphs: quillmesh.io against the peers' own files and pickles.
bench-persist:
	status=0
	$(bench_setup)
	$(bench_part)
	part "saving and loading" .venv-bench-ft/bin/python bench/persist.py --scale medium --python-gil "$$gil_python"
	exit $$status

bench-all:
	status=0
	$(MAKE) bench || status=$$?
	$(MAKE) bench-hostile || status=$$?
	$(MAKE) bench-persist || status=$$?
	exit $$status

# The documentation site, into build/docs/html (open index.html there). Sphinx runs in the test venv
# of the standard CPython 3.13 when the machine has one (the toolchain has wheels there), else in the
# free-threaded one; the `docs` extra is installed into it. Every warning, a broken cross-reference
# included, fails the build. The pages' examples run in `make test` (tests/test_docs.py).
DOCS_OUT ?= build/docs/html
docs:
	if py=$$(tools/find-python.sh gil); then venv=.venv-gil; else py=$$(tools/find-python.sh ft); venv=.venv; fi
	tools/dev-env.sh "$$py" "$$venv"
	tools/docs-env.sh "$$venv"
	"$$venv/bin/python" -m sphinx -b html -E -a -n -W --keep-going -q docs $(DOCS_OUT)
	echo "make: the site is in $(DOCS_OUT)/index.html"

# The differential fuzzer of the graph core (fuzz/): builds it with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs it for FUZZ_SECONDS on the seed corpus and the regressions.
# Needs clang 15 or later and its libFuzzer (Debian: clang-19 libclang-rt-19-dev). Findings go to
# build/fuzz/artifacts; FUZZ_ARGS passes libFuzzer options.
fuzz:
	$(MAKE) -C fuzz run FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZ_ARGS="$(FUZZ_ARGS)"

# The same for the graph file reader (fuzz/load_harness.cpp), on fuzz/corpus-load.
fuzz-load:
	$(MAKE) -C fuzz run-load FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZ_ARGS="$(FUZZ_ARGS)"

clean:
	rm -rf build .venv .venv-gil .venv-san .venv-tsan
