# The two commands for a fresh machine:
#   make demo    build quarvel and run it on the generated example pair
#   make check   build everything and run every test
# As root on a Debian-like system the packages they need are installed first; otherwise the
# missing ones are named.

BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PACKAGES = cmake make g++ libgtest-dev man-db dpkg-dev

.PHONY: demo check deps build clean

demo: build
	@echo '$$ quarvel a.bin b.bin out.bin -power1 2 -power2 0.5'
	@cd $(BUILD)/example && ../quarvel a.bin b.bin out.bin -power1 2 -power2 0.5
	@echo '$$ od -A d -t f4 out.bin'
	@cd $(BUILD)/example && od -A d -t f4 out.bin

check: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	    apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	  else \
	    echo "quarvel needs these packages:$$missing"; \
	    echo "install them with: sudo apt-get install$$missing"; exit 1; \
	  fi; \
	fi

clean:
	rm -rf $(BUILD)
