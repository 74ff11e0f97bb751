# The two commands for a fresh machine:
#   make demo    build quarvel and run it on the generated example pair
#   make check   build everything and run every test: a bounded fuzzing run, the suite under
#                AddressSanitizer and UndefinedBehaviorSanitizer, then the suite itself (with
#                the exhaustive proofs of the exponent shortcuts, install and packaging, and
#                the file systems mounted for the tests, as root)
# As root on a Debian-like system the packages they need are installed first; otherwise the
# missing ones are named. Also:
#   make bench   the benchmarks (the CPU named; kernels, whole runs on 100M-value inputs warm
#                and, as root, cold, then one run on a pair of sparse inputs larger than memory;
#                with REAL_PAIR_DIR=/a/folder also a real pair of 2 x 12 GiB made there once)
#   make fuzz FUZZ_SECONDS=N   fuzz for longer
#   make proofs  all the exhaustive proofs: five exponents more than make check proves, and
#                10^10 random pairs for the power rather than 2.5 x 10^8 (about 13 minutes on
#                two cores)
#   make quick   the suite without the proofs, the file systems, the sanitizers or the fuzzer
#   make clang   the suite without the proofs, built with clang
#   make cross   the suite without the proofs built for 64-bit ARM and run under qemu-user, with
#                the outputs compared to those of the build for this machine; CROSS=TRIPLE for
#                another machine (i686-linux-gnu, 32-bit x86, runs directly)
#   make machines  for each Debian machine in MACHINES, the tests whose outcome can depend on
#                the machine (its arithmetic, and the comparison with this machine's build)
#
# Every target configures its build folder with all the settings it needs, so a folder
# configured otherwise by hand (say, without the tests) is put right rather than reused.

BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
FUZZ_SECONDS ?= 30
PACKAGES = cmake make g++
# libclang-rt-dev: the sanitizers' runtime of the distribution's own clang, whatever its version.
check test quick configure sanitize fuzz clang cross machines: PACKAGES += libgtest-dev man-db \
  dpkg-dev lintian clang libclang-rt-dev
# The file systems that the tests mount, and the FUSE programs that mount vfat and exfat.
check test: PACKAGES += xfsprogs btrfs-progs dosfstools exfatprogs fusefat exfat-fuse
CROSS ?= aarch64-linux-gnu
CROSS_BUILD = $(BUILD)-$(firstword $(subst -, ,$(CROSS)))
CROSS_TARGETS ?= all
CROSS_TESTS ?= -LE exhaustive
cross: PACKAGES += g++-$(CROSS) qemu-user
MACHINES ?= aarch64-linux-gnu arm-linux-gnueabihf powerpc64le-linux-gnu riscv64-linux-gnu \
  mips64el-linux-gnuabi64
machines: PACKAGES += $(foreach m,$(MACHINES),g++-$(m)) qemu-user
# What can differ by machine: the arithmetic and the same-bytes comparison. The two long tests of
# it run code that is the same on every machine but x86, and are left to the whole suites.
MACHINE_TESTS = -R '^(WholeExponent|PowerProduct|Power|Summarize|Extended|Nans|Machines)\.' \
  -E 'LongArraysAccumulateInFloat|ChunkAndThreadBoundaries'
bench: PACKAGES += libbenchmark-dev time
OPTIONS = -DQUARVEL_SANITIZE=OFF -DQUARVEL_BENCH=OFF -DQUARVEL_FUZZ=OFF
# ctest, followed by each skipped test's reason.
CTEST = sh $(CURDIR)/tests/ctest_with_reasons.sh --output-on-failure -j $(JOBS)

.PHONY: demo check test quick configure sanitize fuzz bench proofs clang cross machines deps clean

demo: deps
	cmake -S . -B $(BUILD)-demo -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF $(OPTIONS)
	cmake --build $(BUILD)-demo -j $(JOBS) --target quarvel example_data
	@echo '$$ quarvel a.bin b.bin out.bin -power1 2 -power2 0.5'
	@cd $(BUILD)-demo/example && ../quarvel a.bin b.bin out.bin -power1 2 -power2 0.5
	@echo '$$ od -A d -t f4 out.bin'
	@cd $(BUILD)-demo/example && od -A d -t f4 out.bin

