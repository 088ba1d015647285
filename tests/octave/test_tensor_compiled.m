% The compiled tensor and step size against the M-code they replace (the
% fallback taken when quillmere_tensor_mex is not on the path), on the
% volumes where eigen-solvers go wrong; the refusals; the one warning.
addpath(fileparts(mfilename('fullpath')));
qtest_setup();
global failures
if exist('quillmere_tensor_mex', 'file') ~= 3
  printf('SKIP: quillmere_tensor_mex is not built\n');
  exit(0);
end
moduleDir = fileparts(which('quillmere_tensor_mex'));

% Without the helper: M-code, and the warning once per session.
rmpath(moduleDir);
u = single(randn(6, 5, 4));
lastwarn('');
[t11, t12] = quillmere_tensor(u, 'ced');
[~, id] = lastwarn();
qtest_check(strcmp(id, 'quillmere:tensor:noCompiled'), 'fallback warns');
lastwarn('');
[t11, t12] = quillmere_tensor(u, 'ced');
[~, id] = lastwarn();
qtest_check(isempty(id), 'fallback warns only once');
warning('off', 'quillmere:tensor:noCompiled');
addpath(moduleDir);

% Results of both, for one call.
function [c, m] = bothTensors(moduleDir, u, kind, opts)
  [c{1:6}] = quillmere_tensor(u, kind, opts{:});
  rmpath(moduleDir);
  [m{1:6}] = quillmere_tensor(u, kind, opts{:});
  addpath(moduleDir);
end

% Largest difference relative to the largest entry of the M-code's tensor.
function r = relativeDifference(c, m)
  scale = 0;
  d = 0;
  for k = 1:6
    scale = max(scale, max(abs(double(m{k}(:)))));
    d = max(d, max(abs(double(c{k}(:)) - double(m{k}(:)))));
  end
  r = d / max(scale, realmin);
end

n = 14;
[x1, x2, x3] = ndgrid(1:n, 1:n, n:-1:1);
mid = (n + 1) / 2;
randn('state', 3);
volumes = {
  'random',     single(randn(n, n - 2, n - 3))
  'isotropic',  single(cos(pi * x1 / 2) + cos(pi * x2 / 2) + cos(pi * x3 / 2))
  'tube',       single(exp(-((x1 - mid) .^ 2 + (x2 - mid) .^ 2) / 6))
  'sheet',      single(exp(-(x2 - mid) .^ 2 / 6))
  'flat',       single(7 * ones(n, n, n))
  'huge',       single(1e18 * randn(n, n, n))
  'tiny',       single(1e-18 * randn(n, n, n))
  'oblique',    single(x1 + 2 * x2 - x3 > n / 2)
};
% (kind, options): the defaults, and scales that leave structure to the
% eigenvalue maps (small C, no integration for eed).
kinds = {
  'structure', {}
  'ced',       {}
  'ced',       {'sigma', 0.5, 'rho', 1.5, 'alpha', 0.01, 'C', 1e-6}
  'eed',       {}
  'eed',       {'sigma', 0, 'rho', 1, 'spacing', [1 0.7 1.4]}
};
% The agreement the help text states.
tolerance = 1e-6;
worst = 0;
for v = 1:rows(volumes)
  for k = 1:rows(kinds)
    if strcmp(volumes{v, 1}, 'huge') && strcmp(kinds{k, 1}, 'structure')
      continue;   % J ~ 1e36 overflows single in both
    end
    [c, m] = bothTensors(moduleDir, volumes{v, 2}, kinds{k, 1}, kinds{k, 2});
    r = relativeDifference(c, m);
    worst = max(worst, r);
    qtest_check(r <= tolerance, sprintf('%s, %s (set %d): compiled differs from M-code by %g', ...
                                        volumes{v, 1}, kinds{k, 1}, k, r));
  end
end
printf('largest difference, relative to the largest tensor entry: %g\n', worst);

% The step-size bound: both sum in double, in different orders.
S = quillmere_stencils('central');
Ss = quillmere_stencils('sobel');
for v = [1 3 6]
  [t{1:6}] = quillmere_tensor(volumes{v, 2}, 'ced');
  for st = {S, Ss}
    [dtc, rc] = quillmere_max_dt(t{:}, st{1});
    rmpath(moduleDir);
    [dtm, rm] = quillmere_max_dt(t{:}, st{1});
    addpath(moduleDir);
    qtest_check(abs(rc - rm) <= 1e-12 * rm && abs(dtc - dtm) <= 1e-12 * dtm, ...
                sprintf('%s: bound %.17g compiled, %.17g M-code', volumes{v, 1}, rc, rm));
  end
