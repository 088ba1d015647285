function [L, G, rowAbs] = qtest_step_matrices(t11, t12, t13, t22, t23, t33, S, dt)
%QTEST_STEP_MATRICES The step as matrices, for stability tests.
%   [L, G, ROWABS] = QTEST_STEP_MATRICES(T11,...,T33, S, DT), with S a
%   stencil struct from QUILLMERE_STENCILS:
%     L       the sparse operator of the step in double precision, clamped
%             taps merged; a two-buffer step is u + DT*L*u.
%     G       the matrix of the in-place sweep, u_new = G*u, where every
%             voxel reads the new values of the voxels before it (needs DT).
%     ROWABS  per voxel, the sum of the absolute weights over the 125
%             offsets before clamped taps merge (what QUILLMERE_MAX_DT
%             bounds).
%   Rows and columns index voxels in linear (column-major) order. Written
%   independently of QUILLMERE_MAX_DT: the weights are gathered tap by tap.
n = [size(t11, 1), size(t11, 2), size(t11, 3)];
N = prod(n);
T = {double(t11), double(t12), double(t13), double(t22), double(t23), double(t33)};
comp = [1 2 3; 2 4 5; 3 5 6];   % T index of entry (i, j)
kf = {double(S.k1), double(S.k2), double(S.k3)};
kh = {double(S.k11), double(S.k22), double(S.k33), double(S.k12), double(S.k13), double(S.k23)};
% Second-derivative stencils in call order: direction pair (i, j) and the
% tensor component that weights it.
hc = [1 1 1; 2 2 4; 3 3 6; 1 2 2; 1 3 3; 2 3 5];
rows = []; cols = []; vals = [];
rowAbs = zeros(N, 1);
[i1, i2, i3] = ndgrid(1:n(1), 1:n(2), 1:n(3));
e = (1:N)';
at = @(d1, d2, d3) sub2ind(n, min(max(i1(:) + d1, 1), n(1)), min(max(i2(:) + d2, 1), n(2)), ...
                           min(max(i3(:) + d3, 1), n(3)));
% q_i at every voxel: sum over the 27 taps and j of k_j(tap) * T_ij(tap).
q = zeros(N, 3);
for m = 0:26
  a = mod(m, 3); b = mod(floor(m / 3), 3); c = floor(m / 9);
  idx = at(a - 1, b - 1, c - 1);
  for i = 1:3
    for j = 1:3
      q(:, i) = q(:, i) + kf{j}(m + 1) * T{comp(i, j)}(idx);
    end
  end
end
for m = 0:124
  a = mod(m, 5); b = mod(floor(m / 5), 5); c = floor(m / 25);
  idx = at(a - 2, b - 2, c - 2);
  w = zeros(N, 1);
  for p = 1:6
    f = 1 + (hc(p, 1) ~= hc(p, 2));
    w = w + f * T{hc(p, 3)}(:) * kh{p}(m + 1);
  end
  if all([a b c] >= 1) && all([a b c] <= 3)
    mf = (a - 1) + 3 * (b - 1) + 9 * (c - 1) + 1;
    for i = 1:3
      w = w + q(:, i) * kf{i}(mf);
    end
  end
  rowAbs = rowAbs + abs(w);
  rows = [rows; e]; cols = [cols; idx]; vals = [vals; w];
end
L = sparse(rows, cols, vals, N, N);
if nargout > 1 && nargin > 7
  I = speye(N);
  Lb = tril(L, -1);
  G = full((I - dt * Lb) \ (I + dt * (L - Lb)));
end
end
