# Entry points for the README's two commands.
#   make run    install dependencies, build in Release, run the daemon (needs root)
#   make test   install dependencies, build in Release, run every test
BUILD ?= build
SAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)

FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 30

.PHONY: deps configure build run test sanitize-test fuzz bench clean

deps:
	./scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/tarvo

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Unit tests under AddressSanitizer and UBSan (CI runs this too).
sanitize-test: deps
	cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARVO_SANITIZE=address,undefined $(CMAKE_ARGS)
	cmake --build $(SAN_BUILD) -j $(JOBS) --target tarvo_tests tarvo
	ctest --test-dir $(SAN_BUILD) --output-on-failure -j $(JOBS) -L unit

# Builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS. The YAML
# targets run in fork mode with time-outs and memory blow-ups ignored: yaml-cpp 0.7
# loops forever on some inputs, which the daemon contains (see policy/reloader.h);
# crashes still fail the run.
fuzz: deps
	CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVO_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	mkdir -p $(FUZZ_BUILD)/corpus/decode $(FUZZ_BUILD)/corpus/rules $(FUZZ_BUILD)/corpus/config
	$(FUZZ_BUILD)/fuzz/decode_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=2048 \
	  $(FUZZ_BUILD)/corpus/decode fuzz/seeds/decode
	for f in rules config; do \
	  $(FUZZ_BUILD)/fuzz/$${f}_fuzz -fork=1 -ignore_timeouts=1 -ignore_ooms=1 -timeout=5 \
	    -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -artifact_prefix=$(FUZZ_BUILD)/ \
	    $(FUZZ_BUILD)/corpus/$$f fuzz/seeds/$$f; \
	  rc=$$?; [ $$rc -eq 0 ] || [ $$rc -eq 70 ] || [ $$rc -eq 71 ] || exit $$rc; \
	done

# Replay benchmark against the bare read on a generated corpus.
bench: build
	./bench/run-replay $(BUILD)

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(FUZZ_BUILD)
