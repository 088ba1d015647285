## octave-cli test_module_threads.m MODULE_DIR REFERENCE_TOOL
## The Octave module on several threads: with nproc answering the machine's
## processors (more than one here), one, and more than there are, it gives
## the core's bits on a volume big enough to be split; and it can be cleared
## (clear quillmere, clear mex, clear functions) between calls and called
## again, over and over, without a crash.
1;

addpath(fileparts(mfilename("fullpath")));
[~, ~, tool] = qtest_setup();

unsetenv("OMP_NUM_THREADS");
printf("nproc: %d\n", nproc());
qtest_check(nproc() > 1, "the machine offers more than one processor (else threads go untested)");

args = qtest_make_inputs([64 48 64], 17);
ref = qtest_bits(qtest_reference_step(tool, args));
for setting = {"", "1", "3", "7"}
  if (isempty(setting{1}))
    unsetenv("OMP_NUM_THREADS");
  else
    setenv("OMP_NUM_THREADS", setting{1});
  endif
  label = sprintf("nproc %d", nproc());
  qtest_check(isequal(qtest_bits(quillmere(args{:})), ref), [label ": bits equal the core's"]);
endfor
unsetenv("OMP_NUM_THREADS");

## Script functions go with "clear functions"; function files on the path
## are loaded again, so the loop records failures and reports them after.
small = qtest_make_inputs([9 7 6], 18);
small_ref = qtest_bits(quillmere(small{:}));
cleared = {};
for round = 1:6
  clearing = {"clear quillmere", "clear mex", "clear functions"}{mod(round - 1, 3) + 1};
  eval(clearing);
  if (! isequal(qtest_bits(quillmere(args{:})), ref))
    cleared{end+1} = [clearing ": threaded call after it"];
  endif
  eval(clearing);
  if (! isequal(qtest_bits(quillmere(small{:})), small_ref))
    cleared{end+1} = [clearing ": small call after it"];
  endif
endfor
for i = 1:numel(cleared)
  qtest_check(false, cleared{i});
endfor

qtest_finish("module threads: all passed");
