% End to end through the compiled module: bit-exact agreement with the loop
% model, argument order, untouched inputs, and the demo (the refusals are
% test_module_rejects_bad_calls.m's). Skipped until the module is built.
addpath(fileparts(mfilename('fullpath')));
[root, hasModule] = qtest_setup();
if ~hasModule
  fprintf('SKIP: the module quillmere is not built (looked in QUILLMERE_MODULE_DIR or build/linux/octave)\n');
  return;
end
fprintf('module: %s\n', which('quillmere'));
bits = @(a) typecast(single(a(:)), 'uint32');

% The documented small case: voxel 1 reads the already-updated voxel 0.
u = single([1; 0; 0]);
o = ones(3, 1, 'single');
z = zeros(3, 1, 'single');
k3 = zeros(3, 3, 3, 'single');
k5 = zeros(5, 5, 5, 'single');
k11 = k5;
k11(2:4, 3, 3) = [1 -2 1];
v = quillmere(u, o, z, z, z, z, z, k3, k3, k3, k11, k5, k5, k5, k5, k5, single(0.25));
assert(isequal(v(:), single([0.75; 0.1875; 0.046875])), 'in-place sweep example');

% Random everything, every weight in use: the module matches the loop
% model bit for bit, which also pins the order of all seventeen arguments.
rand('state', 21);
randn('state', 21);
sizes = {[3 4 5], [1 1 1], [2 1 3], [5 2 1], [4 3]};
for s = 1:numel(sizes)
  sz = sizes{s};
  u = single(randn(sz));
  args = cell(1, 16);
  for p = 1:6
    args{p} = single(0.3 * randn(sz));
  end
  args{1} = args{1} + 1; args{4} = args{4} + 1; args{6} = args{6} + 1;
  for p = 7:9
    args{p} = single(randn(3, 3, 3) / 8);
  end
  for p = 10:15
    args{p} = single(randn(5, 5, 5) / 32);
  end
  args{16} = single(0.05);
  keep = [{u}, args];
  got = quillmere(u, args{:});
  want = qtest_loop_step(u, args{:});
  assert(isa(got, 'single') && isequal(size(got), size(want)), 'size %s: shape', mat2str(sz));
  assert(isequal(bits(got), bits(want)), 'size %s: differs from the loop model by %g', ...
         mat2str(sz), max(abs(double(got(:)) - double(want(:)))));
  again = quillmere(u, args{:});
  assert(isequal(bits(again), bits(got)), 'size %s: two calls differ', mat2str(sz));
  now = [{u}, args];
  for p = 1:17
    assert(isequal(bits(now{p}), bits(keep{p})), 'size %s: input %d changed', mat2str(sz), p);
  end
end

% The demo improves the noisy volume and writes its picture.
out = fullfile(tempdir, sprintf('quillmere_demo_test_%d', round(1e6 * rand)));
r = quillmere_demo('size', 32, 'steps', 4, 'output', out, 'quiet', true);
fprintf('demo at 32^3, 4 steps: PSNR %.2f -> %.2f dB, %.3f s per step\n', r.psnrBefore, ...
        r.psnrAfter, r.secondsPerStep);
assert(r.psnrAfter > r.psnrBefore + 3, 'the demo does not improve PSNR enough');
img = imread(r.png);
assert(isa(img, 'uint8') && size(img, 1) > 3 * 96 && size(img, 2) > 3 * 96, 'demo picture');
delete(r.png);
rmdir(out);
fprintf('module tests passed\n');
