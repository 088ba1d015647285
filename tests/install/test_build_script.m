## octave-cli test_build_script.m OUTDIR REFERENCE_TOOL
## quillmere_build through Octave's own mex: it refuses flags that would fuse
## or reorder operations (leaving the caller's environment as it was and
## making nothing), refuses unknown options, then builds the module into
## OUTDIR with its help beside it and writes nothing into the checkout. The
## module's bits, kernels and FMA scan are separate tests on OUTDIR.
1;

function id = error_id_of(f)
  id = "";
  try
    f();
  catch err
    id = err.identifier;
  end_try_catch
endfunction

## Every file under the checkout's source folders, to show that a build
## leaves them alone.
function names = source_tree(root)
  names = {};
  for d = {"core", "gateway", "hosts", "toolbox"}
    [~, out] = system(sprintf('find "%s" -type f | sort', fullfile(root, d{1})));
    names = [names, strsplit(strtrim(out), "\n")];
  endfor
endfunction

global failures
failures = {};
here = fileparts(mfilename("fullpath"));
root = fileparts(fileparts(here));
addpath(fullfile(root, "tests", "octave"));
## As the README says: from the checkout's root, the toolbox added by a
## relative name.
cd(root);
addpath("toolbox");
cli = argv();
outdir = cli{1};
tool = cli{2};
confirm_recursive_rmdir(false);
if (exist(outdir, "dir"))
  rmdir(outdir, "s");
endif

## The help says how to use it and what it refuses.
text = evalc("help quillmere_build");
for must = {"addpath toolbox; quillmere_build", "QUILLMERE_BUILD(OUTDIR)", ...
            "quillmere:build:fusingFlags", "quillmere:build:noSources", "-ffp-contract=off"}
  qtest_check(! isempty(strfind(text, must{1})), ["help quillmere_build mentions " must{1}]);
endfor

## Flags that must be refused, as a user might set them.
refused = {"-O2 -ffast-math", "-Ofast", "-O2 -funsafe-math-optimizations", ...
           "-O2 -fassociative-math", "-O2 -ffp-contract=fast", "-O2 -ffp-contract=on", ...
           "-O2 -mfma", "-O2 -march=native", "-g -O2 -ffast-math -fno-fast-math"};
saved = getenv("CXXFLAGS");
for i = 1:numel(refused)
  setenv("CXXFLAGS", refused{i});
  id = error_id_of(@() quillmere_build(outdir));
  qtest_check(strcmp(id, "quillmere:build:fusingFlags"),
              sprintf("CXXFLAGS='%s' refused with quillmere:build:fusingFlags (got '%s')",
                      refused{i}, id));
  qtest_check(strcmp(getenv("CXXFLAGS"), refused{i}),
              sprintf("CXXFLAGS='%s' left as it was after the refusal", refused{i}));
  qtest_check(! isfile(fullfile(outdir, "quillmere.oct")),
              sprintf("CXXFLAGS='%s': no module made", refused{i}));
endfor
unsetenv("CXXFLAGS");  # an empty one would mean "no optimisation" to mkoctfile
if (! isempty(saved))
  setenv("CXXFLAGS", saved);
endif

## CFLAGS is read too (mkoctfile passes it to C sources).
setenv("CFLAGS", "-O3 -ffast-math");
id = error_id_of(@() quillmere_build(outdir));
qtest_check(strcmp(id, "quillmere:build:fusingFlags"), "CFLAGS with -ffast-math refused");
unsetenv("CFLAGS");

qtest_check(strcmp(error_id_of(@() quillmere_build(outdir, "fast")), "quillmere:build:option"),
            "an unknown option is refused");
qtest_check(strcmp(error_id_of(@() quillmere_build(outdir, 3)), "quillmere:build:option"),
            "a non-text option is refused");

## A copy of the toolbox without the sources beside it (as in the package
## or the bundle) says so; an output folder that cannot be made is named.
lonely = tempname();
mkdir(fullfile(lonely, "toolbox"));
copyfile(fullfile(root, "toolbox", "quillmere_build.m"), fullfile(lonely, "toolbox"));
addpath(fullfile(lonely, "toolbox"));
qtest_check(strcmp(error_id_of(@() quillmere_build(fullfile(lonely, "out"))),
                   "quillmere:build:noSources"), "a toolbox without sources is refused");
rmpath(fullfile(lonely, "toolbox"));
rmdir(lonely, "s");
blocker = [tempname() ".txt"];
fclose(fopen(blocker, "w"));
qtest_check(strcmp(error_id_of(@() quillmere_build(fullfile(blocker, "sub"))),
                   "quillmere:build:outdir"), "an output folder under a file is refused");
delete(blocker);

## The build itself, into OUTDIR (made because it is missing).
before = source_tree(root);
lastwarn("");
files = quillmere_build(outdir);
[msg, id] = lastwarn();
qtest_check(isempty(msg), sprintf("the build warns of nothing (got %s: %s)", id, msg));
module = fullfile(outdir, "quillmere.oct");
qtest_check(iscell(files) && numel(files) >= 1 && strcmp(files{1}, module),
            "returns the path of the module it made");
qtest_check(isfile(module), "module made in OUTDIR");
qtest_check(isfile(fullfile(outdir, "quillmere.m")),
            "the help file is copied beside the module");
qtest_check(strcmp(getenv("CXXFLAGS"), saved), "CXXFLAGS restored after the build");
if (isempty(saved))
  qtest_check(system("printenv CXXFLAGS > /dev/null") != 0,
              "CXXFLAGS unset again, not left empty (mkoctfile would not optimise)");
endif
qtest_check(isequal(source_tree(root), before), "nothing written into the checkout");

qtest_check(strcmp(which("quillmere_stencils"), fullfile(root, "toolbox", "quillmere_stencils.m"))
            || strcmp(which("quillmere_stencils"), fullfile("toolbox", "quillmere_stencils.m")),
            "the toolbox, added by a relative name, is still on the path");

## The module answers from OUTDIR, and help finds its text.
addpath(outdir);
qtest_check(strcmp(which("quillmere"), module), "the new module is the one on the path");
text = evalc("help quillmere");
qtest_check(! isempty(strfind(text, "column-major")), "help quillmere shows the call's text");
args = qtest_make_inputs([6 5 4], 7);
qtest_check(isequal(qtest_bits(quillmere(args{:})), qtest_bits(qtest_reference_step(tool, args))),
            "a small step equals the core's bit for bit");

if (isempty(failures))
  printf("quillmere_build: all checks passed\n");
  exit(0);
endif
printf("%d failures\n", numel(failures));
exit(1);
