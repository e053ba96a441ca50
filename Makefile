# Thin front to CMake. `make run` and `make test` each work alone on a fresh Debian 12.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
# Tests in parallel: many wait on sockets and timers rather than the CPU.
CTEST_JOBS ?= $(JOBS)
CONFIG ?= config/halvane.ini

.PHONY: all deps configure build run test asan tsan bench quality corpus tables-analysis tables-imbe train-imbe clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DHALVANE_WERROR=ON >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	$(BUILD_DIR)/bin/Halvane $(CONFIG)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(CTEST_JOBS)

# The same tests under AddressSanitizer / ThreadSanitizer, in build directories of their own.
asan: deps
	cmake -S . -B build-asan -DHALVANE_WERROR=ON -DHALVANE_SANITIZE=address -DHALVANE_BENCH=OFF >/dev/null
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(CTEST_JOBS)

tsan: deps
	cmake -S . -B build-tsan -DHALVANE_WERROR=ON -DHALVANE_SANITIZE=thread -DHALVANE_BENCH=OFF >/dev/null
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && ctest --output-on-failure -j $(CTEST_JOBS)

bench: build
	@for b in $(BUILD_DIR)/bin/bench_*; do echo "== $$b"; $$b; done

# A call each way through Halvane with the shipped configuration and no hardware, recorded
# to WAV files (scripts/demo).
.PHONY: demo
demo: build
	@scripts/demo $(BUILD_DIR)

# Speech quality of the software vocoder next to codec2, in one run (scripts/codec-quality).
quality: build
	@scripts/codec-quality $(BUILD_DIR)

# Synthetic training speech for the vocoder tables (flite voices reading licence texts).
corpus: deps
	@tools/train/make-corpus $(BUILD_DIR)/corpus

# Fixed tables of the IMBE speech analysis: closed-form designs fitted to their given entries.
tables-analysis: deps
	@tools/train/imbe-analysis-tables vocoder/imbe/AnalysisTables.cpp

# The IMBE quantiser tables (vocoder/imbe/ImbeTables.cpp, vocoder/fixedpoint/BitAllocationTable.cpp),
# from the model statistics or, with IMBE_STATS=file.json, from statistics measured on speech.
tables-imbe: deps
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
.PHONY: tables-ambe
tables-ambe: corpus configure
	cmake --build $(BUILD_DIR) --target train-ambe-codebooks -j $(JOBS)
	$(BUILD_DIR)/bin/train-ambe-codebooks vocoder/ambe/AmbeCodebookTables.cpp --train $(AMBE_TRAIN) --held-out $(AMBE_HELD_OUT)

clean:
	rm -rf $(BUILD_DIR) build-asan build-tsan
