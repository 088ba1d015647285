% quillmere: tensor-driven anisotropic diffusion of 3-D volumes.
% Version 0.1.0
%
% The step (compiled module)
%   quillmere          - One explicit in-place step of div(T grad u).
%   quillmere_build    - Compile the modules with this host's compiler.
%
% Building the arguments
%   quillmere_stencils - First- and second-derivative stencils (central,
%                        scharr, sobel), with grid spacing.
%   quillmere_tensor   - Structure tensor, and the diffusion tensors of
%                        coherence- and edge-enhancing diffusion.
%   quillmere_max_dt   - Largest stable step size for a tensor and stencils.
%   quillmere_eigsym3  - Eigen-decomposition of many symmetric 3x3 matrices.
%
% Demonstration
%   quillmere_demo     - Coherence-enhancing diffusion of a noisy volume.
%   quillmere_phantom  - Deterministic synthetic volume: tubes and a sheet.
