function out = quillmere(varargin)
%QUILLMERE One explicit step of tensor-driven anisotropic diffusion in 3-D.
%   OUT = QUILLMERE(U, T11,T12,T13,T22,T23,T33, K1,K2,K3,
%                   K11,K22,K33,K12,K13,K23, DT)
%   advances the volume U by one explicit time step of size DT of
%
%     du/dt = div(T grad u)
%           = sum_ij Tij d_i d_j u + sum_i (sum_j d_j Tij) d_i u,
%
%   where T is a symmetric 3x3 tensor per voxel and every derivative d is
%   taken with a stencil that you supply. OUT is a new single array of the
%   size of U; U and every other input are left unchanged. The module
%   keeps no state between calls.
%
%   Arguments (all real single; seventeen of them, in this order):
%     1      U      the volume, N1-by-N2-by-N3.
%     2-7    T11, T12, T13, T22, T23, T33
%                   tensor components, each N1-by-N2-by-N3. Tij couples
%                   directions i and j; T21 = T12, T31 = T13, T32 = T23.
%                   For a stable step T should be positive semi-definite.
%     8-10   K1, K2, K3
%                   first-derivative stencils of directions 1, 2, 3,
%                   3-by-3-by-3 (27 weights each).
%     11-16  K11, K22, K33, K12, K13, K23
%                   second-derivative stencils of the direction pairs
%                   (1,1), (2,2), (3,3), (1,2), (1,3), (2,3), 5-by-5-by-5
%                   (125 weights each). Note the order: the three diagonal
%                   pairs first, unlike the tensor components (row by row).
%     17     DT     step size, a scalar (only its first element is read).
%
%   Layout. Volumes are read in MATLAB's own column-major order: voxel
%   (i1, i2, i3) (0-based) is sample i1 + N1*i2 + N1*N2*i3, so direction 1
%   is array dimension 1 (down the rows), direction 2 dimension 2, direction
%   3 dimension 3. Stencils are read the same way, as flat runs of weights:
%     3x3x3: weight m = a + 3b + 9c (a, b, c in 0..2, i.e. element
%            K(a+1, b+1, c+1)) is the tap at offset (a-1, b-1, c-1) from the
%            voxel; the centre is m = 13, element (2,2,2).
%     5x5x5: weight m = a + 5b + 25c (a, b, c in 0..4) is the tap at offset
%            (a-2, b-2, c-2); the centre is m = 62, element (3,3,3).
%   Stencils are correlations, not convolutions: weight (a,b,c) multiplies
%   the sample at (i1+a-1, i2+b-1, i3+c-1) (or -2 for 5x5x5); nothing is
%   mirrored. So the central difference along dimension 1 is
%     K1 = zeros(3,3,3,'single'); K1(1,2,2) = -0.5; K1(3,2,2) = 0.5;
%   Which axis a stencil differentiates along is set by its weights alone;
%   QUILLMERE_STENCILS builds standard ones. Extra elements of a stencil or
%   of DT beyond those read are ignored.
%
%   Edges. A tap that falls outside the volume reads the nearest sample on
%   the face, each axis clamped on its own (a tap past a corner reads the
%   corner). Nothing is wrapped around or read as zero.
%
%   In-place sweep. OUT starts as a copy of U and is updated voxel by voxel
%   in column-major order (dimension 1 fastest, then 2, then 3), in place.
%   The stencils at a voxel read OUT as it stands at that moment: every
%   voxel earlier in that order has already been updated, the voxel itself
%   and every later one still hold the old values. The result therefore
%   differs from a step that reads only U (two buffers); this is intended
%   and defined.
%
%   Update of one voxel, with every operation rounded to single on its own
%   (no fused multiply-add, no wider accumulator), in exactly this order:
%     g_i = sum_m K_i(m) u(tap m)             i = 1, 2, 3, taps in order m
%     q_i = sum_m ((T_i1 K1(m) + T_i2 K2(m)) + T_i3 K3(m)),
%                                             tensor read at tap m
%     s_ij = sum_m K_ij(m) u(tap m)           125 taps in order m
%     first  = ((q1 g1) + (q2 g2)) + q3 g3
%     second = s11 T11 + s22 T22 + s33 T33
%              + (2 T12) s12 + (2 T13) s13 + (2 T23) s23    (left to right,
%                                             tensor read at the voxel)
%     new    = (second + first) * DT + old
%   Zero weights are still multiplied, so a NaN or Inf anywhere in a
%   voxel's 5x5x5 neighbourhood reaches its result. A NaN result is always
%   the canonical quiet NaN (bits 7FC00000, MATLAB's own NaN), whatever NaN
%   the arithmetic produced. Two calls with the same arguments give the same
%   bits, on every platform.
%
%   Output: OUT, a real single N1-by-N2-by-N3 array. If U has more than
%   three dimensions, only its first N1*N2*N3 samples are stepped and OUT
%   has three dimensions. A 2-D U is one plane (N3 = 1).
%
%   Errors (identifier: cause). A refused call allocates nothing and
%   changes nothing.
%     quillmere:nargin         fewer than 17 inputs.
%     quillmere:nargout        more than one output asked for.
%     quillmere:notRealSingle  an input that is not a real single array; the
%                              message names it, e.g. "argument 5 (t22)".
%     quillmere:tooLarge       U has 2^31 or more samples in its first three
%                              dimensions, or one of them is longer than
%                              2147483583 (2^31 - 65).
%     quillmere:volumeSize     U holds fewer samples than its first three
%                              extents promise (a later extent of 0).
%     quillmere:tensorSize     a tensor component whose first three extents
%                              differ from those of U.
%     quillmere:stencilSize    K1..K3 with fewer than 27 elements or
%                              K11..K23 with fewer than 125.
%     quillmere:emptyDt        DT is empty.
%     quillmere:noModule       this help file was called: the compiled module
%                              is not ahead of it on the path.
%
%   Step size. The explicit step is stable only for small DT:
%   QUILLMERE_MAX_DT gives a bound for your tensor and stencils.
%
%   Example (ten steps of coherence-enhancing diffusion of a noisy cube):
%     u = single(rand(20, 20, 20));
%     S = quillmere_stencils('central');
%     for n = 1:10
%       [t11, t12, t13, t22, t23, t33] = quillmere_tensor(u, 'ced');
%       dt = single(0.5 * quillmere_max_dt(t11, t12, t13, t22, t23, t33, S));
%       u = quillmere(u, t11, t12, t13, t22, t23, t33, S.k1, S.k2, S.k3, ...
%                     S.k11, S.k22, S.k33, S.k12, S.k13, S.k23, dt);
%     end
%     fprintf('standard deviation after 10 steps: %.3f\n', std(u(:)));
%
%   QUILLMERE_DEMO runs a larger version of this on a synthetic volume.
%
%   This file holds the help text only; the work is done by the compiled
%   module of the same name. Put the module's folder ahead of this one on
%   the path (ADDPATH it last), or keep both in one folder, where the
%   module takes precedence.
%
%   quillmere version 0.1.0 (VER lists it too).
%
%   See also QUILLMERE_STENCILS, QUILLMERE_TENSOR, QUILLMERE_MAX_DT,
%   QUILLMERE_DEMO.

error('quillmere:noModule', ...
      ['The compiled quillmere module was not found ahead of quillmere.m on the ' ...
       'path. Add the folder that holds it (e.g. build/linux/octave) after the ' ...
       'toolbox folder: addpath(''toolbox''); addpath(''build/linux/octave'').']);
end
