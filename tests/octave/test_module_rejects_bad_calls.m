## octave-cli test_module_rejects_bad_calls.m MODULE_DIR [REFERENCE_TOOL]
## Every malformed call raises its quillmere:<mnemonic> identifier with a
## message naming the argument, changes no input, and Octave goes on (a good
## call after each one still gives the same bits). What only a real host
## shows: every Octave class, complex, cell, struct, sparse, function handle
## and empty array in every position, every short input count, extents of
## 2^31 or more (which the stand-in host cannot make), and the valid corners
## next to them (NaN and Inf dt, huge but empty volumes). Wrong shapes and
## sizes are refused through the stand-in host (gateway_bad_calls.h). With
## REFERENCE_TOOL the NaN / Inf dt results are also compared with the core's
## bits.
1;

function a = with_arg(a, i, value)
  a{i} = value;
endfunction

function expect_refused(args, identifier, text, label)
  global cases good baseline
  cases += 1;
  before = cellfun(@qtest_bits, args, "UniformOutput", false);
  try
    out = quillmere(args{:});
    qtest_check(false, [label ": was accepted"]);
  catch err
    qtest_check(strcmp(err.identifier, identifier),
          sprintf("%s: identifier %s, expected %s", label, err.identifier, identifier));
    qtest_check(! isempty(strfind(err.message, text)),
          sprintf("%s: message \"%s\" lacks \"%s\"", label, err.message, text));
  end_try_catch
  qtest_check(! exist("out", "var"), [label ": an output was assigned"]);
  after = cellfun(@qtest_bits, args, "UniformOutput", false);
  qtest_check(isequal(before, after), [label ": inputs changed"]);
  qtest_check(isequal(qtest_bits(quillmere(good{:})), baseline), [label ": a good call after it differs"]);
endfunction

## A valid call at an edge: real single output of the expected size, inputs
## unchanged. Returns the output.
function out = expect_step(args, expected_size, label)
  global cases
  cases += 1;
  before = cellfun(@qtest_bits, args, "UniformOutput", false);
  out = [];
  try
    out = quillmere(args{:});
  catch err
    qtest_check(false, sprintf("%s: refused with %s: %s", label, err.identifier, err.message));
    return;
  end_try_catch
  qtest_check(isa(out, "single") && isreal(out) && ! issparse(out), [label ": output is real single"]);
  qtest_check(isequal(size(out), expected_size),
        sprintf("%s: size %s, expected %s", label, mat2str(size(out)), mat2str(expected_size)));
  after = cellfun(@qtest_bits, args, "UniformOutput", false);
  qtest_check(isequal(before, after), [label ": inputs changed"]);
endfunction

addpath(fileparts(mfilename("fullpath")));
[~, ~, tool] = qtest_setup();
global cases good baseline
cases = 0;

names = {"u", "t11", "t12", "t13", "t22", "t23", "t33", "k1", "k2", "k3", ...
         "k11", "k22", "k33", "k12", "k13", "k23", "dt"};
good = qtest_make_inputs([4 3 2], 1);
baseline = qtest_bits(quillmere(good{:}));

expect_refused({}, "quillmere:nargin", "expected 17 inputs", "no inputs");
for n = 1:16
  expect_refused(good(1:n), "quillmere:nargin", sprintf("given %d", n), sprintf("%d inputs", n));
endfor

## A second output is refused before the sweep, with our identifier.
try
  [a, b] = quillmere(good{:});
  qtest_check(false, "two outputs: was accepted");
catch err
  qtest_check(strcmp(err.identifier, "quillmere:nargout"),
              sprintf("two outputs: identifier %s", err.identifier));
end_try_catch
cases += 1;

## Every other class, real and complex, in every position.
classes = {"double", "logical", "char", "int8", "uint8", "int16", "uint16", "int32", ...
           "uint32", "int64", "uint64"};
for i = 1:17
  for c = 1:numel(classes)
    switch (classes{c})
      case "logical"
        value = good{i} > 0;
      case "char"
        value = char(65 + zeros(size(good{i})));
      otherwise
        value = cast(good{i}, classes{c});
    endswitch
    expect_refused(with_arg(good, i, value), "quillmere:notRealSingle",
                   sprintf("argument %d (%s) must be a real single array; given an array of class %s",
                           i, names{i}, classes{c}),
                   sprintf("%s %s", classes{c}, names{i}));
  endfor
  ## Octave's complex arrays are single or double only.
  for c = {"single", "double"}
    value = complex(cast(good{i}, c{1}), cast(1, c{1}));
    expect_refused(with_arg(good, i, value), "quillmere:notRealSingle",
                   sprintf("argument %d (%s) must be a real single array; given a complex array of class %s",
                           i, names{i}, c{1}),
                   sprintf("complex %s %s", c{1}, names{i}));
  endfor
endfor

## Containers, sparse arrays (Octave has no single sparse) and function
## handles in every position.
for i = 1:17
  plane = double(reshape(good{i}, size(good{i}, 1), []));
  others = {{good{i}}, "cell"; struct("a", good{i}), "struct"; sparse(plane), "double";
            sparse(plane > 0), "logical"; @sin, "function_handle"};
  for k = 1:rows(others)
    expect_refused(with_arg(good, i, others{k, 1}), "quillmere:notRealSingle",
                   sprintf("argument %d (%s) must be a real single array; given an array of class %s",
                           i, names{i}, others{k, 2}),
                   sprintf("%s %s (%s)", class(others{k, 1}), names{i}, others{k, 2}));
  endfor
  expect_refused(with_arg(good, i, sparse(complex(plane, 1))), "quillmere:notRealSingle",
                 sprintf("argument %d (%s) must be a real single array; given a complex array of class double",
                         i, names{i}),
                 sprintf("complex sparse %s", names{i}));
