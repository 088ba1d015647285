function [noisy, clean] = quillmere_phantom(n, noise, seed)
%QUILLMERE_PHANTOM Deterministic test volume: tubes and a sheet in noise.
%   [NOISY, CLEAN] = QUILLMERE_PHANTOM(N, NOISE, SEED) returns two N-by-N-by-N
%   single volumes (N may also be [N1 N2 N3]). CLEAN holds, on a background
%   of 0, a handful of straight tubes in different directions (some oblique
%   to every axis), a helix and one gently curved sheet, all of intensity
%   about 1 with soft edges about one voxel wide. NOISY is CLEAN plus
%   Gaussian-like noise of standard deviation NOISE (default 0.3).
%
%   The noise comes from a counter-based integer hash of the voxel index
%   and SEED (default 1) evaluated exactly in double arithmetic, so the
%   same arguments give the same volume in Octave and in MATLAB, whatever
%   the state of RAND and RANDN (which are neither used nor changed). Each
%   noise sample is a sum of four uniform samples, scaled to the requested
%   standard deviation.
%
%   See also QUILLMERE_DEMO.

if nargin < 1 || isempty(n)
  n = 64;
end
if nargin < 2 || isempty(noise)
  noise = 0.3;
end
if nargin < 3 || isempty(seed)
  seed = 1;
end
n = double(n(:).');
if numel(n) == 1
  n = [n n n];
end

% Coordinates scaled to [0, 1] along every axis; radii in voxels of the
% smallest extent so that the picture looks alike at any size.
[x, y, z] = ndgrid(((1:n(1)) - 0.5) / n(1), ((1:n(2)) - 0.5) / n(2), ((1:n(3)) - 0.5) / n(3));
vox = 1 / min(n);
r = 2.2 * vox;
edge = 0.6 * vox;
d = inf(size(x));
% Point and direction of each tube; most lie in one of the middle planes
% so that the demo's slices show them lengthwise.
lines = [0.30 0.30 0.50   1  0  0;      % along dimension 1
         0.50 0.72 0.30   0  0  1;      % along dimension 3
         0.50 0.50 0.50   1  1  1;      % oblique to every axis
         0.62 0.50 0.40   1  0  0.7;    % oblique, in the middle plane of dim. 2
         0.50 0.30 0.70   0  1 -0.6;    % oblique, in the middle plane of dim. 1
         0.60 0.45 0.50   1 -1  0];     % oblique, in the middle plane of dim. 3
for k = 1:size(lines, 1)
  d = min(d, lineDistance(x, y, z, lines(k, 1:3), lines(k, 4:6)));
end
clean = softStep(d, r, edge);

% A helix around dimension 3, three turns. The nearest point of the helix
% is taken at the voxel's own angle, on the nearest turn: close enough to
% the true distance for a tube this thin.
turns = 3;
a = 0.18;
theta = mod(atan2(y - 0.5, x - 0.5), 2 * pi);
dh = inf(size(x));
for k = 0:turns - 1
  t = min((theta + 2 * pi * k) / (2 * pi * turns), 1);
  dh = min(dh, (x - 0.5 - a * cos(2 * pi * turns * t)) .^ 2 ...
               + (y - 0.5 - a * sin(2 * pi * turns * t)) .^ 2 ...
               + (z - 0.1 - 0.8 * t) .^ 2);
end
clean = max(clean, softStep(sqrt(dh), 0.8 * r, edge));

% A sheet: the surface x = 0.82 + 0.05 sin(2 pi y), 1.2 voxels thick.
ds = abs(x - 0.82 - 0.05 * sin(2 * pi * y));
clean = max(clean, softStep(ds, 1.2 * vox, edge));

noisy = clean + noise * reshape(hashNoise(numel(clean), seed), size(clean));
clean = single(clean);
noisy = single(noisy);
end

function v = softStep(d, r, w)
% 1 inside radius r, 0 outside, with a smooth rim of width about w.
v = 1 ./ (1 + exp((d - r) / (w / 4)));
end

function d = lineDistance(x, y, z, p, dir)
dir = dir / norm(dir);
px = x - p(1); py = y - p(2); pz = z - p(3);
along = px * dir(1) + py * dir(2) + pz * dir(3);
d = sqrt(max(px .^ 2 + py .^ 2 + pz .^ 2 - along .^ 2, 0));
end

function g = hashNoise(count, seed)
% Zero-mean, unit-variance noise: four uniforms per sample, each from the
% hash of a distinct counter.
idx = (0:count - 1)';
acc = zeros(count, 1);
for k = 0:3
  c = mod(idx * 4 + k + seed * 2654435761, 2 ^ 32);
  acc = acc + (hash32(c) + 0.5) / 2 ^ 32;
end
g = (acc - 2) * sqrt(3);
end

function x = hash32(x)
% A 32-bit integer mixing function (xor-shift-multiply rounds), written with
% doubles that hold exact integers so that no integer saturation or
% overflow rules come into play.
x = bitxor(x, floor(x / 2 ^ 16));
x = mulmod32(x, 2146121005);     % 0x7feb352d
x = bitxor(x, floor(x / 2 ^ 15));
x = mulmod32(x, 2221713035);     % 0x846ca68b
x = bitxor(x, floor(x / 2 ^ 16));
end

function y = mulmod32(x, a)
% mod(x * a, 2^32) for x, a < 2^32 without leaving exact double range.
lo = mod(a, 65536);
hi = (a - lo) / 65536;
y = mod(x * lo + mod(x * hi, 65536) * 65536, 2 ^ 32);
end
