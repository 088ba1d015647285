% Stencils: layout, exactness on polynomials, spacing, rotation robustness.
addpath(fileparts(mfilename('fullpath')));
qtest_setup();

% Layout: correlations with the centre in the middle, direction i along
% array dimension i.
S = quillmere_stencils('central');
names = {'k1', 'k2', 'k3', 'k11', 'k22', 'k33', 'k12', 'k13', 'k23'};
for n = 1:9
  k = S.(names{n});
  assert(isa(k, 'single') && isreal(k), '%s is not real single', names{n});
  want = [3 3 3];
  if n > 3
    want = [5 5 5];
  end
  assert(isequal(size(k), want), '%s has the wrong size', names{n});
  assert(abs(sum(double(k(:)))) < 1e-6, '%s does not annihilate constants', names{n});
end
assert(S.k1(1, 2, 2) == -0.5 && S.k1(3, 2, 2) == 0.5 && nnz(S.k1) == 2, 'k1 layout');
assert(S.k2(2, 1, 2) == -0.5 && S.k2(2, 3, 2) == 0.5 && nnz(S.k2) == 2, 'k2 layout');
assert(S.k3(2, 2, 1) == -0.5 && S.k3(2, 2, 3) == 0.5 && nnz(S.k3) == 2, 'k3 layout');
% Flat tap order of the module (0-based m, element m+1): m = a + 3b + 9c,
% centre 13; offset -1 along dimension 1 is m = 12.
assert(S.k1(13) == -0.5 && S.k1(15) == 0.5, 'k1 flat order');
assert(isequal(squeeze(S.k11(2:4, 3, 3))', single([1 -2 1])) && nnz(S.k11) == 3, 'k11 layout');
% 5x5x5: centre m = 62 (element 63), offset +1 along dimension 3 is m = 87.
assert(S.k11(63) == -2 && S.k11(64) == 1 && S.k33(63 + 25) == 1, 'k11/k33 flat order');
assert(S.k12(2, 2, 3) == 0.25 && S.k12(4, 2, 3) == -0.25 && S.k12(4, 4, 3) == 0.25 ...
       && nnz(S.k12) == 4, 'k12 layout');

% The nine-output form is the struct in call order.
[k1, k2, k3, k11, k22, k33, k12, k13, k23] = quillmere_stencils('sobel', [1 2 3]);
T = quillmere_stencils('sobel', [1 2 3]);
assert(isequal(k1, T.k1) && isequal(k3, T.k3) && isequal(k22, T.k22) && isequal(k23, T.k23), ...
       'nine outputs differ from the struct');

% Every family, with equal and unequal spacing, differentiates every
% polynomial of total degree <= 2 exactly.
mono = [0 0 0; 1 0 0; 0 1 0; 0 0 1; 2 0 0; 0 2 0; 0 0 2; 1 1 0; 1 0 1; 0 1 1];
x0 = [0.3 -0.7 1.1];
order = [1 0 0; 0 1 0; 0 0 1; 2 0 0; 0 2 0; 0 0 2; 1 1 0; 1 0 1; 0 1 1];   % per stencil
families = {'central', 'scharr', 'sobel'};
spacings = {1, [0.5 2 1.5]};
for fi = 1:numel(families)
  for si = 1:numel(spacings)
    h = spacings{si};
    hh = h .* [1 1 1];
    St = quillmere_stencils(families{fi}, h);
    for p = 1:size(mono, 1)
      e = mono(p, :);
      f = @(x, y, z) x .^ e(1) .* y .^ e(2) .* z .^ e(3);
      for n = 1:9
        d = order(n, :);
        % Analytic derivative of the monomial.
        c = 1;
        ee = e;
        for ax = 1:3
          for r = 1:d(ax)
            c = c * ee(ax);
            ee(ax) = max(ee(ax) - 1, 0);
          end
        end
        want = c * x0(1) ^ ee(1) * x0(2) ^ ee(2) * x0(3) ^ ee(3);
        got = qtest_apply_stencil(St.(names{n}), f, x0, hh);
        assert(abs(got - want) <= 1e-5 * max(1, abs(want)), ...
               '%s %s (h = %s) on x^%d y^%d z^%d: %g, expected %g', families{fi}, ...
               names{n}, mat2str(h), e(1), e(2), e(3), got, want);
      end
    end
  end
end

% Central differences are exact for degree 2 in each variable separately;
% the smoothed families are not (they smooth across).
f = @(x, y, z) (x .* y .* z) .^ 2;
want = 2 * x0(2) ^ 2 * x0(3) ^ 2;
assert(abs(qtest_apply_stencil(S.k11, f, x0, [1 1 1]) - want) < 1e-5, 'central k11 on x^2y^2z^2');
want = 4 * x0(1) * x0(2) * x0(3) ^ 2;
assert(abs(qtest_apply_stencil(S.k12, f, x0, [1 1 1]) - want) < 1e-5, 'central k12 on x^2y^2z^2');
Sc = quillmere_stencils('scharr');
assert(abs(qtest_apply_stencil(Sc.k11, f, x0, [1 1 1]) - 2 * x0(2) ^ 2 * x0(3) ^ 2) > 0.01, ...
       'scharr k11 shows no transverse smoothing');

% Rotation robustness: the direction of the gradient of a plane wave of
% moderate frequency is far more accurate with the smoothed family.
worst = [0 0];
fam = {S, Sc};
for th = linspace(0, pi / 2, 7)
  for ph = linspace(0.1, pi / 2, 6)
    nvec = [cos(th) * sin(ph), sin(th) * sin(ph), cos(ph)];
    f = @(x, y, z) sin(1.2 * (nvec(1) * x + nvec(2) * y + nvec(3) * z));
    for q = 1:2
      g = [qtest_apply_stencil(fam{q}.k1, f, [0 0 0], [1 1 1]), ...
           qtest_apply_stencil(fam{q}.k2, f, [0 0 0], [1 1 1]), ...
           qtest_apply_stencil(fam{q}.k3, f, [0 0 0], [1 1 1])];
      ang = acos(min(1, abs(g * nvec') / norm(g)));
      worst(q) = max(worst(q), ang);
    end
  end
end
fprintf('worst gradient direction error at 1.2 rad/voxel: central %.2f deg, scharr %.2f deg\n', ...
        worst * 180 / pi);
assert(worst(2) < 0.5 * worst(1), 'scharr is not more rotation-robust than central');

fprintf('stencil tests passed\n');
