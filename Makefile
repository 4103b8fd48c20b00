# The two entry points of the README. Both set everything up from nothing: a free-threaded CPython
# (found or built once into ~/.cache/quillmesh), a virtual environment, and the extension itself.
SHELL := /bin/bash
.ONESHELL:
.SHELLFLAGS := -euo pipefail -c
.PHONY: test test-ft test-gil clean

PYTEST_ARGS ?=

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

clean:
	rm -rf build .venv .venv-gil
