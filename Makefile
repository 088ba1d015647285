# The two entry points of the project. Each installs what it needs from
# Debian's packages when missing, then configures, builds and runs.
.PHONY: demo test clean

demo:
	tools/install-deps.sh demo
	cmake --preset default
	cmake --build --preset default -j 2
	octave-cli --norc --quiet --no-history --no-window-system tools/octave_first_step.m

test:
	tools/install-deps.sh test
	cmake --preset ci
	cmake --build --preset ci -j 2
	ctest --preset ci -j 2

clean:
	rm -rf build
