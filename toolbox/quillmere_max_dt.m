function [dt, radius] = quillmere_max_dt(t11, t12, t13, t22, t23, t33, varargin)
%QUILLMERE_MAX_DT Largest stable step size for QUILLMERE.
%   DT = QUILLMERE_MAX_DT(T11,T12,T13,T22,T23,T33, K1,K2,K3, K11,K22,K33,
%   K12,K13,K23) takes the tensor and the stencils of a call, in the order
%   of arguments 2 to 16 of QUILLMERE, and returns the largest step size DT
%   (a double; pass single(DT) to QUILLMERE) for which the step is stable
%   by the bound below.
%   DT = QUILLMERE_MAX_DT(T11,...,T33, S) takes the stencils as the struct
%   that QUILLMERE_STENCILS returns.
%   [DT, R] = QUILLMERE_MAX_DT(...) also returns the bound R used, DT = 2/R
%   (DT = Inf when R = 0).
%
%   The bound. For a fixed tensor the step is linear in u: at every voxel
%   the module forms a weighted sum L u of the 5x5x5 neighbourhood, with
%   weights
%     w(o) = sum_i<=j c_ij Tij k_ij(o) + sum_i q_i k_i(o),   c_ii = 1,
%                                                            c_ij = 2 (i~=j),
%   q_i the stencil divergence of tensor row i at the voxel (first
%   derivative stencils embedded in the middle of the 5x5x5 array), and
%   sets u + dt L u. Let R = max over voxels of sum_o |w(o)| (clamped taps
%   only merge weights, so this bounds every row of L also at the faces).
%   By Gershgorin's theorem every eigenvalue of L lies within distance R of
%   0, so DT = 2/R is the largest step for which the modes of a symmetric,
%   non-positive L (as for a constant tensor with the symmetric stencils of
%   QUILLMERE_STENCILS) cannot grow in a two-buffer step:
%   |1 + dt lambda| <= 1 for every lambda in [-R, 0].
%
%   The in-place sweep. QUILLMERE reads already-updated values behind the
%   voxel, so its step solves (I/dt - Lb) u_new = (I/dt + Ld + La) u, with
%   L = Lb + Ld + La split into the weights behind the voxel, at it and
%   ahead of it. This is the splitting A = M - N of A = -L with
%   M = I/dt - Lb. For symmetric non-positive L the Householder-John
%   theorem makes it stable when M + M' - A = 2 I/dt + Ld is positive
%   definite, i.e. when dt < 2 / max |L(e,e)|. Every row of L sums to zero
%   (stencils annihilate constants), so R >= 2 max |L(e,e)| and DT = 2/R
%   is at most half of what the sweep tolerates: the bound is safe for the
%   two-buffer update and for the sweep alike.
%
%   At DT itself the highest frequencies of a two-buffer step flip sign
%   without decaying; for smoothing, steps of DT/2 (all modes damped
%   monotonically) are the usual choice, and what QUILLMERE_DEMO uses. With
%   a tensor that varies from voxel to voxel the first-order terms make L
%   non-symmetric, and with the smoothed stencil families L can then hold a
%   mode with a small positive real part: a slow growth (a fraction of a
%   percent per unit time in the tests) that belongs to the discretised
%   equation itself and that no step size removes. DT keeps the step from
%   adding growth of its own; the margin of DT/2 is welcome there too.
%
%   The bound is computed by the compiled helper quillmere_tensor_mex (on
%   the host's threads; the maximum over voxels is exact, so the thread count
%   cannot change it) when every input is a real single array, as QUILLMERE
%   takes them, and the helper is on the path; otherwise in M-code, with the
%   warning quillmere:tensor:noCompiled once per session when the helper is
%   missing. The two agree to within 1e-12 relative: both sum in double, in
%   orders that differ. Voxels where the sum is NaN are left out.
%
%   Example: for the unit tensor and 'central' stencils on a unit grid L is
%   the 7-point Laplacian, R = 12 and DT = 1/6.
%
%   See also QUILLMERE, QUILLMERE_STENCILS, QUILLMERE_TENSOR.

