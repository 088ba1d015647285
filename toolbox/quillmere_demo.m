function result = quillmere_demo(varargin)
%QUILLMERE_DEMO Coherence-enhancing diffusion of a noisy 3-D volume.
%   QUILLMERE_DEMO makes a noisy synthetic volume (QUILLMERE_PHANTOM: tubes,
%   a helix and a sheet), runs a number of steps of coherence-enhancing
%   diffusion through QUILLMERE, prints a line per step and a summary (time
%   per step, voxels per second, PSNR against the clean volume before and
%   after), and writes quillmere_demo.png: the middle slice across each
%   axis (rows: dimension 1, 2, 3 held fixed), with the noisy input, the
%   result and the clean volume side by side.
%
%   QUILLMERE_DEMO(NAME, VALUE, ...) sets options:
%     'steps'    number of steps. Default 10.
%     'size'     edge length of the cubic volume (or [N1 N2 N3]). Default 64.
%     'output'   folder for the PNG, created if missing. Default build/demo
%                in the project folder (the parent of this toolbox folder).
%     'noise'    noise standard deviation (signal amplitude 1). Default 0.3.
%     'stencils' stencil family of QUILLMERE_STENCILS. Default 'central'.
%     'every'    recompute the diffusion tensor every this many steps.
%                Default 1 (every step, as the method prescribes).
%     'quiet'    true to print nothing. Default false.
%
%   R = QUILLMERE_DEMO(...) also returns a struct with the figures printed:
%   psnrBefore, psnrAfter (dB), secondsPerStep (QUILLMERE alone),
%   voxelsPerSecond, tensorSeconds (all QUILLMERE_TENSOR calls),
%   stepSizeSeconds (all QUILLMERE_MAX_DT calls), iterationSeconds (tensor,
%   step size and step per iteration, on average), totalSeconds (the whole
%   demo), steps, dims, png (the file written), and the volumes noisy,
%   result and clean. Each step's line and the summary show the split of an
%   iteration's time between the tensor, the step size and the step.
%
%   Each step: the tensor from QUILLMERE_TENSOR(u, 'ced') with sigma 1 and
%   rho 2; the step size half of QUILLMERE_MAX_DT (where every mode of the
%   step is damped without oscillation); then one call of QUILLMERE.
%
%   Needs the compiled module on the path, e.g. from the project folder:
%     addpath('toolbox'); addpath('build/octave'); quillmere_demo
%
%   See also QUILLMERE, QUILLMERE_PHANTOM, QUILLMERE_TENSOR.

started = tic;
here = fileparts(mfilename('fullpath'));
opt.steps = 10;
opt.size = 64;
opt.output = fullfile(fileparts(here), 'build', 'demo');
opt.noise = 0.3;
opt.stencils = 'central';
opt.every = 1;
opt.quiet = false;
opt = parseOptions(opt, varargin);
say = @(varargin) printIf(~opt.quiet, varargin{:});

if exist('quillmere') ~= 3
  error('quillmere:demo:noModule', ...
        'The compiled module quillmere is not on the path (addpath its build folder).');
end

[noisy, clean] = quillmere_phantom(opt.size, opt.noise, 1);
dims = [size(noisy, 1), size(noisy, 2), size(noisy, 3)];
nvox = prod(dims);
S = quillmere_stencils(opt.stencils);
say('quillmere demo: %dx%dx%d volume, noise %.2f, %d steps of coherence-enhancing diffusion (%s stencils)\n', ...
    dims(1), dims(2), dims(3), opt.noise, opt.steps, opt.stencils);

u = noisy;
stepSeconds = 0;
tensorSeconds = 0;
stepSizeSeconds = 0;
for n = 1:opt.steps
  st = 0;
  sd = 0;
  if mod(n - 1, opt.every) == 0
    t0 = tic;
    [t11, t12, t13, t22, t23, t33] = quillmere_tensor(u, 'ced', 'sigma', 1, 'rho', 2);
    st = toc(t0);
    t0 = tic;
    dt = single(0.5 * quillmere_max_dt(t11, t12, t13, t22, t23, t33, S));
    sd = toc(t0);
    tensorSeconds = tensorSeconds + st;
    stepSizeSeconds = stepSizeSeconds + sd;
  end
  t0 = tic;
  u = quillmere(u, t11, t12, t13, t22, t23, t33, S.k1, S.k2, S.k3, ...
                S.k11, S.k22, S.k33, S.k12, S.k13, S.k23, dt);
  s = toc(t0);
  stepSeconds = stepSeconds + s;
  say('  step %2d/%d  dt %.4f  tensor %.3f s + step size %.3f s + step %.3f s  PSNR %.2f dB\n', ...
      n, opt.steps, dt, st, sd, s, psnrOf(u, clean));
