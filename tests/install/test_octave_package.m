## octave-cli test_octave_package.m TARBALL VERSION WORKDIR REFERENCE_TOOL
## The Octave package as a user meets it, in a throw-away package prefix
## under WORKDIR (HOME should point there too, so that nobody's own
## ~/.octave_packages is read or written): pkg install, pkg load, help, the
## version pkg and ver report, the bits of the installed module against the
## core's, a short demo, and pkg uninstall leaving nothing behind. A copy of
## the installed module's folder stays in WORKDIR/installed_module for the
## kernel and FMA checks that follow.
1;

global failures
failures = {};
here = fileparts(mfilename("fullpath"));
root = fileparts(fileparts(here));
addpath(fullfile(root, "tests", "octave"));  # qtest_* helpers only, not the toolbox
cli = argv();
[tarball, version, work, tool] = deal(cli{1:4});

confirm_recursive_rmdir(false);
if (exist(work, "dir"))
  rmdir(work, "s");
endif
mkdir(work);
pkg("prefix", fullfile(work, "share"), fullfile(work, "arch"));
pkg("local_list", fullfile(work, "octave_packages"));
pkg("global_list", fullfile(work, "global_packages"));

## Flags that would fuse operations stop the build, and nothing is installed.
saved = getenv("CXXFLAGS");
setenv("CXXFLAGS", "-O2 -ffast-math");
refused = false;
try
  evalc('pkg("install", tarball)');
catch err
  refused = ! isempty(strfind(err.message, "make"));
end_try_catch
unsetenv("CXXFLAGS");  # an empty one would mean "no optimisation" to mkoctfile
if (! isempty(saved))
  setenv("CXXFLAGS", saved);
endif
qtest_check(refused, "pkg install with CXXFLAGS=-ffast-math fails in make");
qtest_check(isempty(pkg("list")), "nothing installed after the refused build");

pkg("install", tarball);
pkg("load", "quillmere");
list = pkg("list");
qtest_check(numel(list) == 1 && strcmp(list{1}.name, "quillmere"),
            "the package is the only one in the throw-away prefix");
qtest_check(strcmp(list{1}.version, version),
            sprintf("pkg list reports version %s (got %s)", version, list{1}.version));
qtest_check(! isempty(strfind(evalc("ver quillmere"), version)), "ver shows the version");

module = which("quillmere");
qtest_check(strncmp(module, work, numel(work)) && numel(module) > 4
            && strcmp(module(end-3:end), ".oct"),
            sprintf("quillmere is the installed module (got %s)", module));
text = evalc("help quillmere");
qtest_check(! isempty(strfind(text, "column-major")) && ! isempty(strfind(text, "quillmere:nargin")),
            "help quillmere shows the call's text");
for name = {"quillmere_stencils", "quillmere_tensor", "quillmere_max_dt", "quillmere_demo"}
  qtest_check(exist(name{1}, "file") == 2, [name{1} " installed"]);
endfor
qtest_check(isempty(which("quillmere_build")), "no build script in the package");

## Bits against the core's, on shapes that reach the vector paths and their
## remainders, and on ones too thin for them.
shapes = {[1 1 1], [4 5], [7 3 2], [37 29 11], [16 16 16], [130 2 2], [3 4 2 2], [0 3 2]};
for s = 1:numel(shapes)
  args = qtest_make_inputs(shapes{s}, 40 + s);
  qtest_check(isequal(qtest_bits(quillmere(args{:})), qtest_bits(qtest_reference_step(tool, args))),
              sprintf("u of %s: bits equal the core's", mat2str(shapes{s})));
endfor

## The demo, small and quiet, with its picture in the work folder.
r = quillmere_demo("steps", 2, "size", 20, "output", fullfile(work, "demo"), "quiet", true);
qtest_check(isfile(r.png) && r.psnrAfter > r.psnrBefore,
            sprintf("demo: %s written, PSNR %.1f dB -> %.1f dB", r.png, r.psnrBefore, r.psnrAfter));

## A copy of the installed module for the checks that follow, then the
## uninstall must take the package away.
copyfile(fileparts(module), fullfile(work, "installed_module"));
pkg("unload", "quillmere");
pkg("uninstall", "quillmere");
qtest_check(isempty(pkg("list")), "pkg uninstall removes the package");
qtest_check(exist("quillmere") == 0, "quillmere is gone after uninstall");

if (isempty(failures))
  printf("Octave package %s: all checks passed\n", version);
  exit(0);
endif
printf("%d failures\n", numel(failures));
exit(1);
