function [root, hasModule] = quillmere_test_setup()
%QUILLMERE_TEST_SETUP Path set-up shared by the Octave tests.
%   [ROOT, HASMODULE] = QUILLMERE_TEST_SETUP puts the toolbox, these test
%   helpers and the folder of the compiled module on the path and reports
%   whether the module is there. The module's folder is taken from the
%   environment variable QUILLMERE_MODULE_DIR, else ROOT/build/linux/octave
%   (where the default preset builds it); it is
%   added last so that the module comes ahead of toolbox/quillmere.m.
here = fileparts(mfilename('fullpath'));
root = fileparts(fileparts(here));
addpath(fullfile(root, 'toolbox'));
addpath(here);
moduleDir = getenv('QUILLMERE_MODULE_DIR');
if isempty(moduleDir)
  moduleDir = fullfile(root, 'build', 'linux', 'octave');
end
if exist(moduleDir, 'dir')
  addpath(moduleDir);
end
hasModule = exist('quillmere') == 3;
end
