function [mu, v1, v2, v3] = quillmere_eigsym3(a11, a12, a13, a22, a23, a33)
%QUILLMERE_EIGSYM3 Eigen-decomposition of many symmetric 3x3 matrices at once.
%   [MU, V1, V2, V3] = QUILLMERE_EIGSYM3(A11, A12, A13, A22, A23, A33) takes
%   the six distinct entries of N symmetric 3x3 matrices (arrays of any one
%   shape, N elements each) and returns, in double precision,
%     MU          N-by-3, the eigenvalues of each matrix in descending order,
%                 MU(:,1) >= MU(:,2) >= MU(:,3);
%     V1, V2, V3  N-by-3 each, unit eigenvectors for MU(:,1), MU(:,2) and
%                 MU(:,3); row n holds the components along dimensions
%                 1, 2, 3. Together they form a right-handed orthonormal
%                 frame. The sign of each vector is arbitrary, and within a
%                 repeated eigenvalue the vectors are any orthonormal basis.
%
%   The work is vectorised over the matrices: eigenvalues from the closed
%   trigonometric formula for the roots of the characteristic cubic; the
%   eigenvector of the best separated eigenvalue (the largest or the
%   smallest) from the cross product of two rows of A - mu*I; the other two
%   from the 2x2 problem left in the plane orthogonal to it. Each matrix is
%   scaled by its largest entry first, so tiny and huge entries behave alike.
%   Non-finite entries give non-finite results.
%
%   See also QUILLMERE_TENSOR.

sz = numel(a11);
a = [a11(:) a12(:) a13(:) a22(:) a23(:) a33(:)];
a = double(a);

% Scale each matrix into [-1, 1]; an all-zero matrix stays zero.
s = max(abs(a), [], 2);
s(s == 0) = 1;
a = a ./ repmat(s, 1, 6);
b11 = a(:, 1); b12 = a(:, 2); b13 = a(:, 3);
b22 = a(:, 4); b23 = a(:, 5); b33 = a(:, 6);

% Eigenvalues of the scaled matrix: A = q I + p B with trace(B) = 0 and
% the eigenvalues of B equal to 2 cos(phi + 2 pi k / 3).
q = (b11 + b22 + b33) / 3;
off = b12 .^ 2 + b13 .^ 2 + b23 .^ 2;
c11 = b11 - q; c22 = b22 - q; c33 = b33 - q;
p = sqrt((c11 .^ 2 + c22 .^ 2 + c33 .^ 2 + 2 * off) / 6);
pz = p == 0;
p(pz) = 1;
detb = (c11 .* (c22 .* c33 - b23 .^ 2) - b12 .* (b12 .* c33 - b23 .* b13) ...
        + b13 .* (b12 .* b23 - c22 .* b13)) ./ p .^ 3;
r = min(max(detb / 2, -1), 1);
phi = acos(r) / 3;
m1 = q + 2 * p .* cos(phi);
m3 = q + 2 * p .* cos(phi + 2 * pi / 3);
m2 = 3 * q - m1 - m3;
m1(pz) = q(pz); m2(pz) = q(pz); m3(pz) = q(pz);

% The better separated end of the spectrum gets its vector first.
topFirst = (m1 - m2) >= (m2 - m3);
mIso = m3;
mIso(topFirst) = m1(topFirst);
vIso = isolatedVector(b11, b12, b13, b22, b23, b33, mIso);

% Orthonormal basis (e, f) of the plane orthogonal to vIso.
x = vIso(:, 1); y = vIso(:, 2); z = vIso(:, 3);
useX = abs(x) > abs(y);
e = [zeros(sz, 1), z, -y];
e(useX, :) = [-z(useX), zeros(nnz(useX), 1), x(useX)];
e = e ./ repmat(sqrt(sum(e .^ 2, 2)), 1, 3);
f = cross3(vIso, e);

% The 2x2 matrix [e f]' A [e f] and the angle of its larger eigenvector.
Ae = applySym(b11, b12, b13, b22, b23, b33, e);
Af = applySym(b11, b12, b13, b22, b23, b33, f);
pee = sum(e .* Ae, 2);
pff = sum(f .* Af, 2);
pef = sum(e .* Af, 2);
theta = atan2(2 * pef, pee - pff) / 2;
ct = cos(theta); st = sin(theta);
vBig = repmat(ct, 1, 3) .* e + repmat(st, 1, 3) .* f;
hm = (pee + pff) / 2;
rad = sqrt(((pee - pff) / 2) .^ 2 + pef .^ 2);

% Assemble: with the top isolated the plane holds eigenvalues 2 and 3,
% otherwise 1 and 2.
v1 = vBig; v2 = zeros(sz, 3); v3 = vIso;
v1(topFirst, :) = vIso(topFirst, :);
v2(topFirst, :) = vBig(topFirst, :);
v3(topFirst, :) = cross3(v1(topFirst, :), v2(topFirst, :));
bot = ~topFirst;
v2(bot, :) = cross3(v3(bot, :), v1(bot, :));
% The plane's own eigenvalues are consistent with its vectors.
m2(topFirst) = hm(topFirst) + rad(topFirst);
m3(topFirst) = hm(topFirst) - rad(topFirst);
m1(bot) = hm(bot) + rad(bot);
m2(bot) = hm(bot) - rad(bot);

mu = [m1 m2 m3] .* repmat(s, 1, 3);
end

function v = isolatedVector(b11, b12, b13, b22, b23, b33, m)
% Eigenvector of a simple eigenvalue m: every row of A - m I is orthogonal
% to it, so the largest cross product of two rows points along it.
r1 = [b11 - m, b12, b13];
r2 = [b12, b22 - m, b23];
r3 = [b13, b23, b33 - m];
c = cat(3, cross3(r1, r2), cross3(r1, r3), cross3(r2, r3));
n2 = squeeze(sum(c .^ 2, 2));
if size(n2, 2) == 1
  n2 = n2.';   % a single matrix: squeeze turned 1x3 into 3x1
end
[best, k] = max(n2, [], 2);
n = numel(m);
v = zeros(n, 3);
for j = 1:3
  pick = k == j;
  v(pick, :) = c(pick, :, j);
end
nv = sqrt(best);
degenerate = ~(nv > 0);   % A = m I: any vector will do
nv(degenerate) = 1;
v(degenerate, :) = repmat([1 0 0], nnz(degenerate), 1);
v = v ./ repmat(nv, 1, 3);
end

function w = applySym(b11, b12, b13, b22, b23, b33, v)
w = [b11 .* v(:, 1) + b12 .* v(:, 2) + b13 .* v(:, 3), ...
     b12 .* v(:, 1) + b22 .* v(:, 2) + b23 .* v(:, 3), ...
     b13 .* v(:, 1) + b23 .* v(:, 2) + b33 .* v(:, 3)];
end

function c = cross3(a, b)
c = [a(:, 2) .* b(:, 3) - a(:, 3) .* b(:, 2), ...
     a(:, 3) .* b(:, 1) - a(:, 1) .* b(:, 3), ...
     a(:, 1) .* b(:, 2) - a(:, 2) .* b(:, 1)];
end
