# The two commands a newcomer types: `make run` and `make check`.
BUILD      ?= build
BUILD_ASAN ?= build-asan
JOBS       ?= $(shell nproc)
# CI sets CI=true: warnings become errors there.
WERROR     := $(if $(filter true 1,$(CI)),ON,OFF)
CMAKE_ARGS := -G Ninja -DSTOWKEEP_WERROR=$(WERROR)

.PHONY: deps build build-asan run check check-asan install package clean

deps:
	@bash scripts/install-deps.sh

build:
	cmake -S . -B $(BUILD) $(CMAKE_ARGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

build-asan:
	cmake -S . -B $(BUILD_ASAN) $(CMAKE_ARGS) -DCMAKE_BUILD_TYPE=Debug -DSTOWKEEP_SANITIZE=ON
	cmake --build $(BUILD_ASAN) -j $(JOBS)

run: deps build
	./$(BUILD)/stowkeep

# Every test, then every test again under AddressSanitizer and UBSan (the slowest
# archive tests, labelled "heavy", run only in the first pass).
check: deps build build-asan
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	cd $(BUILD_ASAN) && ctest --output-on-failure -j $(JOBS) -LE heavy

install: build
	cmake --install $(BUILD)

# A Debian package of the program: build/stowkeep_<version>_<arch>.deb.
package: deps build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(BUILD_ASAN)
