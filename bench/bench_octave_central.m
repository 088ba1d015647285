% One step at 128^3 with the central-difference stencils, through octave-cli:
% the quillmere module against the same step written by hand in Octave
% (central differences, edge samples repeated, two buffers), in one run.
% Prints ns per voxel of each (fastest of five calls) and their ratio.
%
%   OMP_NUM_THREADS=1 octave-cli --norc bench/bench_octave_central.m build/ci/octave
%
% OMP_NUM_THREADS=1 holds both to one core (Octave's nproc, which the module
% asks for its thread count, follows it).
args = argv();
here = fileparts(mfilename('fullpath'));
addpath(fullfile(here, '..', 'toolbox'));
if numel(args) >= 1
  addpath(args{1});  % ahead of the toolbox's quillmere.m
end

n = 128;
rand('seed', 1);
u = single(rand(n, n, n));
% A smooth positive definite tensor: identity plus a small symmetric part.
t11 = single(1 + 0.1 * rand(n, n, n));
t22 = single(1 + 0.1 * rand(n, n, n));
t33 = single(1 + 0.1 * rand(n, n, n));
t12 = single(0.05 * rand(n, n, n));
t13 = single(0.05 * rand(n, n, n));
t23 = single(0.05 * rand(n, n, n));
S = quillmere_stencils('central');
dt = single(0.05);

function out = handStep(u, t11, t12, t13, t22, t23, t33, dt)
  % The same equation, two buffers: every difference reads the unchanged u.
  n1 = size(u, 1); n2 = size(u, 2); n3 = size(u, 3);
  i = [1 1:n1 n1]; j = [1 1:n2 n2]; k = [1 1:n3 n3];
  c1 = 2:n1 + 1; c2 = 2:n2 + 1; c3 = 2:n3 + 1;
  P = u(i, j, k);
  d1 = @(A) (A(c1 + 1, c2, c3) - A(c1 - 1, c2, c3)) / 2;
  d2 = @(A) (A(c1, c2 + 1, c3) - A(c1, c2 - 1, c3)) / 2;
  d3 = @(A) (A(c1, c2, c3 + 1) - A(c1, c2, c3 - 1)) / 2;
  u1 = d1(P); u2 = d2(P); u3 = d3(P);
  u11 = P(c1 + 1, c2, c3) - 2 * u + P(c1 - 1, c2, c3);
  u22 = P(c1, c2 + 1, c3) - 2 * u + P(c1, c2 - 1, c3);
  u33 = P(c1, c2, c3 + 1) - 2 * u + P(c1, c2, c3 - 1);
  u12 = (P(c1 + 1, c2 + 1, c3) - P(c1 + 1, c2 - 1, c3) - P(c1 - 1, c2 + 1, c3) ...
         + P(c1 - 1, c2 - 1, c3)) / 4;
  u13 = (P(c1 + 1, c2, c3 + 1) - P(c1 + 1, c2, c3 - 1) - P(c1 - 1, c2, c3 + 1) ...
         + P(c1 - 1, c2, c3 - 1)) / 4;
  u23 = (P(c1, c2 + 1, c3 + 1) - P(c1, c2 + 1, c3 - 1) - P(c1, c2 - 1, c3 + 1) ...
         + P(c1, c2 - 1, c3 - 1)) / 4;
  T11 = t11(i, j, k); T12 = t12(i, j, k); T13 = t13(i, j, k);
  T22 = t22(i, j, k); T23 = t23(i, j, k); T33 = t33(i, j, k);
  q1 = d1(T11) + d2(T12) + d3(T13);
  q2 = d1(T12) + d2(T22) + d3(T23);
  q3 = d1(T13) + d2(T23) + d3(T33);
  du = t11 .* u11 + t22 .* u22 + t33 .* u33 + 2 * (t12 .* u12 + t13 .* u13 + t23 .* u23) ...
       + q1 .* u1 + q2 .* u2 + q3 .* u3;
  out = u + dt * du;
end

voxels = n ^ 3;
best = inf(1, 2);
for rep = 1:5
  tic;
  a = quillmere(u, t11, t12, t13, t22, t23, t33, S.k1, S.k2, S.k3, ...
                S.k11, S.k22, S.k33, S.k12, S.k13, S.k23, dt);
  best(1) = min(best(1), toc);
  tic;
  b = handStep(u, t11, t12, t13, t22, t23, t33, dt);
  best(2) = min(best(2), toc);
end
ns = best * 1e9 / voxels;
printf('128^3 central, nproc %d: quillmere %.1f ns/voxel, by hand %.1f ns/voxel, ratio %.1fx\n', ...
       nproc(), ns(1), ns(2), ns(2) / ns(1));
% The two differ: quillmere steps in place, later voxels reading updated ones.
printf('largest difference between the two: %g\n', max(abs(double(a(:)) - double(b(:)))));
