# Thin wrapper around CMake + Ninja.
BUILD ?= build

.PHONY: all build run test unit blackbox browser bench fuzz clean deps

all: build

$(BUILD)/build.ninja: CMakeLists.txt
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release

build: $(BUILD)/build.ninja
	cmake --build $(BUILD)

run: build
	./$(BUILD)/sandbox-server

deps:
	./tests/install_deps.sh

test: build deps
	cd $(BUILD) && ctest --output-on-failure
	python3 -m unittest discover -s tests/blackbox -t . -v
	./tests/browser/run.sh

bench: build
	./bench/run.sh

fuzz: deps
	./fuzz/run.sh

clean:
	rm -rf $(BUILD)
