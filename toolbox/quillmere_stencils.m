function varargout = quillmere_stencils(family, h)
%QUILLMERE_STENCILS Derivative stencils in the layout QUILLMERE expects.
%   S = QUILLMERE_STENCILS returns a struct with the nine stencils of the
%   call, fields k1, k2, k3 (3x3x3 single) and k11, k22, k33, k12, k13, k23
%   (5x5x5 single), for central differences on a unit grid.
%
%   [K1,K2,K3,K11,K22,K33,K12,K13,K23] = QUILLMERE_STENCILS(...) returns the
%   nine arrays in the order of arguments 8 to 16 of QUILLMERE, so that
%
%     [k1,k2,k3,k11,k22,k33,k12,k13,k23] = quillmere_stencils('central');
%     out = quillmere(u, t11,t12,t13,t22,t23,t33, ...
%                     k1,k2,k3,k11,k22,k33,k12,k13,k23, dt);
%
%   S = QUILLMERE_STENCILS(FAMILY, H) chooses the family and the grid
%   spacing. H is one positive scalar (the same spacing on every axis) or
%   three values [h1 h2 h3], the spacing along array dimensions 1, 2, 3.
%   Default: 1.
%
%   Directions. Stencil ki differentiates along array dimension i: k1 along
%   dimension 1 (down the rows, the fastest-varying index of a volume), k2
%   along dimension 2 (across the columns), k3 along dimension 3 (from
%   slice to slice). kij is the second derivative along dimensions i and j.
%   The stencils are correlations: weight (a,b,c) of a 3x3x3 stencil
%   multiplies the sample at offset (a-2, b-2, c-2) from the voxel (1-based
%   a, b, c), so k1(1,2,2) is the weight of the previous sample along
%   dimension 1; for 5x5x5 the offset is (a-3, b-3, c-3).
%
%   Families:
%     'central'  Standard central differences.
%                k1 = (u(+1) - u(-1)) / (2 h1) along dimension 1;
%                k11 = (u(+1) - 2 u(0) + u(-1)) / h1^2 (only the inner 3x3x3
%                of the 5x5x5 array is used); k12 is the product of the
%                central first differences along 1 and 2, i.e. weights
%                +-1/(4 h1 h2) at the four taps (+-1, +-1, 0).
%                Exact for every polynomial of degree 2 in each variable
%                separately (e.g. x^2 y^2 z^2 for k11).
%     'scharr'   The same differences, smoothed across: every stencil is
%                multiplied, along each axis it does not differentiate, by
%                the weights [3 10 3]/16 (Scharr). Derivative directions
%                of oblique structures come out with a much smaller
%                angular error than with 'central', at the price of some
%                blurring. The smoothing weights sum to 1, so every
%                polynomial of total degree 2 is still differentiated
%                exactly.
%     'sobel'    As 'scharr' with the smoothing weights [1 2 1]/4.
%
%   All stencils sum to zero (a constant has no derivative) and are
%   returned as single, rounded once from double.
%
%   See also QUILLMERE, QUILLMERE_TENSOR, QUILLMERE_MAX_DT.

if nargin < 1 || isempty(family)
  family = 'central';
end
if nargin < 2 || isempty(h)
  h = 1;
end
if ~ischar(family)
  error('quillmere:stencils:family', 'FAMILY must be a string.');
end
h = double(h(:).');
if numel(h) == 1
  h = [h h h];
end
if numel(h) ~= 3 || any(~isfinite(h)) || any(h <= 0)
  error('quillmere:stencils:spacing', ...
        'H must be one positive scalar or three positive values.');
end

switch lower(family)
  case 'central'
    p = [0 1 0];
  case 'scharr'
    p = [3 10 3] / 16;
  case 'sobel'
    p = [1 2 1] / 4;
  otherwise
    error('quillmere:stencils:family', ...
          'Unknown stencil family ''%s'' (use central, scharr or sobel).', family);
end

d1 = [-1 0 1] / 2;     % first difference, offsets -1, 0, +1
d2 = [1 -2 1];         % second difference
pad = @(v) [0 v 0];    % a 3-tap profile placed in the middle of 5 taps

% Each stencil is an outer product of one 1-D profile per axis.
S.k1 = single(outer3(d1 / h(1), p, p));
S.k2 = single(outer3(p, d1 / h(2), p));
S.k3 = single(outer3(p, p, d1 / h(3)));
S.k11 = single(outer3(pad(d2 / h(1)^2), pad(p), pad(p)));
S.k22 = single(outer3(pad(p), pad(d2 / h(2)^2), pad(p)));
S.k33 = single(outer3(pad(p), pad(p), pad(d2 / h(3)^2)));
S.k12 = single(outer3(pad(d1 / h(1)), pad(d1 / h(2)), pad(p)));
S.k13 = single(outer3(pad(d1 / h(1)), pad(p), pad(d1 / h(3))));
S.k23 = single(outer3(pad(p), pad(d1 / h(2)), pad(d1 / h(3))));

if nargout <= 1
  varargout{1} = S;
else
  names = {'k1', 'k2', 'k3', 'k11', 'k22', 'k33', 'k12', 'k13', 'k23'};
  for n = 1:nargout
    varargout{n} = S.(names{n});
  end
end
end

function k = outer3(a, b, c)
% k(i,j,l) = a(i) * b(j) * c(l): a along dimension 1, b along 2, c along 3.
k = reshape(kron(c(:), kron(b(:), a(:))), [numel(a) numel(b) numel(c)]);
end
