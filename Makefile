# Set-up, build and test on Debian 12. Run as root on a fresh machine: `make test`.
BUILD ?= build
JOBS  ?= $(shell nproc)

# Everything the build, the tests and the benchmarks need, from Debian.
DEPS = cmake ninja-build g++ pkg-config make \
       libgtest-dev libgmock-dev \
       libavformat-dev libavcodec-dev libswresample-dev libavutil-dev ffmpeg \
       portaudio19-dev librubberband-dev rubberband-cli libsamplerate0-dev libfftw3-dev \
       pulseaudio pulseaudio-utils libasound2-plugins \
       qt6-base-dev qt6-svg-dev libqt6sql6-sqlite libmp3lame-dev libflac-dev libtag1-dev libcurl4-openssl-dev valgrind \
       fonts-wine fonts-liberation2 fonts-dejavu-core fonts-bebas-neue \
       xvfb xauth x11-utils xdotool imagemagick \
       dbus python3 openssl dpkg-dev

.PHONY: all deps configure build test sanitize tsan memcheck bench clean run

all: build

deps:
	@missing=""; \
	for p in $(DEPS); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	fi

configure: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600

sanitize: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPW_SANITIZE=ON
	cmake --build build-asan -j $(JOBS)
	cd build-asan && LSAN_OPTIONS="suppressions=$(CURDIR)/tests/lsan.supp" \
	  ctest --output-on-failure -j $(JOBS) --timeout 1200

tsan: deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPW_TSAN=ON
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS="suppressions=$(CURDIR)/tests/tsan.supp halt_on_error=1" \
	  ctest --output-on-failure -j $(JOBS) --timeout 1200

# Valgrind on the normal build, over the DSP library's tests (every stage
# that drives Rubber Band, libsamplerate and FFTW). The tests that decode
# cannot run under Debian 12's valgrind: FFmpeg loads libhwy, whose start-up
# code uses an instruction valgrind 3.19 cannot emulate (SIGILL before
# main); AddressSanitizer (make sanitize) covers them.
MEMCHECK = valgrind --error-exitcode=1 --leak-check=no --track-origins=no --quiet
memcheck: build
	cd $(BUILD) && PITCHWELL_AUDIO=null-fast QT_QPA_PLATFORM=offscreen $(MEMCHECK) tests/dsp/test_dsp

run: build
	$(BUILD)/apps/pitchwell/pitchwell $(if $(FILE),"$(FILE)")

bench: build
	@for b in $(BUILD)/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

clean:
	rm -rf $(BUILD) build-asan build-tsan

# Installs the program under PREFIX (honours DESTDIR): programs in bin, data in
# share/pitchwell, desktop file, AppStream metadata and icons.
PREFIX ?= /usr/local
.PHONY: install package
install: build
	cmake --install $(BUILD) --prefix "$(PREFIX)"

# The Debian package (CPack), in $(BUILD); dpkg -c lists its files.
package: build
	cd $(BUILD) && cpack -G DEB
