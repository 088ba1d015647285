function files = quillmere_build(outdir, varargin)
%QUILLMERE_BUILD Compile the quillmere module from source with this host's compiler.
%   QUILLMERE_BUILD compiles every module of this checkout (quillmere, and any
%   other listed in module_sources.txt at the checkout's root) with MATLAB's
%   mex command, or in GNU Octave as oct-files (NAME.oct) with mkoctfile, and
%   puts each module beside the toolbox, in the folder of this file, so that
%   it is ready to call once the toolbox is on the path:
%
%     addpath toolbox; quillmere_build
%
%   QUILLMERE_BUILD(OUTDIR) puts the modules in OUTDIR instead (made when
%   missing; add it to the path after the toolbox). QUILLMERE_BUILD(OUTDIR,
%   'verbose') shows the compiler's commands. FILES = QUILLMERE_BUILD(...)
%   returns the paths of the modules made. Intermediate objects go to a
%   temporary folder, never into the checkout.
%
%   Compilers: MATLAB's mex with gcc, clang, MinGW-w64 or Microsoft Visual
%   C++ (any compiler that mex -setup C++ selects), and Octave's mkoctfile. Every
%   vector kernel (SSE2, AVX2, AVX-512F) is built into the one module, which
%   picks the fastest one the processor has when it runs; each gives the same
%   bits as the plain sweep.
%
%   The results are defined bit for bit, so the compiler must round every
%   product and sum on its own. QUILLMERE_BUILD adds the flags that say so
%   (-ffp-contract=off -fno-fast-math for gcc and clang, /fp:precise for
%   Visual C++) and refuses, with the error quillmere:build:fusingFlags, a
%   configuration whose flags would fuse or reorder operations: -ffast-math,
%   -Ofast, -funsafe-math-optimizations, -fassociative-math,
%   -ffp-contract=fast or on, -mfma, -march=native, /fp:fast, /fp:contract
%   or /arch:. Look in CXXFLAGS and CFLAGS (and, in MATLAB, COMPFLAGS and
%   the compiler configuration from mex -setup).
%
%   Other errors: quillmere:build:noSources (this copy of the toolbox has no
%   sources beside it, e.g. an installed package or a downloaded bundle,
%   which already hold a built module), quillmere:build:outdir (OUTDIR cannot
%   be made), quillmere:build:option (an unknown option).
%
%   See also quillmere, mex, mkoctfile.

here = absolutePath(fileparts(mfilename('fullpath')));
if nargin < 1 || isempty(outdir)
  outdir = here;
end
verbose = false;
for i = 1:numel(varargin)
  if ischar(varargin{i}) && strcmpi(varargin{i}, 'verbose')
    verbose = true;
  else
    error('quillmere:build:option', ...
          'quillmere_build: unknown option (only ''verbose'' is accepted)');
  end
end

root = fileparts(here);
manifest = fullfile(root, 'module_sources.txt');
if ~exist(manifest, 'file')
  error('quillmere:build:noSources', ...
        ['quillmere_build: no sources beside this toolbox (%s is missing); ', ...
         'this copy already holds a built module, or take the full source tree'], manifest);
end
[modules, hostFiles] = readManifest(manifest);

if ~exist(outdir, 'dir')
  [ok, msg] = mkdir(outdir);
  if ~ok
    error('quillmere:build:outdir', 'quillmere_build: cannot make %s: %s', outdir, msg);
  end
end
outdir = absolutePath(outdir);

isOctave = exist('OCTAVE_VERSION', 'builtin') ~= 0;
files = {};
for m = 1:numel(modules)
  sources = fullfile(root, modules(m).files);
  if isOctave
    files{end + 1} = buildOctave(modules(m).name, [sources, fullfile(root, hostFiles)], ...
                                 root, outdir, verbose); %#ok<AGROW>
  else
    files{end + 1} = buildMatlab(modules(m).name, sources, root, outdir, verbose); %#ok<AGROW>
  end
  fprintf('quillmere_build: made %s\n', files{end});
end
if nargout == 0
  clear files
end
end

function [modules, hostFiles] = readManifest(manifest)
% The list's format is described at its top: "name:" starts an entry, the
% words after it are its files, "#" starts a comment.
text = fileread(manifest);
text = regexprep(text, '#[^\n]*', '');
words = regexp(text, '\S+', 'match');
modules = struct('name', {}, 'files', {});
hostFiles = {};
current = 0;
inHost = false;
for i = 1:numel(words)
  w = words{i};
  if w(end) == ':'
    name = w(1:end - 1);
    inHost = strcmp(name, 'octave-host');
    if ~inHost
      modules(end + 1).name = name; %#ok<AGROW>
      modules(end).files = {};
      current = numel(modules);
    end
  elseif inHost
    hostFiles{end + 1} = w; %#ok<AGROW>
  elseif current > 0
    modules(current).files{end + 1} = w;
  end
end
end

function p = absolutePath(p)
% Without changing folder: a cd would drop relative entries of the path
% (e.g. the toolbox after addpath toolbox) in Octave.
if isempty(regexp(p, '^([A-Za-z]:)?[\\/]', 'once'))
  p = fullfile(pwd, p);
end
p = regexprep(p, '[\\/]+$', '');
end

function refuseFusingFlags(flags, where)
% Flags that let the compiler fuse a product into a sum, reorder sums, or
% build for this one processor. Each would change results or portability.
patterns = {'-ffast-math', '-Ofast', '-funsafe-math-optimizations', '-fassociative-math', ...
            '-ffp-contract=fast', '-ffp-contract=on', '-mfma', '-march=native', ...
            '/fp:fast', '/fp:contract', '/arch:', '-fp-model=fast', '-fp-model fast'};
for i = 1:numel(patterns)
  at = strfind(flags, patterns{i});
  for k = at
    % /fp:contract- (switched off) is harmless; every other match is not.
    after = k + numel(patterns{i});
    if strcmp(patterns{i}, '/fp:contract') && after <= numel(flags) && flags(after) == '-'
      continue
    end
    error('quillmere:build:fusingFlags', ...
          ['quillmere_build: %s holds %s, which lets the compiler fuse or reorder ', ...
           'floating-point operations (or build for this processor alone); quillmere''s ', ...
           'results are defined bit for bit. Remove it and run quillmere_build again.'], ...
          where, patterns{i});
  end
end
end

function file = buildOctave(name, sources, root, outdir, verbose)
% An oct-file, not a MEX file: Octave's MEX interface would copy every
% output when the call returns. mkoctfile takes the compiler flags from the
% environment. Each file is compiled on its own into a temporary folder
% (compiled together, mkoctfile would put the objects beside the sources);
% the Octave host files name the module's entry point from
% QUILLMERE_MODULE_NAME.
inherited = getenv('CXXFLAGS');
if isempty(inherited)
  inherited = mkoctfile('-p', 'CXXFLAGS');
end
inherited = strtrim(inherited);
refuseFusingFlags(inherited, 'CXXFLAGS');
refuseFusingFlags(getenv('CFLAGS'), 'CFLAGS');
refuseFusingFlags(getenv('LDFLAGS'), 'LDFLAGS');
flags = [inherited, ' -std=c++17 -ffp-contract=off -fno-fast-math', ...
         ' -iquote "', fullfile(root, 'hosts', 'octave'), '" -I"', root, '"'];
if ispc()
  % Octave for Windows is built with MinGW-w64 GCC, which may spill vector
  % registers with aligned moves to a stack Windows does not align (GCC bug
  % 54412); the assembler makes every such move unaligned.
  flags = [flags, ' -Wa,-muse-unaligned-vector-move'];
end

work = tempname();
mkdir(work);
saved = getenv('CXXFLAGS');
restore = onCleanup(@() restoreBuild(saved, work));
setenv('CXXFLAGS', flags);
verboseArgs = {};
if verbose
  verboseArgs = {'-v'};
end
objects = cell(1, numel(sources));
for i = 1:numel(sources)
  [~, base] = fileparts(sources{i});
  objects{i} = fullfile(work, sprintf('%02d_%s.o', i, base));
  runMkoctfile([verboseArgs, {['-DQUILLMERE_MODULE_NAME=', name], '-c', sources{i}, ...
                              '-o', objects{i}}]);
end
file = fullfile(outdir, [name, '.oct']);
linkArgs = {};
exportsMap = fullfile(root, 'hosts', 'octave', 'exports.map');
if isunix() && ~ismac() && exist(exportsMap, 'file')
  % Only the installer Octave looks for is shown, so the core's names
  % cannot clash with another module's.
  linkArgs = {['-Wl,--version-script=', exportsMap]};
end
runMkoctfile([verboseArgs, {'-o', file}, objects, linkArgs]);
copyHelp(name, root, outdir);
end

function runMkoctfile(args)
[output, status] = mkoctfile(args{:});
printf('%s', output);
if status ~= 0
  error('quillmere:build:compile', 'quillmere_build: mkoctfile %s failed', strjoin(args, ' '));
end
end

function restoreBuild(saved, work)
% An empty CXXFLAGS left behind would make every later mkoctfile build
% unoptimised, so an unset (or empty) one is unset again.
if isempty(saved)
  unsetenv('CXXFLAGS');
else
  setenv('CXXFLAGS', saved);
end
if exist(work, 'dir')
  confirm_recursive_rmdir(false, 'local');
  rmdir(work, 's');
end
end

function copyHelp(name, root, outdir)
% Octave shows the help of the M-file beside a module (the oct-file reads it
% from there), not of one elsewhere on the path, so the help text travels
% with the module.
helpFile = fullfile(root, 'toolbox', [name, '.m']);
target = fullfile(outdir, [name, '.m']);
if exist(helpFile, 'file') && ~strcmp(absolutePath(fileparts(helpFile)), outdir)
  copyfile(helpFile, target);
end
end

function file = buildMatlab(name, sources, root, outdir, verbose)
config = mex.getCompilerConfigurations('C++', 'Selected');
if isempty(config)
  error('quillmere:build:noCompiler', ...
        'quillmere_build: no C++ compiler is selected; run mex -setup C++ first');
end
details = config.Details;
configured = '';
for field = {'CompilerFlags', 'OptimizationFlags', 'LinkerFlags', 'LinkerOptimizationFlags'}
  if isfield(details, field{1}) || isprop(details, field{1})
    configured = [configured, ' ', details.(field{1})]; %#ok<AGROW>
  end
end
refuseFusingFlags(configured, sprintf('the mex configuration (%s)', config.Name));
for var = {'CXXFLAGS', 'CFLAGS', 'COMPFLAGS', 'CXXOPTIMFLAGS', 'OPTIMFLAGS'}
  refuseFusingFlags(getenv(var{1}), var{1});
end

args = {'-compatibleArrayDims', '-output', name, '-outdir', outdir, ['-I', root]};
isMsvc = ~isempty(regexpi([config.ShortName, ' ', config.Manufacturer], 'msvc|microsoft', 'once'));
if isMsvc
  % No /arch: here: Visual C++ 2019 and older fuse products and sums under
  % /arch:AVX2 even with /fp:precise, and x64 needs no flag for the kernels.
  args{end + 1} = 'COMPFLAGS=$COMPFLAGS /std:c++17 /fp:precise';
else
  flags = '$CXXFLAGS -std=c++17 -ffp-contract=off -fno-fast-math';
  if ispc()
    % MinGW-w64 GCC may spill vector registers with aligned moves to a
    % stack Windows does not align (GCC bug 54412).
    flags = [flags, ' -Wa,-muse-unaligned-vector-move'];
  end
  args{end + 1} = ['CXXFLAGS=', flags];
end
if verbose
  args{end + 1} = '-v';
end
mex(args{:}, sources{:});
file = fullfile(outdir, [name, '.', mexext()]);
copyHelp(name, root, outdir);
end
