% The tensor, the step size and a whole demo iteration at 128^3 through
% octave-cli: the compiled helper against the M-code it replaces (the
% fallback), in one run. Threads follow Octave's nproc, so
%   OMP_NUM_THREADS=1 octave-cli --norc --quiet bench/bench_tensor_octave.m [MODULE_DIR]
% times one core. Prints the fastest of a few runs of each, in seconds of
% the process's processor time (cputime: on one thread, what the work costs
% even when other programs share the processors; on several, their sum).
% Compare the ratios, not the seconds.
args = argv();
here = fileparts(mfilename('fullpath'));
root = fileparts(here);
addpath(fullfile(root, 'toolbox'));
moduleDir = fullfile(root, 'build', 'octave');
if numel(args) >= 1
  moduleDir = args{1};
end
addpath(moduleDir);
warning('off', 'quillmere:tensor:noCompiled');
u = quillmere_phantom(128, 0.3, 1);
S = quillmere_stencils('central');

function [seconds, t, dt] = timeParts(u, S, runs)
  seconds = inf(1, 3);
  for r = 1:runs
    t0 = cputime;
    [t{1:6}] = quillmere_tensor(u, 'ced', 'sigma', 1, 'rho', 2);
    a = cputime - t0;
    t0 = cputime;
    dt = single(0.5 * quillmere_max_dt(t{:}, S));
    b = cputime - t0;
    t0 = cputime;
    quillmere(u, t{:}, S.k1, S.k2, S.k3, S.k11, S.k22, S.k33, S.k12, S.k13, S.k23, dt);
    c = cputime - t0;
    seconds = min(seconds, [a b c]);
  end
end

function s = timeCed(u, S, runs)
  s = inf;
  for r = 1:runs
    t0 = cputime;
    [t{1:6}] = quillmere_tensor(u, 'ced');
    quillmere_max_dt(t{:}, S);
    s = min(s, cputime - t0);
  end
end

compiledCed = timeCed(u, S, 5);
compiled = timeParts(u, S, 5);
% The fallback: the step module alone on the path, without the helper.
rmpath(moduleDir);
tmp = tempname();
mkdir(tmp);
copyfile(fullfile(moduleDir, 'quillmere.oct'), tmp);
addpath(tmp);
mcodeCed = timeCed(u, S, 1);
mcode = timeParts(u, S, 1);
rmpath(tmp);
confirm_recursive_rmdir(false);
rmdir(tmp, 's');

printf('128^3, %d thread(s) (nproc)\n', nproc());
printf('tensor ''ced'' (defaults) + max_dt:  compiled %.3f s, M-code %.3f s, ratio %.1fx\n', ...
       compiledCed, mcodeCed, mcodeCed / compiledCed);
printf('demo iteration (tensor + step size + step):\n');
printf('  compiled: %.3f s = tensor %.3f + step size %.3f + step %.3f\n', sum(compiled), compiled);
printf('  M-code:   %.3f s = tensor %.3f + step size %.3f + step %.3f\n', sum(mcode), mcode);
printf('  ratio %.1fx\n', sum(mcode) / sum(compiled));