end

result.psnrBefore = psnrOf(noisy, clean);
result.psnrAfter = psnrOf(u, clean);
result.secondsPerStep = stepSeconds / max(opt.steps, 1);
result.voxelsPerSecond = nvox / result.secondsPerStep;
result.tensorSeconds = tensorSeconds;
result.stepSizeSeconds = stepSizeSeconds;
result.iterationSeconds = (tensorSeconds + stepSizeSeconds + stepSeconds) / max(opt.steps, 1);
result.steps = opt.steps;
result.dims = dims;

if ~exist(opt.output, 'dir')
  mkdir(opt.output);
end
result.png = fullfile(opt.output, 'quillmere_demo.png');
imwrite(sliceMontage(noisy, u, clean), result.png);

say('time per step %.3f s (module only), %.2f Mvoxel/s\n', ...
    result.secondsPerStep, result.voxelsPerSecond / 1e6);
say('time per iteration %.3f s: tensor %.3f s, step size %.3f s, step %.3f s\n', ...
    result.iterationSeconds, tensorSeconds / max(opt.steps, 1), ...
    stepSizeSeconds / max(opt.steps, 1), result.secondsPerStep);
say('PSNR against the clean volume: %.2f dB before, %.2f dB after (%+.2f dB)\n', ...
    result.psnrBefore, result.psnrAfter, result.psnrAfter - result.psnrBefore);
say('middle slices (noisy | result | clean) written to %s\n', result.png);
result.totalSeconds = toc(started);
say('demo finished in %.1f s\n', result.totalSeconds);
result.noisy = noisy;
result.result = u;
result.clean = clean;
if nargout == 0
  clear result;
end
end

function p = psnrOf(u, ref)
% Peak 1: the clean volume spans [0, 1].
err = double(u(:)) - double(ref(:));
p = 10 * log10(1 / mean(err .^ 2));
end

function img = sliceMontage(noisy, result, clean)
% Rows: the middle slice with dimension 1, 2 and 3 held fixed. Columns:
% noisy, result, clean. Grey levels: -0.25 black, 1.25 white; each voxel
% drawn as a 3x3 block.
vols = {noisy, result, clean};
dims = size(noisy);
mid = floor(dims / 2) + 1;
zoom = 3;
gap = 4;
tiles = cell(3, 3);
for r = 1:3
  for c = 1:3
    v = double(vols{c});
    switch r
      case 1
        sl = reshape(v(mid(1), :, :), dims(2), dims(3));
      case 2
        sl = reshape(v(:, mid(2), :), dims(1), dims(3));
      otherwise
        sl = v(:, :, mid(3));
    end
    tiles{r, c} = kron(sl, ones(zoom));
  end
end
th = max(cellfun(@(t) size(t, 1), tiles(:)));
tw = max(cellfun(@(t) size(t, 2), tiles(:)));
img = ones(3 * th + 4 * gap, 3 * tw + 4 * gap) * 1.25;
for r = 1:3
  for c = 1:3
    t = tiles{r, c};
    y = gap + (r - 1) * (th + gap);
    x = gap + (c - 1) * (tw + gap);
    img(y + (1:size(t, 1)), x + (1:size(t, 2))) = t;
  end
end
img = uint8(round(255 * min(max((img + 0.25) / 1.5, 0), 1)));
end

function printIf(on, varargin)
if on
  fprintf(varargin{:});
end
end

function opt = parseOptions(opt, args)
if mod(numel(args), 2) ~= 0
  error('quillmere:demo:options', 'Options come as NAME, VALUE pairs.');
end
names = fieldnames(opt);
for k = 1:2:numel(args)
  hit = strcmpi(args{k}, names);
  if ~ischar(args{k}) || ~any(hit)
    error('quillmere:demo:options', 'Unknown option ''%s''.', num2str(args{k}));
  end
  opt.(names{hit}) = args{k + 1};
end
end
