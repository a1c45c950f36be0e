# The two commands a newcomer needs:
#   make run    installs what is missing, builds, and runs the program
#   make test   installs what is missing, builds, and runs the tests
JOBS ?= $(shell nproc)

.PHONY: run test deps build clean

deps:
	@tools/install-deps.sh

build: deps
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

run: build
	tools/run-program.sh build/default/app/kelto

test: build
	ctest --preset default -j $(JOBS)

clean:
	rm -rf build
