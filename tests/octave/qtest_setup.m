## [root, hasModule, tool] = qtest_setup()
## The preamble of every Octave test: puts the toolbox, these helpers and the
## folder of the compiled module on the path, starts the global list of
## failures that qtest_check fills and qtest_finish reports, and says whether
## the module is there.
##
## The module's folder is the script's first argument (octave-cli
## test_x.m MODULE_DIR [REFERENCE_TOOL]), else the environment variable
## QUILLMERE_MODULE_DIR, else ROOT/build/linux/octave (the default
## preset's module). It is added last so that the module comes ahead of
## toolbox/quillmere.m. tool is the second argument,
## the quillmere_reference_step program that qtest_reference_step runs, or ""
## when none is given.
function [root, hasModule, tool] = qtest_setup()
  global failures
  failures = {};
  here = fileparts(mfilename("fullpath"));
  root = fileparts(fileparts(here));
  addpath(fullfile(root, "toolbox"));
  addpath(here);
  cli = argv();
  moduleDir = getenv("QUILLMERE_MODULE_DIR");
  if (numel(cli) > 0)
    moduleDir = cli{1};
  elseif (isempty(moduleDir))
    moduleDir = fullfile(root, "build", "linux", "octave");
  endif
  if (exist(moduleDir, "dir"))
    addpath(moduleDir);
  endif
  tool = "";
  if (numel(cli) > 1)
    tool = cli{2};
  endif
  hasModule = exist("quillmere") == 3;
endfunction
