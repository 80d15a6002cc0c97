# Thin wrapper around CMake: `make check` installs what is missing, builds both
# configurations and runs every test; `make demo` runs an installation in QEMU.

JOBS    ?= $(shell nproc)
HOST    := build/host
I386    := build/i386
FUZZ    := build/fuzz
# Seconds each fuzz target runs under `make fuzz`.
FUZZ_TIME ?= 60
CACHE   ?= build/cache
# Debian i386 packages whose programs boot media carry besides the installer
# (mke2fs with its libraries) and the sample system is made of (busybox,
# bash, fsck, extlinux), unpacked under $(CACHE)/i386-root. The same list as
# DEBIAN_PACKAGES in media/builder/sources.py, so that the media builder
# finds everything fetched.
I386_TOOL_PACKAGES := e2fsprogs libext2fs2 libcom-err2 libblkid1 libuuid1 libc6 \
	busybox-static bash libtinfo6 extlinux util-linux libmount1 libselinux1 libpcre2-8-0

.PHONY: all deps host i386 kernel deb check check-slow test test-slow demo clean bench-packages bench-hostile \
        bench-snapshot fuzz fuzz-build

all: host i386

# Packages first, then the probe that static i386 programs run here (the
# tests start them directly); where the kernel refuses them it registers
# qemu-user-static.
deps:
	@scripts/install-deps.sh
	@scripts/enable-i386.sh

host: deps
	cmake -S . -B $(HOST) -DCMAKE_BUILD_TYPE=Debug -DKORVANEL_SANITIZE=ON
	cmake --build $(HOST) -j $(JOBS)

# The i386 libraries the static programs link (zlib, libsodium) are unpacked
# from Debian's packages into the cache, not installed; the C and C++ runtime
# comes from g++-multilib.
I386_DEV_PACKAGES := zlib1g-dev libsodium-dev

i386: deps
	@scripts/fetch-i386-packages.sh --tree i386-dev $(CACHE) $(I386_DEV_PACKAGES)
	cmake -S . -B $(I386) -DCMAKE_BUILD_TYPE=MinSizeRel \
	      -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/i386-toolchain.cmake \
	      -DKORVANEL_I386_LIBS=$(abspath $(CACHE))/i386-dev \
	      -DKORVANEL_BUILD_TESTS=OFF
	cmake --build $(I386) -j $(JOBS)

# The Debian packages (debian/): netinstall-server and korvanel-tools, in
# $(DEB). They are built by dpkg-buildpackage from a copy of this tree's
# files (tracked and new, not ignored), so the .deb files land beside it and
# not beside the work tree, and two builds of one commit give the same bytes.
# The package build fetches nothing: what it takes from Debian's i386
# packages and kernel is fetched into the cache first, here.
DEB     := build/deb
deb: deps
	@scripts/fetch-i386-packages.sh --tree i386-dev $(CACHE) $(I386_DEV_PACKAGES)
	@scripts/fetch-kernel.sh $(CACHE)
	@scripts/fetch-i386-packages.sh $(CACHE) $(I386_TOOL_PACKAGES)
	rm -rf $(DEB)
	mkdir -p $(DEB)/src
	git ls-files -z --cached --others --exclude-standard | \
	    tar -c --null -T - --ignore-failed-read 2>/dev/null | tar -x -C $(DEB)/src
	cd $(DEB)/src && KORVANEL_CACHE=$(abspath $(CACHE)) dpkg-buildpackage -us -uc -b -j$(JOBS)
	rm -rf $(DEB)/src
	@cd $(DEB) && ls -l *.deb && sha256sum *.deb

# The fuzz targets (fuzz/), built by clang with libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer; `make check` runs each for a few seconds.
fuzz-build: deps
	cmake -S . -B $(FUZZ) -DCMAKE_BUILD_TYPE=Debug -DKORVANEL_FUZZ=ON -DKORVANEL_BUILD_TESTS=OFF \
	      -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14
	cmake --build $(FUZZ) -j $(JOBS) --target fuzz_targets

# Every target for FUZZ_TIME seconds, keeping what it finds in $(FUZZ)/corpus
# and $(FUZZ)/findings; prints executions, coverage and findings per target.
fuzz: fuzz-build
	/usr/bin/python3 fuzz/run_fuzz.py --build $(FUZZ) --budget $(FUZZ_TIME)

kernel: deps
	@scripts/fetch-kernel.sh $(CACHE)
	@scripts/fetch-i386-packages.sh $(CACHE) $(I386_TOOL_PACKAGES)

