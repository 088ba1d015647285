% help quillmere shows the call's documentation, every toolbox function has
% help, and the example in the help text runs as written (needs the module).
addpath(fileparts(mfilename('fullpath')));
[root, hasModule] = qtest_setup();

where = ' (with the module on the path, toolbox/quillmere.m must sit beside it for help to find it)';
try
  text = evalc('help quillmere');
catch err
  error('help quillmere failed: %s%s', err.message, where);
end
must = {'QUILLMERE(U, T11,T12,T13,T22,T23,T33, K1,K2,K3', 'column-major', ...
        'm = a + 3b + 9c', 'centre is m = 13', 'm = a + 5b + 25c', 'centre is m = 62', ...
        'correlations, not convolutions', 'nearest sample on', 'In-place sweep', ...
        '((q1 g1) + (q2 g2)) + q3 g3', '(second + first) * DT + old', ...
        'quillmere:nargin', 'quillmere:notRealSingle', 'argument 5 (t22)', ...
        'quillmere:tensorSize', 'quillmere:stencilSize', 'quillmere:emptyDt', ...
        'quillmere:tooLarge', 'quillmere:nargout', 'quillmere:volumeSize', ...
        'quillmere:noModule', 'canonical quiet NaN', 'Example'};
for k = 1:numel(must)
  assert(~isempty(strfind(text, must{k})), 'help quillmere lacks "%s"%s', must{k}, where);
end

names = {'quillmere_stencils', 'quillmere_tensor', 'quillmere_eigsym3', 'quillmere_max_dt', ...
         'quillmere_phantom', 'quillmere_demo'};
for k = 1:numel(names)
  t = evalc(['help ' names{k}]);
  assert(~isempty(strfind(t, upper(names{k}))), 'help %s is empty', names{k});
end

if ~hasModule
  % The help file alone refuses to run, and says why.
  id = '';
  try
    quillmere(1);
  catch err
    id = err.identifier;
  end
  assert(strcmp(id, 'quillmere:noModule'), 'toolbox/quillmere.m without the module');
  fprintf('SKIP: the module quillmere is not built; help example not run\n');
  fprintf('help tests passed\n');
  return;
end

% The example, cut from the help text and run as written.
lines = strsplit(fileread(fullfile(root, 'toolbox', 'quillmere.m')), sprintf('\n'));
start = find(~cellfun(@isempty, regexp(lines, '^%\s+Example')), 1);
assert(~isempty(start), 'no Example in toolbox/quillmere.m');
code = {};
for k = start + 1:numel(lines)
  l = regexprep(lines{k}, '^%', '');
  if isempty(strtrim(l))
    break;
  end
  code{end + 1} = l;
end
src = sprintf('%s\n', code{:});
fprintf('running the help example:\n%s', src);
clear u;
eval(src);
assert(exist('u', 'var') == 1 && isa(u, 'single') && isequal(size(u), [20 20 20]), ...
       'the example did not leave a 20x20x20 single u');
assert(std(double(u(:))) < 0.25, 'the example did not smooth');
fprintf('help tests passed\n');
