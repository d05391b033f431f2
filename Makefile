# Entry points for the README's two commands.
#   make run    install dependencies, build in Release, run the daemon (needs root)
#   make test   install dependencies, build in Release, run every test
BUILD ?= build
SAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)

.PHONY: deps configure build run test sanitize-test bench clean

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

clean:
	rm -rf $(BUILD) $(SAN_BUILD)
