# The two set-up commands of the README: `make run` and `make test`.
# Each installs the Debian packages it is missing first.
JOBS  ?= $(shell nproc)
CMAKE ?= cmake

.PHONY: run test package bench fuzz fuzz-build build build-asan mutants

build:
	scripts/install-deps.sh build
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(CMAKE) --build build -j$(JOBS)

run:
	scripts/install-deps.sh build run
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(CMAKE) --build build -j$(JOBS) --target pixmend pixmend-batch
	./build/bin/pixmend

test:
	scripts/install-deps.sh build test
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(CMAKE) --build build -j$(JOBS)
	cd build && ctest --output-on-failure -j$(JOBS)
	$(CMAKE) -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DPIXMEND_SANITIZE=ON
	$(CMAKE) --build build-asan -j$(JOBS)
	cd build-asan && ctest --output-on-failure -j$(JOBS)

# The Debian package: build/pixmend_<version>_<arch>.deb
package:
	scripts/install-deps.sh build package
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(CMAKE) --build build -j$(JOBS)
	cd build && cpack -G DEB

bench:
	scripts/install-deps.sh build bench
	$(CMAKE) -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DPIXMEND_BENCH=ON -DPIXMEND_TESTS=OFF
	$(CMAKE) --build build-bench -j$(JOBS)
	bench/run-all.sh build-bench

fuzz-build:
	scripts/install-deps.sh build fuzz
	CC=clang CXX=clang++ $(CMAKE) -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPIXMEND_FUZZ=ON -DPIXMEND_TESTS=OFF
	$(CMAKE) --build build-fuzz -j$(JOBS)

# FUZZ_SECONDS per target; new findings land in fuzz-work/<target>/.
FUZZ_SECONDS ?= 600
fuzz: fuzz-build
	fuzz/run-fuzzers.sh build-fuzz $(FUZZ_SECONDS)

# The mutation check: named faults planted one at a time, each must make a
# test fail. By hand only; it takes a while. PATTERN picks faults by name.
mutants:
	scripts/install-deps.sh build test
	scripts/mutants.sh "$(PATTERN)"
