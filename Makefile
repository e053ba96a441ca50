# Thin front to CMake. `make run` and `make test` each work alone on a fresh Debian 12.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
# Tests in parallel: many wait on sockets and timers rather than the CPU.
CTEST_JOBS ?= $(JOBS)
CONFIG ?= config/halvane.ini
# make install: where the programs go (DESTDIR stages the whole tree elsewhere).
PREFIX ?= /usr/local

.PHONY: all deps test-deps package-deps configure build run test asan tsan fuzz fuzz-build bench install deb quality demo corpus \
	tables-analysis tables-imbe train-imbe tables-ambe clean

all: build

deps:
	@scripts/install-deps

test-deps:
	@scripts/install-deps --test

package-deps:
	@scripts/install-deps --package

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DHALVANE_WERROR=ON >/dev/null

# The daemon, the peer tools and the man pages; tests and benchmarks are built by
# `make test` and `make bench` only, so running needs no GoogleTest.
build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	$(BUILD_DIR)/bin/Halvane $(CONFIG)

test: test-deps configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target all all_tests
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(CTEST_JOBS)

# The same tests under AddressSanitizer with UndefinedBehaviorSanitizer / ThreadSanitizer,
# in build directories of their own.
asan: test-deps
	cmake -S . -B build-asan -DHALVANE_WERROR=ON -DHALVANE_SANITIZE=address,undefined -DHALVANE_BENCH=OFF >/dev/null
	cmake --build build-asan -j $(JOBS) --target all all_tests
	cd build-asan && ctest --output-on-failure -j $(CTEST_JOBS)

tsan: test-deps
	cmake -S . -B build-tsan -DHALVANE_WERROR=ON -DHALVANE_SANITIZE=thread -DHALVANE_BENCH=OFF >/dev/null
	cmake --build build-tsan -j $(JOBS) --target all all_tests
	cd build-tsan && ctest --output-on-failure -j $(CTEST_JOBS)

# The libFuzzer harnesses of fuzz/ (clang, with AddressSanitizer and UndefinedBehaviorSanitizer),
# each run for FUZZ_SECONDS on a working corpus in build-fuzz/ seeded from fuzz/corpus/;
# FUZZ_JOBS harnesses at once. Prints the executions of each (scripts/run-fuzzers).
FUZZ_SECONDS ?= 600
FUZZ_JOBS ?= 1
fuzz-build: test-deps
	cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DHALVANE_FUZZ=ON \
	  -DHALVANE_SANITIZE=address,undefined -DHALVANE_TESTS=OFF -DHALVANE_BENCH=OFF >/dev/null
	cmake --build build-fuzz -j $(JOBS) --target all_fuzzers

fuzz: fuzz-build
	FUZZ_JOBS=$(FUZZ_JOBS) scripts/run-fuzzers build-fuzz $(FUZZ_SECONDS)

bench: test-deps configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target all_benchmarks
	@for b in $(BUILD_DIR)/bin/bench_*; do echo "== $$b"; $$b; done

# A call each way through Halvane with the shipped configuration and no hardware, recorded
# to WAV files (scripts/demo).
demo: build
	@scripts/demo $(BUILD_DIR)

# The programs, man pages, /etc/Halvane.ini (PREFIX/etc unless PREFIX is /usr), the systemd
# unit, the sysusers and tmpfiles entries of its user and directories, and the logrotate
# snippet. As root:
#   make install [PREFIX=/usr/local] [DESTDIR=/staging]
install: deps
	@cmake -S . -B $(BUILD_DIR) -DHALVANE_WERROR=ON -DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS)
	DESTDIR=$(DESTDIR) cmake --install $(BUILD_DIR)

# The Debian package, for the architecture of this machine, into $(BUILD_DIR):
#   sudo dpkg -i build/halvane_<version>_<arch>.deb
deb: deps package-deps
	@cmake -S . -B $(BUILD_DIR) -DHALVANE_WERROR=ON -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS)
	cd $(BUILD_DIR) && cpack -G DEB

# Speech quality of the software vocoder next to codec2, in one run (scripts/codec-quality).
quality: test-deps build
	@scripts/codec-quality $(BUILD_DIR)

# Synthetic training speech for the vocoder tables (flite voices reading licence texts).
corpus: test-deps
	@tools/train/make-corpus $(BUILD_DIR)/corpus

# Fixed tables of the IMBE speech analysis: closed-form designs fitted to their given entries.
tables-analysis: test-deps
	@tools/train/imbe-analysis-tables vocoder/imbe/AnalysisTables.cpp

# The IMBE quantiser tables (vocoder/imbe/ImbeTables.cpp, vocoder/fixedpoint/BitAllocationTable.cpp),
# from the model statistics or, with IMBE_STATS=file.json, from statistics measured on speech.
tables-imbe: test-deps
	@tools/train/imbe-tables $(if $(IMBE_STATS),--stats $(IMBE_STATS))

# The IMBE quantiser tables trained on speech: from the model tables, two passes of measuring
# with the tables built in (imbe-train, closed loop) and designing new ones from the
# measurements (tools/train/imbe-stats.json, checked in).
TRAIN_SPEECH = $(foreach f,hts1a hts2a hts1 hts2 morig forig mmt1 cross g3plx cq_ref,/usr/share/codec2/raw/$(f).raw)
train-imbe: corpus configure
	@tools/train/imbe-tables
	@for pass in 1 2; do \
	  cmake --build $(BUILD_DIR) --target imbe-train -j $(JOBS) >/dev/null && \
	  $(BUILD_DIR)/bin/imbe-train tools/train/imbe-stats.json $(TRAIN_SPEECH) $(sort $(wildcard $(BUILD_DIR)/corpus/*.raw)) && \
	  tools/train/imbe-tables --stats tools/train/imbe-stats.json || exit 1; \
	done

# Codebooks of the software AMBE+2/D-STAR codec, trained on speech. The recordings outweigh
# the synthetic voices 256 to 1; cq_ref, forig and slt-BSD are held out to check for
# over-fitting (hts1a and hts2a are the starts of hts1 and hts2, so they add nothing).
CODEC2_RAW = /usr/share/codec2/raw
AMBE_TRAIN = --weight 256 $(addprefix $(CODEC2_RAW)/,hts1.raw hts2.raw morig.raw mmt1.raw cross.raw g3plx.raw) \
	--weight 1 $(addprefix $(BUILD_DIR)/corpus/,slt-Apache-2.0.raw awb-Artistic.raw awb-CC0-1.0.raw kal16-MPL-2.0.raw)
AMBE_HELD_OUT = --weight 256 $(CODEC2_RAW)/cq_ref.raw $(CODEC2_RAW)/forig.raw --weight 1 $(BUILD_DIR)/corpus/slt-BSD.raw
tables-ambe: corpus configure
	cmake --build $(BUILD_DIR) --target train-ambe-codebooks -j $(JOBS)
	$(BUILD_DIR)/bin/train-ambe-codebooks vocoder/ambe/AmbeCodebookTables.cpp --train $(AMBE_TRAIN) --held-out $(AMBE_HELD_OUT)

clean:
	rm -rf $(BUILD_DIR) build-asan build-tsan build-fuzz
