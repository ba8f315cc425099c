# Thin wrapper around CMake + Ninja.
BUILD ?= build
export CINDERVOX_BUILD := $(BUILD)
FUZZ_SECONDS ?= 8

.PHONY: all build run test layers unit blackbox browser fuzz bench deps clean

all: build

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release

build: $(BUILD)/build.ninja
	cmake --build $(BUILD)

run: build
	./$(BUILD)/sandbox-server

deps:
	./tests/install_deps.sh

layers:
	python3 tools/check_layers.py

unit: build
	cd $(BUILD) && ctest --output-on-failure

blackbox: build
	python3 -m unittest discover -s tests/blackbox -t . -v

browser: build deps
	./tests/browser/run.sh

fuzz: deps
	FUZZ_SECONDS=$(FUZZ_SECONDS) ./fuzz/run.sh

test: layers build deps unit blackbox browser fuzz

bench: build
	./bench/run.sh

clean:
	rm -rf $(BUILD)