if numel(varargin) == 1 && isstruct(varargin{1})
  S = varargin{1};
  k = {S.k1, S.k2, S.k3, S.k11, S.k22, S.k33, S.k12, S.k13, S.k23};
elseif numel(varargin) == 9
  k = varargin;
else
  error('quillmere:maxdt:nargin', ...
        'Give the six tensor components and then nine stencils or one stencil struct.');
end
T = {t11, t12, t13, t22, t23, t33};
sz = size(t11);
for n = 2:6
  szn = size(T{n});
  if numel(szn) ~= numel(sz) || any(szn ~= sz)
    error('quillmere:maxdt:tensorSize', 'All tensor components must have one size.');
  end
end
for n = 1:9
  want = 27;
  if n > 3
    want = 125;
  end
  if numel(k{n}) < want
    error('quillmere:maxdt:stencilSize', 'Stencil %d needs %d weights.', n, want);
  end
end

% The compiled bound takes real single arrays of at most three dimensions,
% what QUILLMERE itself takes; anything else is done here in M-code.
all15 = [T, k];
compiled = numel(sz) <= 3 && all(cellfun('isclass', all15, 'single')) && all(cellfun('isreal', all15));
if compiled && exist('quillmere_tensor_mex', 'file') == 3
  radius = quillmere_tensor_mex(2, T{:}, k{:});
  if radius == 0
    dt = Inf;
  else
    dt = 2 / radius;
  end
  return;
end
persistent warned
if compiled && isempty(warned)
  warned = true;
  warning('quillmere:tensor:noCompiled', ...
          ['quillmere_tensor_mex is not on the path: computing the step size in M-code, ' ...
           'much more slowly (build the module and add its folder to the path).']);
end
for n = 1:6
  T{n} = double(T{n});
end
for n = 1:9
  want = 27;
  if n > 3
    want = 125;
  end
  k{n} = double(reshape(k{n}(1:want), round(want ^ (1 / 3)) * [1 1 1]));
end

% Divergence of the tensor rows, q_i = sum_j (k_j correlated with T_ij).
row = {[1 2 3], [2 4 5], [3 5 6]};   % T index of (i,1), (i,2), (i,3)
q = cell(1, 3);
for i = 1:3
  q{i} = correlateClamped(T{row{i}(1)}, k{1}) + correlateClamped(T{row{i}(2)}, k{2}) ...
         + correlateClamped(T{row{i}(3)}, k{3});
end

% Voxel weights per 5x5x5 offset, and their absolute sum.
big = cell(1, 3);
for i = 1:3
  big{i} = zeros(5, 5, 5);
  big{i}(2:4, 2:4, 2:4) = k{i};
end
coef = {T{1}, T{4}, T{6}, 2 * T{2}, 2 * T{3}, 2 * T{5}};   % k11 k22 k33 k12 k13 k23
R = zeros(sz);
for m = 1:125
  wk = [k{4}(m), k{5}(m), k{6}(m), k{7}(m), k{8}(m), k{9}(m)];
  wf = [big{1}(m), big{2}(m), big{3}(m)];
  if all(wk == 0) && all(wf == 0)
    continue;
  end
  w = zeros(sz);
  for n = find(wk ~= 0)
    w = w + wk(n) * coef{n};
  end
  for i = find(wf ~= 0)
    w = w + wf(i) * q{i};
  end
  R = R + abs(w);
end
radius = max(R(:));
if isempty(radius) || radius == 0
  radius = 0;
  dt = Inf;
else
  dt = 2 / radius;
end
end

function c = correlateClamped(t, k)
% c(x) = sum_o k(o) t(clamp(x + o)) for a 3x3x3 k.
idx = cell(1, 3);
for d = 1:3
  n = size(t, d);
  idx{d} = [1, 1:n, n];
end
tp = t(idx{1}, idx{2}, idx{3});
c = convn(tp, k(end:-1:1, end:-1:1, end:-1:1), 'valid');
end