check: fuzz sanitize test

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON $(OPTIONS)

test: configure
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && $(CTEST)

quick: configure
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && $(CTEST) -LE 'exhaustive|filesystems'

proofs: configure
	cmake --build $(BUILD) -j $(JOBS) --target quarvel_exhaustive
	QUARVEL_PROOFS=all QUARVEL_RANDOM_PAIRS=1e10 $(BUILD)/tests/quarvel_exhaustive

clang: deps
	cmake -S . -B $(BUILD)-clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Release \
	  -DBUILD_TESTING=ON $(OPTIONS)
	cmake --build $(BUILD)-clang -j $(JOBS)
	cd $(BUILD)-clang && $(CTEST) -LE 'exhaustive|filesystems'

cross: configure
	cmake --build $(BUILD) -j $(JOBS) --target quarvel
	cmake -S . -B $(CROSS_BUILD) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/cross.cmake \
	  -DQUARVEL_CROSS=$(CROSS) \
	  -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON $(OPTIONS) \
	  -DQUARVEL_NATIVE_BINARY=$(CURDIR)/$(BUILD)/quarvel
	cmake --build $(CROSS_BUILD) -j $(JOBS) --target $(CROSS_TARGETS)
	cd $(CROSS_BUILD) && $(CTEST) $(CROSS_TESTS)

machines: deps
	for m in $(MACHINES); do \
	  $(MAKE) cross CROSS=$$m CROSS_TARGETS=quarvel_tests CROSS_TESTS="$(MACHINE_TESTS)" || exit 1; \
	done

# The exhaustive proofs are left out here: they test the platform's powf, not memory safety.
sanitize: deps
	cmake -S . -B $(BUILD)-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON \
	  $(OPTIONS) -DQUARVEL_SANITIZE=ON
	cmake --build $(BUILD)-sanitize -j $(JOBS)
	cd $(BUILD)-sanitize && $(CTEST) -LE 'exhaustive|filesystems'

# Standard error is closed for the runs (each would print its warnings), not for the fuzzer.
# One fuzzing process to a core (-fork), started by its full path: each runs in a scratch folder.
fuzz: deps
	cmake -S . -B $(BUILD)-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DBUILD_TESTING=OFF $(OPTIONS) -DQUARVEL_FUZZ=ON
	cmake --build $(BUILD)-fuzz -j $(JOBS) --target fuzz_run
	mkdir -p $(BUILD)-fuzz/corpus $(BUILD)-fuzz/findings
	$(CURDIR)/$(BUILD)-fuzz/fuzz/fuzz_run -fork=$(JOBS) -max_total_time=$(FUZZ_SECONDS) \
	  -detect_leaks=0 -close_fd_mask=2 \
	  -dict=$(CURDIR)/fuzz/dictionary -artifact_prefix=$(CURDIR)/$(BUILD)-fuzz/findings/ \
	  -print_final_stats=1 $(CURDIR)/$(BUILD)-fuzz/corpus $(CURDIR)/fuzz/corpus

bench: deps
	cmake -S . -B $(BUILD)-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF $(OPTIONS) \
	  -DQUARVEL_BENCH=ON
	cmake --build $(BUILD)-bench -j $(JOBS)
	bench/cpu.sh
	$(BUILD)-bench/bench/bench_kernels --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
	bench/compare.sh $(BUILD)-bench
	bench/cold.sh $(BUILD)-bench
	bench/large.sh $(BUILD)-bench
	if [ -n "$(REAL_PAIR_DIR)" ]; then bench/real.sh $(BUILD)-bench "$(REAL_PAIR_DIR)"; fi

deps:
	@missing=""; for p in $(sort $(PACKAGES)); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | \
	    grep -Eq 'ok (installed|triggers-pending|triggers-awaited)' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	    apt-get -o DPkg::Lock::Timeout=600 update && \
	    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y \
	      --no-install-recommends $$missing; \
	  else \
	    echo "quarvel needs these packages:$$missing"; \
	    echo "install them as root with: apt-get install$$missing"; exit 1; \
	  fi; \
	fi

clean:
	rm -rf $(BUILD) $(BUILD)-*