endfor

## Empty arrays in every position: an empty u is a volume of no samples, so
## it is the tensors that no longer match.
for i = 1:17
  for shape = {[0 0], [0 3 2], [4 0 2]}
    value = zeros(shape{1}, "single");
    label = sprintf("%s of %s", names{i}, mat2str(shape{1}));
    if (i == 1)
      expect_refused(with_arg(good, i, value), "quillmere:tensorSize",
                     sprintf("argument 2 (t11) must have the extents of u (%s)",
                             strjoin(arrayfun(@num2str, [shape{1}, 1](1:3), "UniformOutput", false), "x")),
                     label);
    elseif (i <= 7)
      expect_refused(with_arg(good, i, value), "quillmere:tensorSize",
                     sprintf("argument %d (%s) must have the extents of u (4x3x2)", i, names{i}), label);
    elseif (i <= 16)
      expect_refused(with_arg(good, i, value), "quillmere:stencilSize",
                     sprintf("argument %d (%s) must hold at least", i, names{i}), label);
    else
      expect_refused(with_arg(good, i, value), "quillmere:emptyDt",
                     "argument 17 (dt) must hold at least one sample", label);
    endif
    expect_refused(with_arg(good, i, zeros(shape{1})), "quillmere:notRealSingle",
                   sprintf("argument %d (%s)", i, names{i}), ["double " label]);
  endfor
endfor

## Too large without holding anything: 2^31 samples or more promised by the
## first three extents of an empty u (a later extent of 0), or an extent
## that does not fit in 32 bits at all. Just below the limit the size passes
## and the missing samples are caught instead.
big = 2^31 - 1;
huge_u = {[65536 32768 1 0], "quillmere:tooLarge", "given 65536x32768x1, 2147483648 samples";
          [46341 46341 1 0], "quillmere:tooLarge", "fewer than 2^31 samples";
          [big 2 1 0], "quillmere:tooLarge", "given 2147483647x2x1";
          [big big 1 0], "quillmere:tooLarge", "fewer than 2^31 samples";
          [1 1 big 0], "quillmere:tooLarge", "extents of at most 2147483583";
          [46340 46340 1 0], "quillmere:volumeSize", "must hold the 2147395600 samples";
          [0 3e9], "quillmere:tooLarge", "extents must be below 2^31";
          [2^31 0], "quillmere:tooLarge", "extent 2147483648 along dimension 1";
          [0 2 2 3e9], "quillmere:tooLarge", "along dimension 4"};
for k = 1:rows(huge_u)
  expect_refused(with_arg(good, 1, zeros(huge_u{k, 1}, "single")), huge_u{k, 2}, huge_u{k, 3},
                 sprintf("u of %s", mat2str(huge_u{k, 1})));
endfor
## The same shapes elsewhere: a tensor whose extent does not fit is refused
## by the host; stencils and dt hold no samples.
expect_refused(with_arg(good, 4, zeros(2^31, 0, "single")), "quillmere:tooLarge",
               "extents must be below 2^31", "t13 of 2^31x0");
expect_refused(with_arg(good, 5, zeros(65536, 32768, 1, 0, "single")), "quillmere:tensorSize",
               "argument 5 (t22)", "t22 of 65536x32768x1x0");
expect_refused(with_arg(good, 9, zeros(0, 3e9, "single")), "quillmere:stencilSize",
               "argument 9 (k2) must hold at least 27 weights", "k2 of 0x3e9");
expect_refused(with_arg(good, 17, zeros(big, 0, "single")), "quillmere:emptyDt",
               "given an empty 2147483647x0 array", "dt of (2^31-1)x0");

## Valid corners beside them: volumes with huge extents and no samples are
## stepped into empty outputs of the same extents.
for shape = {[65536 32768 0], [0 65536 46340], [0 big], [big 0 big], [0 3 2], [0 0]}
  args = good;
  for i = 1:7
    args{i} = zeros(shape{1}, "single");
  endfor
  expect_step(args, shape{1}, sprintf("empty volume of %s", mat2str(shape{1})));
endfor

## NaN and Inf dt are valid calls. NaN makes every sample NaN; an infinite
## dt makes every sample infinite or NaN, as the update rule says (a finite
## sum times Inf is infinite, a zero sum times Inf is NaN, and the sweep
## carries them on). With the reference tool the bits are the core's too.
for dt = {single(NaN), single(Inf), single(-Inf), single([Inf 1])}
  args = good;
  args{17} = dt{1};
  label = sprintf("dt of %s", mat2str(dt{1}));
  out = expect_step(args, [4 3 2], label);
  if (isnan(dt{1}(1)))
    qtest_check(all(isnan(out(:))), [label ": every sample is NaN"]);
  else
    qtest_check(! any(isfinite(out(:))), [label ": no sample is finite"]);
  endif
  if (! isempty(tool))
    qtest_check(isequal(qtest_bits(out), qtest_bits(qtest_reference_step(tool, args))),
          [label ": bits equal the core's"]);
  endif
endfor

## Octave is still alive and the module still works.
out = quillmere(good{:});
qtest_check(isa(out, "single") && isequal(size(out), [4 3 2]), "good call after the bad ones");
qtest_check(isequal(qtest_bits(out), baseline), "good call after the bad ones gives the same bits");

qtest_finish(sprintf("bad calls refused: %d cases, all passed", cases));