# Tests labelled `slow` (whole-machine runs too long for every check) run with
# `make check-slow`.
test:
	cd $(HOST) && KORVANEL_CACHE=$(abspath $(CACHE)) KORVANEL_REQUIRE_MACHINES=1 \
	    ctest --output-on-failure -j $(JOBS) -LE slow

test-slow:
	cd $(HOST) && KORVANEL_CACHE=$(abspath $(CACHE)) KORVANEL_REQUIRE_MACHINES=1 \
	    ctest --output-on-failure -j $(JOBS) -L slow

check: host i386 kernel fuzz-build deb
	$(MAKE) test

check-slow: host i386 kernel
	$(MAKE) test-slow

# The installation CD in QEMU on this terminal, then the installed disk.
# AUTO=1 answers for the operator (for a terminal without a person).
DEMO    := build/demo
# Signed like an operator's media: a key made once and kept in the build
# folder signs the packages and the CD's release list, and the CD's
# installer checks them.
DEMO_KEY := build/demo-key
demo: i386 kernel
	@[ -f $(DEMO_KEY).pub ] || { rm -f $(DEMO_KEY); $(I386)/bin/bdl keygen $(DEMO_KEY); }
	media/build-media cdrom $(DEMO) --i386 $(I386) --cache $(CACHE) --key $(DEMO_KEY) \
	    --pubkey $(DEMO_KEY).pub
	/usr/bin/python3 tests/e2e/demo.py --iso $(DEMO)/korvanel-cdrom.iso $(if $(filter 1,$(AUTO)),--auto)

# Boot media: their sizes, and where the time of a whole CD installation in
# QEMU goes (tools against the installer), both layouts.
.PHONY: bench-media
bench-media: i386 kernel
	/usr/bin/python3 bench/media_sizes.py
	KORVANEL_CACHE=$(abspath $(CACHE)) KORVANEL_I386_DIR=$(abspath $(I386)) \
	    /usr/bin/python3 bench/installation_times.py

# The network benchmark (not part of check): a Release build of the server and
# the client, run in the sandbox's network namespace against tftpd-hpa + curl.
# Some of its rows only: BENCH_NET_ARGS="--clients 4,16 --blocks 4076 --no-page".
BENCH   := build/bench
BENCH_NET_ARGS ?=
.PHONY: bench-net bench-scale
bench-net: deps
	cmake -S . -B $(BENCH) -DCMAKE_BUILD_TYPE=Release -DKORVANEL_SANITIZE=OFF
	cmake --build $(BENCH) -j $(JOBS) --target netinstall-server netinstall-fetch bdl
	tests/sandbox/sandbox --net -- /usr/bin/python3 $(CURDIR)/bench/net_throughput.py \
	      --build $(CURDIR)/$(BENCH) $(BENCH_NET_ARGS)

# 64, 256 and 1000 simulated installers at once (netinstall-crowd), then each
# pausing 10-60 s before its start, against tftpd-hpa serving the same files
# to as many clients in the same run.
bench-scale: deps
	cmake -S . -B $(BENCH) -DCMAKE_BUILD_TYPE=Release -DKORVANEL_SANITIZE=OFF
	cmake --build $(BENCH) -j $(JOBS) --target netinstall-server netinstall-crowd bdl
	tests/sandbox/sandbox --net -- /usr/bin/python3 $(CURDIR)/bench/net_scale.py \
	      --build $(CURDIR)/$(BENCH)

# Optimised, without sanitizers; runs in the sandbox (it mounts a tmpfs).
bench-packages: deps
	cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DKORVANEL_SANITIZE=OFF
	cmake --build build/bench -j $(JOBS) --target package_install_bench bdl
	tests/sandbox/sandbox -- $(CURDIR)/build/bench/bin/package_install_bench \
	      --bdl $(CURDIR)/build/bench/bin/bdl

# Hostile packages against the library's limits: time and peak memory of the
# installer child for each (CASES="a b" picks some).
bench-hostile: deps
	cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DKORVANEL_SANITIZE=OFF
	cmake --build build/bench -j $(JOBS) --target hostile_package_bench
	tests/sandbox/sandbox -- $(CURDIR)/build/bench/bin/hostile_package_bench $(CASES)

# Optimised, without sanitizers; runs in the sandbox (file systems on loop
# devices).
bench-snapshot: deps
	cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DKORVANEL_SANITIZE=OFF
	cmake --build build/bench -j $(JOBS) --target snapshot_bench
	tests/sandbox/sandbox --host-dev -- $(CURDIR)/build/bench/bin/snapshot_bench

clean:
	rm -rf $(HOST) $(I386) $(FUZZ) $(DEMO) build/test-media
