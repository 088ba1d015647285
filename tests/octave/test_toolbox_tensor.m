% Eigensolver and tensors: accuracy, symmetry, semi-definiteness and the
% documented eigenvalue maps.
addpath(fileparts(mfilename('fullpath')));
qtest_setup();

% The vectorised eigensolver against EIG, on random matrices and on the
% repeated-eigenvalue and badly scaled cases where closed forms break.
randn('state', 7);
rand('state', 7);
A = randn(3000, 6);
Q = orth(randn(3));
special = {diag([1 1 1]), zeros(3), diag([2 2 1]), diag([1 3 3]), Q * diag([5 5 1e-9]) * Q', ...
           Q * diag([1 1e-7 0]) * Q', Q * diag([4 4 4]) * Q', 1e-300 * [1 2 3; 2 5 6; 3 6 9], ...
           1e200 * [2 -1 0; -1 2 -1; 0 -1 2]};
for s = 1:numel(special)
  M = special{s};
  A(s, :) = M([1 4 7 5 8 9]);
end
[mu, v1, v2, v3] = quillmere_eigsym3(A(:, 1), A(:, 2), A(:, 3), A(:, 4), A(:, 5), A(:, 6));
for n = 1:size(A, 1)
  M = [A(n, 1) A(n, 2) A(n, 3); A(n, 2) A(n, 4) A(n, 5); A(n, 3) A(n, 5) A(n, 6)];
  scale = max(max(abs(M(:))), realmin);
  V = [v1(n, :)' v2(n, :)' v3(n, :)'];
  assert(max(abs(sort(eig(M), 'descend')' - mu(n, :))) < 1e-12 * scale, 'eigenvalues of matrix %d', n);
  assert(norm(M * V - V * diag(mu(n, :))) < 1e-12 * scale, 'eigenvectors of matrix %d', n);
  assert(norm(V' * V - eye(3)) < 1e-12, 'frame of matrix %d not orthonormal', n);
end
assert(all(mu(:, 1) >= mu(:, 2) & mu(:, 2) >= mu(:, 3)), 'eigenvalues not descending');

% A volume with tubes, a sheet and noise: every kind of structure.
u = quillmere_phantom(24, 0.2, 3);
range = double(max(u(:)) - min(u(:)));
kinds = {'structure', 'ced', 'eed'};
for k = 1:3
  [t11, t12, t13, t22, t23, t33] = quillmere_tensor(u, kinds{k});
  c = {t11, t12, t13, t22, t23, t33};
  for p = 1:6
    assert(isa(c{p}, 'single') && isequal(size(c{p}), size(u)), '%s: component %d', kinds{k}, p);
  end
end

% Structure tensor: the average of gradient outer products, so PSD; and
% the reference for the eigenvalue maps below.
[j11, j12, j13, j22, j23, j33] = quillmere_tensor(u, 'structure', 'sigma', 1, 'rho', 2);
jm = quillmere_eigsym3(j11, j12, j13, j22, j23, j33);
assert(min(jm(:, 3)) > -1e-6 * max(jm(:, 1)), 'structure tensor not semi-definite');

% CED: eigenvalues alpha, alpha + (1-alpha) exp(-C/(mu1-mu2)^2) and
% alpha + (1-alpha) exp(-C/(mu1-mu3)^2); eigenvectors those of J.
alpha = 0.01;
C = 1e-5;   % spreads lambda2, lambda3 over (alpha, 1) on this volume
[d11, d12, d13, d22, d23, d33] = quillmere_tensor(u, 'ced', 'sigma', 1, 'rho', 2, 'alpha', alpha, 'C', C);
dm = quillmere_eigsym3(d11, d12, d13, d22, d23, d33);
mu = max(double(jm), 0);
gap = @(a, b) max(a - b, realmin);
lam = [alpha * ones(size(mu, 1), 1), alpha + (1 - alpha) * exp(-C ./ gap(mu(:, 1), mu(:, 2)) .^ 2), ...
       alpha + (1 - alpha) * exp(-C ./ gap(mu(:, 1), mu(:, 3)) .^ 2)];
% Single rounding of J and D, and eigenvalues of J too close to call,
% limit the agreement; compare where J's eigenvalues are well separated.
sep = min(mu(:, 1) - mu(:, 2), mu(:, 2) - mu(:, 3)) > 1e-3 * mu(:, 1);
assert(nnz(sep) > 1000, 'too few well separated voxels to test');
assert(max(max(abs(sort(lam(sep, :), 2, 'descend') - dm(sep, :)))) < 1e-4, 'CED eigenvalues');
assert(min(dm(:, 3)) >= alpha - 1e-5 && max(dm(:, 1)) <= 1 + 1e-5, 'CED eigenvalues outside [alpha, 1]');
% D and J share eigenvectors: they commute.
comm = 0;
for e = find(sep)'
  J = [j11(e) j12(e) j13(e); j12(e) j22(e) j23(e); j13(e) j23(e) j33(e)];
  D = [d11(e) d12(e) d13(e); d12(e) d22(e) d23(e); d13(e) d23(e) d33(e)];
  comm = max(comm, norm(double(J * D - D * J)) / norm(double(J)));
end
assert(comm < 1e-4, 'CED tensor does not share the eigenvectors of J (%g)', comm);
% A constant volume has no structure: D = alpha I.
[d11, d12, d13, d22, d23, d33] = quillmere_tensor(single(ones(6, 5, 4)), 'ced', 'alpha', alpha, 'C', 1);
assert(all(abs(d11(:) - alpha) < 1e-7) && all(d22(:) == d11(:)) && all(d33(:) == d11(:)) ...
       && ~any(d12(:)) && ~any(d13(:)) && ~any(d23(:)), 'CED of a constant volume');

% EED, rho = 0: g(|grad u_sigma|^2) across the edge, 1 along it. The unit
% normal is an eigenvector of D with eigenvalue g, and D - I has rank 1.
lambda = 0.05 * range;
[e11, e12, e13, e22, e23, e33] = quillmere_tensor(u, 'eed', 'sigma', 1, 'lambda', lambda);
[g11, g12, g13, g22, g23, g33] = quillmere_tensor(u, 'structure', 'sigma', 1, 'rho', 0);
gm = double(g11) + double(g22) + double(g33);   % |grad u_sigma|^2
g = ones(size(gm));
g(gm > 0) = 1 - exp(-3.31488 ./ (gm(gm > 0) / lambda ^ 2) .^ 4);
em = quillmere_eigsym3(e11, e12, e13, e22, e23, e33);
assert(max(abs(em(:, 1) - 1)) < 1e-5 && max(abs(em(:, 2) - 1)) < 1e-5, 'EED: not 1 along edges');
assert(max(abs(em(:, 3) - g(:))) < 1e-4, 'EED: not g across edges');
assert(min(em(:, 3)) > 0, 'EED tensor not positive definite');
assert(min(g(:)) < 0.1 && max(g(:)) > 0.99, 'EED test volume has no edges');

fprintf('tensor tests passed\n');
