## octave-cli tools/octave_first_step.m [MODULE_DIR]
## A first run of the quillmere module in Octave: a generated noisy volume,
## central-difference stencils and an isotropic tensor, stepped a few times.
## Plain diffusion removes most of the noise in the first steps; after that
## it starts to blur the tube's edge too, and the distance grows again (the
## anisotropic tensors of the toolbox are there to avoid that).
1;

function k = first_difference(axis)
  ## 3x3x3: -1/2 and +1/2 either side of the centre along one axis.
  k = zeros(3, 3, 3, "single");
  lo = {2, 2, 2};
  hi = {2, 2, 2};
  lo{axis} = 1;
  hi{axis} = 3;
  k(lo{:}) = -0.5;
  k(hi{:}) = 0.5;
endfunction

function k = second_difference(axis)
  ## 5x5x5: 1, -2, 1 around the centre along one axis.
  k = zeros(5, 5, 5, "single");
  k(3, 3, 3) = -2;
  for d = [-1 1]
    at = {3, 3, 3};
    at{axis} = 3 + d;
    k(at{:}) = 1;
  endfor
endfunction

## The module's folder is the first argument, else the default preset's
## (the one ./run demo builds).
here = fileparts(mfilename("fullpath"));
module_dir = fullfile(here, "..", "build", "linux", "octave");
if (numel(argv()) >= 1)
  module_dir = argv(){1};
endif
if (! exist(fullfile(module_dir, "quillmere.oct"), "file"))
  error("quillmere.oct not found in %s: build it first (./run demo, or cmake --build --preset default)",
        module_dir);
endif
addpath(module_dir);

n = 40;
[x, y, ~] = ndgrid(1:n, 1:n, 1:n);
clean = single((x - n/2).^2 + (y - n/2).^2 < 64);   # a tube along axis 3
rand("state", 1);
u = clean + single(0.4 * (rand(n, n, n) - 0.5));

one = ones(n, n, n, "single");
zero = zeros(n, n, n, "single");
nothing = zeros(5, 5, 5, "single");
dt = single(0.1);
steps = 5;

printf("quillmere in Octave: %s\n", which("quillmere"));
printf("volume %dx%dx%d single (a noisy tube), isotropic tensor, central differences, dt = %g\n",
       n, n, n, dt);
rms = @(a) sqrt(mean((double(a(:)) - double(clean(:))).^2));
printf("  before:  rms distance to the clean tube %.5f\n", rms(u));
for s = 1:steps
  tic;
  u = quillmere(u, one, zero, zero, one, zero, one,
                first_difference(1), first_difference(2), first_difference(3),
                second_difference(1), second_difference(2), second_difference(3),
                nothing, nothing, nothing, dt);
  t = toc;
  printf("  step %d:  rms distance %.5f  (%s %s, %.1f ms)\n", s, rms(u), class(u),
         mat2str(size(u)), 1000 * t);
endfor
