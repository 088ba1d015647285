% Step-size bound: exact in the classic case, scaling, and no growing mode
% at the bound, for the two-buffer update and for the in-place sweep.
addpath(fileparts(mfilename('fullpath')));
qtest_setup();

n = [6 5 4];
o = ones(n, 'single');
z = zeros(n, 'single');
S = quillmere_stencils('central');

% Unit tensor, central stencils: the 7-point Laplacian, R = 12, dt = 1/6.
[dt, R] = quillmere_max_dt(o, z, z, o, z, o, S);
assert(R == 12 && abs(dt - 1 / 6) < 1e-15, 'unit tensor: dt %g, R %g', dt, R);
% The nine-stencil form agrees with the struct form.
dt9 = quillmere_max_dt(o, z, z, o, z, o, S.k1, S.k2, S.k3, S.k11, S.k22, S.k33, S.k12, S.k13, S.k23);
assert(dt9 == dt, 'nine stencils and struct disagree');
% dt scales with h^2 and with 1/|T|.
assert(abs(quillmere_max_dt(o, z, z, o, z, o, quillmere_stencils('central', 2)) - 4 / 6) < 1e-12, ...
       'spacing');
assert(abs(quillmere_max_dt(3 * o, z, z, 3 * o, z, 3 * o, S) - 1 / 18) < 1e-12, 'tensor scale');
assert(isinf(quillmere_max_dt(z, z, z, z, z, z, S)), 'zero tensor must allow any step');

% The bound is tight here: 25% more and the two-buffer step grows.
L = qtest_step_matrices(o, z, z, o, z, o, S, dt);
E = eye(prod(n)) + 1.25 * dt * full(L);
assert(max(abs(eig(E))) > 1.01, 'two-buffer step does not grow at 1.25 dt');

% The matrix model of the sweep matches the loop model of the module.
randn('state', 11);
rand('state', 11);
m = [4 3 5];
T = cell(1, 6);
for p = 1:6
  T{p} = single(0.2 * randn(m));
end
T{1} = T{1} + 1; T{4} = T{4} + 1; T{6} = T{6} + 1;
Sc = quillmere_stencils('scharr', [1 1.5 0.75]);
u = single(randn(m));
[L, G] = qtest_step_matrices(T{:}, Sc, 0.05);
ref = qtest_loop_step(u, T{:}, Sc.k1, Sc.k2, Sc.k3, Sc.k11, Sc.k22, Sc.k33, ...
                      Sc.k12, Sc.k13, Sc.k23, single(0.05));
assert(max(abs(G * double(u(:)) - double(ref(:)))) < 1e-5, 'sweep matrix disagrees with the loop model');
% ... and differs from the two-buffer step, which it must.
two = double(u(:)) + 0.05 * L * double(u(:));
assert(max(abs(two - double(ref(:)))) > 1e-3, 'sweep indistinguishable from two buffers');

% No growing mode at dt, for rough and for realistic tensors, every family.
% With a tensor that varies from voxel to voxel, the expanded form can
% itself hold a slowly growing mode (an eigenvalue of L with a small positive
% real part, seen with the smoothed families); no step size removes that,
% so the test asks that neither update grows faster than about
% exp(dt * max real part), i.e. that the step size adds no growth of its own.
[vol, ~] = quillmere_phantom(n, 0.3, 2);
tensors = {};
[tensors{1}{1:6}] = quillmere_tensor(vol, 'ced', 'rho', 1, 'alpha', 0.01, 'C', 1e-6);
[tensors{2}{1:6}] = quillmere_tensor(vol, 'eed', 'lambda', 0.1);
N = prod(n);
rough = zeros(N, 6);
for e = 1:N
  [Q, ~] = qr(randn(3));
  M = Q * diag(rand(3, 1)) * Q';
  rough(e, :) = M([1 4 7 5 8 9]);
end
for p = 1:6
  tensors{3}{p} = single(reshape(rough(:, p), n));
end
families = {'central', 'scharr', 'sobel'};
I = eye(N);
for f = 1:3
  Sf = quillmere_stencils(families{f});
  for t = 1:numel(tensors)
    [dt, R] = quillmere_max_dt(tensors{t}{:}, Sf);
    [L, G, rowAbs] = qtest_step_matrices(tensors{t}{:}, Sf, dt);
    assert(abs(R - max(rowAbs)) <= 1e-6 * R, '%s, tensor %d: R = %g, tap by tap %g', ...
           families{f}, t, R, max(rowAbs));
    own = max(0, max(real(eig(full(L)))));
    if f == 1
      assert(own < 1e-9, 'central stencils, tensor %d: L has a growing mode (%g)', t, own);
    end
    allowed = 1 + 2 * dt * own + 1e-9;
    growEuler = max(abs(eig(I + dt * full(L))));
    growSweep = max(abs(eig(G)));
    assert(growEuler <= allowed && growSweep <= allowed, ...
           '%s, tensor %d: growth %g (two buffers), %g (sweep) at dt = %g, allowed %g', ...
           families{f}, t, growEuler, growSweep, dt, allowed);
  end
end

fprintf('step-size tests passed\n');