end
% An empty volume: empty components of its size; a plane: one plane.
[c{1:6}] = quillmere_tensor(single(zeros(0, 3, 4)), 'ced');
qtest_check(isequal(size(c{6}), [0 3 4]) && isa(c{6}, 'single'), 'empty volume');
[c, m] = bothTensors(moduleDir, single(randn(9, 7)), 'eed', {});
qtest_check(relativeDifference(c, m) <= tolerance, 'a plane');
% An empty tensor: no bound, dt Inf, as before.
e = single(zeros(0, 3, 3));
qtest_check(isinf(quillmere_max_dt(e, e, e, e, e, e, S)), 'empty tensor: dt Inf');

% The data range behind the default C and lambda: the helper's against the
% M-code's, to the bit (NaN skipped, all-NaN NaN, empty 0, infinities), and
% the defaults it gives the same as passing them.
nanAt = single(randn(6, 5, 4));
nanAt([1 17 40]) = NaN;
ranges = {
  'NaN first and inside', nanAt
  'all NaN',              single(NaN(3, 4, 2))
  'empty',                single(zeros(0, 4, 2))
  'constant',             single(-2.5 * ones(5, 4, 3))
  'signed zeros',         single([-0 0; 0 -0])
  'one inf',              single([1 Inf 3 NaN])
  'both infinities',      single([-Inf 2 Inf])
  'only inf',             single([Inf Inf])
  'only -inf',            single([-Inf NaN -Inf])
  'odd length',           single(randn(1, 37))
};
for r = 1:rows(ranges)
  u = ranges{r, 2};
  expected = double(max(u(:))) - double(min(u(:)));
  if isempty(expected)
    expected = 0;
  end
  got = quillmere_tensor_mex(3, u);
  qtest_check(isa(got, 'double') && isscalar(got) && ...
              isequal(typecast(got, 'uint64'), typecast(expected, 'uint64')) || ...
              (isnan(got) && isnan(expected)), ...
              sprintf('range, %s: %.17g instead of %.17g', ranges{r, 1}, got, expected));
  if numel(u) > 0
    [c{1:6}] = quillmere_tensor(u, 'ced', 'rho', 1);
    [m{1:6}] = quillmere_tensor(u, 'ced', 'rho', 1, 'C', (0.005 * expected) ^ 4);
    [e{1:6}] = quillmere_tensor(u, 'eed');
    [f{1:6}] = quillmere_tensor(u, 'eed', 'lambda', 0.05 * expected);
    qtest_check(isequaln(c, m) && isequaln(e, f), ...
                sprintf('range, %s: default C or lambda not from the range', ranges{r, 1}));
  end
end
try
  quillmere_tensor_mex(3, [1 2 3]);
  qtest_check(false, 'range of a double accepted');
catch err
  qtest_check(strcmp(err.identifier, 'quillmere:tensor:notRealSingle'), 'range of a double refused');
end

% Refusals, with identifiers.
good = single(randn(5, 5, 5));
bad = {
  'quillmere:tensor:notRealSingle', {randn(5, 5, 5), 'ced'}
  'quillmere:tensor:notRealSingle', {complex(good, good), 'ced'}
  'quillmere:tensor:volume',        {single(randn(3, 3, 3, 2)), 'ced'}
  'quillmere:tensor:kind',          {good, 'cde'}
  'quillmere:tensor:kind',          {good, 3}
  'quillmere:tensor:scale',         {good, 'ced', 'sigma', NaN}
  'quillmere:tensor:scale',         {good, 'ced', 'rho', -1}
  'quillmere:tensor:scale',         {good, 'eed', 'sigma', [1 2]}
  'quillmere:tensor:scale',         {good, 'ced', 'rho', 1e9}
  'quillmere:tensor:options',       {good, 'ced', 'alpha', 'x'}
  'quillmere:tensor:options',       {good, 'ced', 'beta', 1}
  'quillmere:tensor:spacing',       {good, 'ced', 'spacing', [1 0 1]}
};
qtest_refusals(@quillmere_tensor, bad, 'refusal');
% The step size's refusals, with identifiers.
g = single(ones(4, 4, 3));
S = quillmere_stencils('central');
badDt = {
  'quillmere:maxdt:tensorSize',  {g, g, g, single(ones(4, 3, 4)), g, g, S}
  'quillmere:maxdt:tensorSize',  {g, g, g, g, g, single(ones(4, 4)), S}
  'quillmere:maxdt:tensorSize',  {g, g, single(ones(4, 4, 3, 2)), g, g, g, S}
  'quillmere:maxdt:stencilSize', {g, g, g, g, g, g, S.k1, S.k2, S.k3(1:26), S.k11, S.k22, ...
                                  S.k33, S.k12, S.k13, S.k23}
  'quillmere:maxdt:nargin',      {g, g, g, g, g, g, S.k1}
};
qtest_refusals(@quillmere_max_dt, badDt, 'step-size refusal');
try
  quillmere_tensor_mex(7);
  qtest_check(false, 'unknown mode accepted');
catch err
  qtest_check(strcmp(err.identifier, 'quillmere:tensor:mode'), 'unknown mode refused');
end

qtest_finish('compiled tensor tests passed');
