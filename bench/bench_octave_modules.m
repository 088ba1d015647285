% Two builds of the Octave modules against each other in one octave-cli run,
% taking turns so that both meet the same machine load:
%
%   OMP_NUM_THREADS=1 octave-cli --norc --quiet bench/bench_octave_modules.m DIR_A DIR_B [ROUNDS]
%
% Each folder holds quillmere and quillmere_tensor_mex (e.g. an older build's
% .mex files and this build's .oct files). Per build, the fastest of ROUNDS
% (default 5) in processor time (cputime) at 128^3:
%   - quillmere_tensor(u, 'ced') + quillmere_max_dt,
%   - the demo's iteration (tensor, step size, step),
%   - one step with the central stencils, in ns per voxel,
% and beside them the floor the host's copy sets: what Octave takes to copy
% one 128^3 single volume (a tensor hands back six, a step one). Compare
% the ratios, not the seconds.
args = argv();
if numel(args) < 2
  error('usage: octave-cli bench_octave_modules.m DIR_A DIR_B [ROUNDS]');
end
dirs = args(1:2);
rounds = 5;
if numel(args) >= 3
  rounds = str2double(args{3});
end
here = fileparts(mfilename('fullpath'));
addpath(fullfile(here, '..', 'toolbox'));
warning('off', 'quillmere:tensor:noCompiled');

n = 128;
u = quillmere_phantom(n, 0.3, 1);
S = quillmere_stencils('central');
rand('seed', 1);
t = {single(1 + 0.1 * rand(n, n, n)), single(0.05 * rand(n, n, n)), ...
     single(0.05 * rand(n, n, n)), single(1 + 0.1 * rand(n, n, n)), ...
     single(0.05 * rand(n, n, n)), single(1 + 0.1 * rand(n, n, n))};
k = {S.k1, S.k2, S.k3, S.k11, S.k22, S.k33, S.k12, S.k13, S.k23};

% ced + max_dt | demo tensor | demo step size | demo step | central step
best = inf(2, 5);
copyBest = inf;
for r = 1:rounds
  for b = 1:2
    addpath(dirs{b});
    clear quillmere quillmere_tensor_mex quillmere_tensor quillmere_max_dt
    % Loading the modules and parsing the M-files stay out of the times.
    w = cell(1, 6);
    [w{:}] = quillmere_tensor(u(1:8, 1:8, 1:8), 'ced');
    quillmere(u(1:8, 1:8, 1:8), w{:}, k{:}, single(quillmere_max_dt(w{:}, S) / 2));
    s = zeros(1, 5);
    t0 = cputime;
    c = cell(1, 6);
    [c{:}] = quillmere_tensor(u, 'ced');
    quillmere_max_dt(c{:}, S);
    s(1) = cputime - t0;
    t0 = cputime;
    [c{:}] = quillmere_tensor(u, 'ced', 'sigma', 1, 'rho', 2);
    s(2) = cputime - t0;
    t0 = cputime;
    dt = single(0.5 * quillmere_max_dt(c{:}, S));
    s(3) = cputime - t0;
    t0 = cputime;
    quillmere(u, c{:}, k{:}, dt);
    s(4) = cputime - t0;
    t0 = cputime;
    quillmere(u, t{:}, k{:}, single(0.05));
    s(5) = cputime - t0;
    best(b, :) = min(best(b, :), s);
    rmpath(dirs{b});
    clear c
  end
  % The copy a MEX return makes: a new array and every sample moved.
  t0 = cputime;
  v = u;
  v(1) = 0;
  copyBest = min(copyBest, cputime - t0);
  clear v
end

voxels = n ^ 3;
printf('128^3, nproc %d, fastest of %d rounds (processor time)\n', nproc(), rounds);
printf('  A: %s\n  B: %s\n', dirs{1}, dirs{2});
printf('copy of one 128^3 single volume: %.2f ms (%.2f ns/voxel)\n', 1e3 * copyBest, ...
       1e9 * copyBest / voxels);
labels = {'tensor ''ced'' + max_dt', 'demo iteration', 'central step'};
picks = {1, 2:4, 5};
copies = [6, 7, 1];
for i = 1:3
  a = sum(best(1, picks{i}));
  b = sum(best(2, picks{i}));
  printf('%-22s A %.4f s  B %.4f s  A/B %.3f  A-B %.2f ms (copies avoided: %d, %.2f ms)\n', ...
         labels{i}, a, b, a / b, 1e3 * (a - b), copies(i), 1e3 * copies(i) * copyBest);
end
printf('central step: A %.2f ns/voxel, B %.2f ns/voxel\n', 1e9 * best(1, 5) / voxels, ...
       1e9 * best(2, 5) / voxels);
printf('demo parts A: tensor %.4f, step size %.4f, step %.4f s\n', best(1, 2:4));
printf('demo parts B: tensor %.4f, step size %.4f, step %.4f s\n', best(2, 2:4));
