## octave-cli test_module_host.m MODULE_DIR [REFERENCE_TOOL]
## What the Octave adapter itself owes the gateways, beyond the refusals
## (test_module_rejects_bad_calls): values Octave keeps without plain samples
## (ranges, diagonal, sparse, lazy index) read as their full arrays; output
## slots as Octave's MEX rules give them (ans, fewer outputs asked for, one
## slot too many left undefined); outputs that are the caller's own arrays
## afterwards, sharing nothing with the inputs; the thread question trapped
## when nproc fails or answers nonsense; each module's help; and the module
## file being an oct-file.
1;

## The tensor module's mode 1 with options in the forms given, all six
## components.
function t = tensor_with(u, spacing, mode, sigma)
  t = cell(1, 6);
  [t{:}] = quillmere_tensor_mex(mode, u, 2, sigma, 2, spacing, 0.01, 1, 1);
endfunction

function bits = all_bits(values)
  bits = cellfun(@qtest_bits, values, "UniformOutput", false);
endfunction

addpath(fileparts(mfilename("fullpath")));
[~, hasModule, tool] = qtest_setup();
qtest_check(hasModule, "the module is on the path");
for name = {"quillmere", "quillmere_tensor_mex"}
  file = which(name{1});
  qtest_check(numel(file) > 4 && strcmp(file(end-3:end), ".oct"),
              sprintf("%s is an oct-file (got %s)", name{1}, file));
endfor

## Options without plain samples give the bits of the same values in full.
u = single(rand(7, 6, 5));
plain = all_bits(tensor_with(u, [1 2 3], 1, 1));
forms = {{1:3, 1, 1}, "spacing as a range";
         {sparse([1 2 3]), 1, 1}, "spacing sparse";
         {[1 2 3], 1:1, 1}, "mode as a range";
         {[1 2 3], sparse(1), 1}, "mode sparse";
         {[1 2 3], 1, eye(1)}, "sigma as a diagonal matrix";
         {[1 2 3], find([0 1]) - 1, 1}, "mode as an index"};
for k = 1:rows(forms)
  f = forms{k, 1};
  qtest_check(isequal(all_bits(tensor_with(u, f{:})), plain), [forms{k, 2} ": same bits"]);
endfor

## Output slots: none asked for makes ans; fewer than six keep the leading
## components; a slot the module does not fill is left undefined.
quillmere_tensor_mex(1, u, 2, 1, 2, [1 2 3], 0.01, 1, 1);
qtest_check(isequal(qtest_bits(ans), plain{1}), "no output asked for: ans is t11");
for kept = 1:5
  t = cell(1, kept);
  [t{:}] = quillmere_tensor_mex(1, u, 2, 1, 2, [1 2 3], 0.01, 1, 1);
  qtest_check(isequal(all_bits(t), plain(1:kept)), sprintf("%d outputs: the leading ones", kept));
endfor
try
  [r, extra] = quillmere_tensor_mex(3, u);
  qtest_check(false, "a second output of the range mode was given");
catch err
  qtest_check(! isempty(strfind(err.message, "element number 2 undefined")),
              ["a second output of the range mode: " err.message]);
end_try_catch
r = quillmere_tensor_mex(3, single([2 -1 5]));
qtest_check(isa(r, "double") && isequal(r, 6), "the range mode returns a double scalar");

## Outputs belong to the caller: writing them changes neither the inputs
## nor another output, and the inputs keep their bits.
args = qtest_make_inputs([9 8 7], 5);
shared = args{1};
before = all_bits(args);
out = quillmere(args{:});
again = quillmere(args{:});
out(:) = 7;
qtest_check(isequal(all_bits(args), before) && isequal(qtest_bits(shared), before{1}),
            "inputs keep their bits after a step and a write to its output");
qtest_check(! isequal(qtest_bits(again), qtest_bits(out)), "a second call's output is its own");
if (! isempty(tool))
  qtest_check(isequal(qtest_bits(again), qtest_bits(qtest_reference_step(tool, args))),
              "the step equals the core's bits");
endif
t = tensor_with(u, [1 2 3], 1, 1);
t{1}(:) = 0;
qtest_check(isequal(all_bits(t(2:6)), plain(2:6)), "writing one tensor output leaves the others");

## The thread question goes to whatever nproc is on the path; when it fails
## or answers nonsense, the call still steps with the same bits, and the
## failure leaves no error behind.
expected = qtest_bits(quillmere(args{:}));
shadow = tempname();
mkdir(shadow);
answers = {"error('test:nproc', 'nproc fails')", "failing nproc";
           "n = 'many';", "nproc answering text";
           "n = [];", "nproc answering empty";
           "n = NaN;", "nproc answering NaN";
           "n = -3;", "nproc answering -3";
           "n = 1;", "nproc answering 1";
           "", "nproc answering nothing"};
for k = 1:rows(answers)
  fid = fopen(fullfile(shadow, "nproc.m"), "w");
  fprintf(fid, "function n = nproc(varargin)\n%s\nend\n", answers{k, 1});
  fclose(fid);
  warning("off", "Octave:shadowed-function", "local");
  addpath(shadow);
  clear nproc
  lasterr("");
  got = [];
  try
    got = quillmere(args{:});
  catch err
    qtest_check(false, sprintf("%s: refused with %s", answers{k, 2}, err.message));
  end_try_catch
  qtest_check(isequal(qtest_bits(got), expected), [answers{k, 2} ": same bits"]);
  qtest_check(isempty(lasterr()), [answers{k, 2} ": no error left behind"]);
  rmpath(shadow);
  clear nproc
endfor
confirm_recursive_rmdir(false, "local");
rmdir(shadow, "s");

## Help: quillmere's from the M-file beside it, as for an M-file; the
## tensor module has none.
text = evalc("help quillmere");
qtest_check(! isempty(strfind(text, "column-major")) && ! isempty(strfind(text, "quillmere:nargin")),
            "help quillmere shows the call's text");
try
  evalc("help quillmere_tensor_mex");
  qtest_check(false, "help quillmere_tensor_mex found a text");
catch err
  qtest_check(! isempty(strfind(err.message, "not documented")),
              ["help quillmere_tensor_mex: " err.message]);
end_try_catch

qtest_finish("module host: all passed");
