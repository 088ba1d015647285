function [t11, t12, t13, t22, t23, t33] = quillmere_tensor(u, kind, varargin)
%QUILLMERE_TENSOR Structure and diffusion tensors of a volume, as single.
%   [T11,T12,T13,T22,T23,T33] = QUILLMERE_TENSOR(U, KIND, NAME, VALUE, ...)
%   returns the six distinct components of a symmetric 3x3 tensor per voxel
%   of the 3-D volume U, in the order arguments 2 to 7 of QUILLMERE take
%   them, each a single array of the size of U. Tij couples directions i and
%   j, direction i being array dimension i (as for QUILLMERE_STENCILS).
%
%   KIND:
%     'structure'  The smoothed structure tensor
%                    J = G_rho * (grad u_sigma  grad u_sigma'),
%                  u_sigma = G_sigma * u, each of the six products smoothed
%                  with G_rho. Eigenvalues mu1 >= mu2 >= mu3 >= 0.
%     'ced'        Coherence-enhancing diffusion (after Weickert): the
%                  tensor with the eigenvectors of J and the eigenvalues
%                    lambda1 = alpha                          (across),
%                    lambda2 = alpha + (1-alpha) exp(-C/(mu1-mu2)^2),
%                    lambda3 = alpha + (1-alpha) exp(-C/(mu1-mu3)^2)
%                  (exp(-C/0) = 0). Along tube-like structures (mu1 ~ mu2
%                  >> mu3) this is Weickert's 3-D rule: diffusion along v3
%                  only; in sheet-like structures (mu1 >> mu2 ~ mu3) it
%                  diffuses within the sheet, in both of its directions.
%                  Because lambda2 = lambda3 whenever mu2 = mu3, and
%                  lambda1 = lambda2 whenever mu1 = mu2, the tensor does not
%                  depend on how eigenvectors of a repeated eigenvalue are
%                  chosen. alpha <= lambda1 <= lambda2 <= lambda3 <= 1.
%     'eed'        Edge-enhancing diffusion (after Weickert): the tensor
%                  with the eigenvectors of J and eigenvalues g(mu_k),
%                    g(s) = 1 - exp(-3.31488 / (s/lambda^2)^4), g(0) = 1.
%                  With rho = 0 (its default), J = grad u_sigma grad
%                  u_sigma' has eigenvalues |grad u_sigma|^2, 0, 0, so the
%                  tensor is g(|grad u_sigma|^2) across edges and 1 along
%                  them. 0 < g <= 1.
%
%   Options (NAME, VALUE pairs; scales in the units of the grid spacing):
%     'sigma'    noise scale, std. dev. of G_sigma. Default 1.
%     'rho'      integration scale, std. dev. of G_rho. Default 3 for
%                'structure' and 'ced', 0 for 'eed'.
%     'alpha'    'ced' only: smallest eigenvalue. Default 0.001.
%     'C'        'ced' only: coherence threshold, in the units of
%                (mu1-mu3)^2, i.e. (intensity/length)^4. Default
%                (0.005 * R)^4 with R = max(u) - min(u), the data range.
%     'lambda'   'eed' only: contrast, a gradient magnitude
%                (intensity/length). Default 0.05 * R.
%     'spacing'  grid spacing: one scalar or [h1 h2 h3]. Default 1.
%
%   The gradient is taken with central differences (the 'central' family of
%   QUILLMERE_STENCILS); Gaussians are applied separably with CONVN out to
%   3 standard deviations. Both read past the faces by repeating the edge
%   sample, as QUILLMERE does. All arithmetic is in double; results are
%   rounded to single once.
%
%   The work is done by the compiled helper quillmere_tensor_mex, built
%   beside the QUILLMERE module, on the threads the host allows
%   (maxNumCompThreads in MATLAB, nproc in Octave). It solves for the
%   eigenvalues in closed form where they are spread out and by Jacobi
%   rotations where J is nearly isotropic, and gives the same bits whatever
%   the thread count, processor or platform. Where the helper is not on the
%   path the same tensor is computed in M-code (eigenvectors by
%   QUILLMERE_EIGSYM3), much more slowly, with the warning
%   quillmere:tensor:noCompiled once per session. The two agree to within
%   1e-6 of the largest tensor entry (the tested bound; measured at most
%   1.2e-10; in nearly isotropic voxels the helper leaves out Jacobi
%   rotations too small to move the tensor by more than about 1e-9 of it,
%   which can move a result by one single-precision step, 6.2e-8 of the
%   largest entry) on random volumes, on isotropic and constant regions,
%   tubes, sheets and at huge and tiny intensities.
%
%   U must be a real single array with at most three dimensions; sigma and
%   rho must be real scalars >= 0; unknown kinds and options are refused.
%   Errors carry identifiers quillmere:tensor:*.
%
%   Example:
%     u = single(randn(32, 32, 32));
%     [t11,t12,t13,t22,t23,t33] = quillmere_tensor(u, 'ced', 'rho', 2);
%
%   See also QUILLMERE, QUILLMERE_EIGSYM3, QUILLMERE_MAX_DT.

if nargin < 2
  error('quillmere:tensor:nargin', 'Usage: quillmere_tensor(u, kind, ...)');
end
if ~isa(u, 'single') || ~isreal(u)
  error('quillmere:tensor:notRealSingle', 'U must be a real single array; given %s.', class(u));
end
if ndims(u) > 3
  error('quillmere:tensor:volume', 'U must be a real 3-D array.');
end
if ~ischar(kind) || ~any(strcmp(lower(kind), {'structure', 'ced', 'eed'}))
  error('quillmere:tensor:kind', 'KIND must be structure, ced or eed.');
end
kind = lower(kind);

opt.sigma = 1;
opt.rho = 3;
if strcmp(kind, 'eed')
  opt.rho = 0;
end
opt.alpha = 0.001;
opt.C = 0;
opt.lambda = 0;
opt.spacing = 1;
[opt, given] = parseOptions(opt, varargin);
compiled = exist('quillmere_tensor_mex', 'file') == 3;
% The data range sets the default C ('ced') and lambda ('eed'): a pass over
% u, taken only when the kind uses a default the caller left out. Each kind
% reads only its own of the two, so the other may stay 0.
if (strcmp(kind, 'ced') && ~given.C) || (strcmp(kind, 'eed') && ~given.lambda)
  if compiled
    range = quillmere_tensor_mex(3, u);
  else
    range = double(max(u(:))) - double(min(u(:)));
  end
  if isempty(range)
    range = 0;   % an empty volume: the defaults stay scalars
  end
  if ~given.C
    opt.C = (0.005 * range) ^ 4;
  end
  if ~given.lambda
    opt.lambda = 0.05 * range;
  end
end
h = double(opt.spacing(:).');
if numel(h) == 1
  h = [h h h];
end
if numel(h) ~= 3 || any(~(h > 0))
  error('quillmere:tensor:spacing', 'spacing must be one or three positive values.');
end
for name = {'sigma', 'rho'}
  v = opt.(name{1});
  if ~isRealScalar(v) || ~(v >= 0)
    error('quillmere:tensor:scale', '%s must be a real scalar >= 0 (not NaN).', name{1});
  end
end
for name = {'alpha', 'C', 'lambda'}
  if ~isRealScalar(opt.(name{1}))
    error('quillmere:tensor:options', '%s must be a real scalar.', name{1});
  end
end

if compiled
  [t11, t12, t13, t22, t23, t33] = quillmere_tensor_mex(1, u, ...
      find(strcmp(kind, {'structure', 'ced', 'eed'})), double(opt.sigma), double(opt.rho), h, ...
      double(opt.alpha), double(opt.C), double(opt.lambda));
  return;
end
persistent warned
if isempty(warned)
  warned = true;
  warning('quillmere:tensor:noCompiled', ...
          ['quillmere_tensor_mex is not on the path: computing the tensor in M-code, ' ...
           'much more slowly (build the module and add its folder to the path).']);
end
u = double(u);

% Structure tensor.
us = gaussSmooth(u, opt.sigma, h);
g1 = centralDiff(us, 1) / h(1);
g2 = centralDiff(us, 2) / h(2);
g3 = centralDiff(us, 3) / h(3);
j11 = gaussSmooth(g1 .* g1, opt.rho, h);
j12 = gaussSmooth(g1 .* g2, opt.rho, h);
j13 = gaussSmooth(g1 .* g3, opt.rho, h);
j22 = gaussSmooth(g2 .* g2, opt.rho, h);
j23 = gaussSmooth(g2 .* g3, opt.rho, h);
j33 = gaussSmooth(g3 .* g3, opt.rho, h);
clear g1 g2 g3 us;

if strcmp(kind, 'structure')
  d = {j11, j12, j13, j22, j23, j33};
else
  [mu, v1, v2, v3] = quillmere_eigsym3(j11, j12, j13, j22, j23, j33);
  clear j11 j12 j13 j22 j23 j33;
  mu = max(mu, 0);   % J is semi-definite; rounding may dip below zero
  if strcmp(kind, 'ced')
    lam = cedEigenvalues(mu, opt.alpha, opt.C);
  else
    lam = eedEigenvalues(mu, opt.lambda);
  end
  d = cell(1, 6);
  pairs = [1 1; 1 2; 1 3; 2 2; 2 3; 3 3];
  for k = 1:6
    a = pairs(k, 1); b = pairs(k, 2);
    d{k} = reshape(lam(:, 1) .* v1(:, a) .* v1(:, b) + lam(:, 2) .* v2(:, a) .* v2(:, b) ...
                   + lam(:, 3) .* v3(:, a) .* v3(:, b), size(u));
  end
end
t11 = single(d{1}); t12 = single(d{2}); t13 = single(d{3});
t22 = single(d{4}); t23 = single(d{5}); t33 = single(d{6});
end

function ok = isRealScalar(v)
ok = (isnumeric(v) || islogical(v)) && isreal(v) && isscalar(v);
end

function lam = cedEigenvalues(mu, alpha, C)
lam = alpha * ones(size(mu));
lam(:, 2) = alpha + (1 - alpha) * coherence(mu(:, 1) - mu(:, 2), C);
lam(:, 3) = alpha + (1 - alpha) * coherence(mu(:, 1) - mu(:, 3), C);
end

function c = coherence(gap, C)
% exp(-C / gap^2), taken as 0 where the gap is 0.
c = zeros(size(gap));
k = gap > 0;
c(k) = exp(-C ./ gap(k) .^ 2);
end

function lam = eedEigenvalues(mu, lambda)
% Weickert's diffusivity with m = 4: g(s) = 1 - exp(-3.31488 / (s/lambda^2)^4).
lam = ones(size(mu));
k = mu > 0;
lam(k) = 1 - exp(-3.31488 ./ (mu(k) / lambda ^ 2) .^ 4);
end

function [opt, given] = parseOptions(opt, args)
% given.(name) is true for the options the caller set.
if mod(numel(args), 2) ~= 0
  error('quillmere:tensor:options', 'Options come as NAME, VALUE pairs.');
end
names = fieldnames(opt);
given = cell2struct(num2cell(false(numel(names), 1)), names, 1);
for k = 1:2:numel(args)
  hit = strcmpi(args{k}, names);
  if ~ischar(args{k}) || ~any(hit)
    error('quillmere:tensor:options', 'Unknown option ''%s''.', num2str(args{k}));
  end
  opt.(names{hit}) = args{k + 1};
  given.(names{hit}) = true;
end
end

function d = centralDiff(u, dim)
% (u(+1) - u(-1)) / 2 along dim, the edge sample repeated past each face.
n = size(u, dim);
up = [2:n n];
dn = [1 1:n-1];
switch dim
  case 1
    d = (u(up, :, :) - u(dn, :, :)) / 2;
  case 2
    d = (u(:, up, :) - u(:, dn, :)) / 2;
  otherwise
    d = (u(:, :, up) - u(:, :, dn)) / 2;
end
end

function u = gaussSmooth(u, sigma, h)
% Separable Gaussian of std. dev. sigma (length units), replicate borders.
if sigma <= 0
  return;
end
for dim = 1:3
  s = sigma / h(dim);
  r = ceil(3 * s);
  x = -r:r;
  w = exp(-x .^ 2 / (2 * s ^ 2));
  w = w / sum(w);
  n = size(u, dim);
  idx = [ones(1, r), 1:n, n * ones(1, r)];
  switch dim
    case 1
      u = convn(u(idx, :, :), w(:), 'valid');
    case 2
      u = convn(u(:, idx, :), w, 'valid');
    otherwise
      u = convn(u(:, :, idx), reshape(w, 1, 1, []), 'valid');
  end
end
end
