# Thin wrapper around CMake + Ninja.
BUILD ?= build
export CINDERVOX_BUILD := $(BUILD)
FUZZ_SECONDS ?= 8

.PHONY: all build programs build-deps run test layers unit blackbox browser fuzz lint-api bench deps clean install uninstall deploy-test

all: build

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release

# Everything, the unit tests included (they need GoogleTest, which deps installs; configuring
# again finds it when an earlier configure did not).
build: build-deps $(BUILD)/build.ninja
	cmake -S . -B $(BUILD) >/dev/null
	cmake --build $(BUILD)

# Only the two programs: what make run needs, in seconds.
programs: build-deps $(BUILD)/build.ninja
	cmake --build $(BUILD) --target sandbox-server fleet-dashboard

build-deps:
	@./tools/build_deps.sh

# make run ARGS="--port 8080" passes arguments to the server.
run: programs
	./$(BUILD)/sandbox-server $(ARGS)

deps:
	./tests/install_deps.sh

layers:
	python3 tools/check_layers.py

unit: build
	cd $(BUILD) && ctest --output-on-failure --no-tests=error

# The client tests among them run Node packages that deps installs. Every suite runs with
# the server's pool of prepared jail inits on (its default); the isolation suites run once
# more with it off, where each run's init is made when its command arrives.
UNPREPARED_TESTS := tests.blackbox.test_sandbox_escape tests.blackbox.test_jail_workspace \
	tests.blackbox.test_syscall_surface tests.blackbox.test_landlock tests.blackbox.test_agent_uids
blackbox: build deps
	python3 -m unittest discover -s tests/blackbox -t . -v
	CINDERVOX_PREPARED_RUNS=0 python3 -m unittest $(UNPREPARED_TESTS) -v

browser: build deps
	./tests/browser/run.sh

fuzz: deps
	FUZZ_SECONDS=$(FUZZ_SECONDS) ./fuzz/run.sh

# The OpenAPI description must pass the linter. It runs in an empty network namespace of
# its own, so it cannot reach out (no telemetry, no update check, no remote references).
lint-api: deps
	REDOCLY_TELEMETRY=off REDOCLY_SUPPRESS_UPDATE_NOTICE=true unshare --net \
	    tests/clients/node_modules/.bin/redocly lint docs/openapi.json

test: layers deps build unit lint-api blackbox browser fuzz

bench: build
	./bench/run.sh

clean:
	rm -rf $(BUILD)

# ---- install ----
# make install [PREFIX=/usr/local] [DESTDIR=<staging root>]. The example files of
# /etc/cindervox never replace an operator's; uninstall removes them only while they are
# still the examples as shipped. Without DESTDIR, install also creates the unprivileged
# unit's user and directories (CREATE_USER=no leaves that out).
PREFIX ?= /usr/local
BINDIR ?= $(PREFIX)/bin
DOCDIR ?= $(PREFIX)/share/doc/cindervox
UNITDIR ?= $(PREFIX)/lib/systemd/system
SYSUSERSDIR ?= $(PREFIX)/lib/sysusers.d
TMPFILESDIR ?= $(PREFIX)/lib/tmpfiles.d
CONFDIR ?= /etc/cindervox
UNITS := sandbox-server.service sandbox-server-unprivileged.service fleet-dashboard.service
EXAMPLES := config fleet agents

install: build
	install -d $(DESTDIR)$(BINDIR) $(DESTDIR)$(DOCDIR)/examples $(DESTDIR)$(UNITDIR) \
	    $(DESTDIR)$(SYSUSERSDIR) $(DESTDIR)$(TMPFILESDIR) $(DESTDIR)$(CONFDIR)
	install -m 0755 $(BUILD)/sandbox-server $(BUILD)/fleet-dashboard $(DESTDIR)$(BINDIR)/
	install -m 0644 README.md $(DESTDIR)$(DOCDIR)/README.md
	install -m 0644 deploy/README.md $(DESTDIR)$(DOCDIR)/deploy.md
	install -m 0644 deploy/haproxy.cfg $(DESTDIR)$(DOCDIR)/examples/haproxy.cfg
	install -d $(DESTDIR)$(DOCDIR)/examples/prometheus
	install -m 0644 deploy/prometheus/prometheus.yml deploy/prometheus/cindervox-alerts.yml $(DESTDIR)$(DOCDIR)/examples/prometheus/
	for f in $(EXAMPLES); do install -m 0600 deploy/etc/$$f $(DESTDIR)$(DOCDIR)/examples/$$f; done
	for f in $(EXAMPLES); do \
	    [ -e $(DESTDIR)$(CONFDIR)/$$f ] || install -m 0600 deploy/etc/$$f $(DESTDIR)$(CONFDIR)/$$f; \
	done
	for u in $(UNITS); do \
	    sed -e 's|@BINDIR@|$(BINDIR)|g' -e 's|@DOCDIR@|$(DOCDIR)|g' deploy/systemd/$$u \
	        > $(DESTDIR)$(UNITDIR)/$$u && chmod 0644 $(DESTDIR)$(UNITDIR)/$$u; \
	done
	install -m 0644 deploy/systemd/cindervox.sysusers $(DESTDIR)$(SYSUSERSDIR)/cindervox.conf
	install -m 0644 deploy/systemd/cindervox.tmpfiles $(DESTDIR)$(TMPFILESDIR)/cindervox.conf
	@if [ -z "$(DESTDIR)" ] && [ "$(CREATE_USER)" != no ] && command -v systemd-sysusers >/dev/null; then \
	    systemd-sysusers $(SYSUSERSDIR)/cindervox.conf && \
	    systemd-tmpfiles --create $(TMPFILESDIR)/cindervox.conf; \
	fi

uninstall:
	for f in $(EXAMPLES); do \
	    if cmp -s $(DESTDIR)$(CONFDIR)/$$f $(DESTDIR)$(DOCDIR)/examples/$$f; then rm -f $(DESTDIR)$(CONFDIR)/$$f; fi; \
	done
	-rmdir $(DESTDIR)$(CONFDIR) 2>/dev/null
	rm -f $(DESTDIR)$(BINDIR)/sandbox-server $(DESTDIR)$(BINDIR)/fleet-dashboard
	rm -rf $(DESTDIR)$(DOCDIR)
	for u in $(UNITS); do rm -f $(DESTDIR)$(UNITDIR)/$$u; done
	rm -f $(DESTDIR)$(SYSUSERSDIR)/cindervox.conf $(DESTDIR)$(TMPFILESDIR)/cindervox.conf

# The service units, install and uninstall into a staging root, and the scale-out set-up
# behind HAProxy (the blackbox target runs these too).
deploy-test: build deps
	python3 -m unittest tests.blackbox.test_install tests.blackbox.test_scale_out -v
