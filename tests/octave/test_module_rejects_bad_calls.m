## octave-cli test_module_rejects_bad_calls.m MODULE_DIR
## Every malformed call raises its quillmere:<mnemonic> identifier with a
## message naming the argument, changes no input, and Octave goes on.
1;

function check(ok, what)
  global failures
  if (! ok)
    failures{end+1} = what;
    printf("FAIL: %s\n", what);
  endif
endfunction

function b = bits_of(x)
  if (isnumeric(x) || islogical(x) || ischar(x))
    b = typecast(reshape(x, [], 1), "uint8");
    if (iscomplex(x))
      b = [typecast(reshape(real(x), [], 1), "uint8"); typecast(reshape(imag(x), [], 1), "uint8")];
    endif
  else
    b = x;
  endif
endfunction

function a = with_arg(a, i, value)
  a{i} = value;
endfunction

function expect_refused(args, identifier, text, label)
  global cases
  cases += 1;
  before = cellfun(@bits_of, args, "UniformOutput", false);
  try
    out = quillmere(args{:});
    check(false, [label ": was accepted"]);
  catch err
    check(strcmp(err.identifier, identifier),
          sprintf("%s: identifier %s, expected %s", label, err.identifier, identifier));
    check(! isempty(strfind(err.message, text)),
          sprintf("%s: message \"%s\" lacks \"%s\"", label, err.message, text));
  end_try_catch
  check(! exist("out", "var"), [label ": an output was assigned"]);
  after = cellfun(@bits_of, args, "UniformOutput", false);
  check(isequal(before, after), [label ": inputs changed"]);
endfunction

global failures cases
failures = {};
cases = 0;
cli = argv();
addpath(cli{1});
addpath(fileparts(mfilename("fullpath")));

names = {"u", "t11", "t12", "t13", "t22", "t23", "t33", "k1", "k2", "k3", ...
         "k11", "k22", "k33", "k12", "k13", "k23", "dt"};
good = qtest_make_inputs([4 3 2], 1);

expect_refused({}, "quillmere:nargin", "expected 17 inputs", "no inputs");
expect_refused(good(1:16), "quillmere:nargin", "given 16", "sixteen inputs");

for i = 1:17
  expect_refused(with_arg(good, i, double(good{i})), "quillmere:notRealSingle",
                 sprintf("argument %d (%s) must be a real single array; given an array of class double", i, names{i}),
                 sprintf("double %s", names{i}));
endfor
expect_refused(with_arg(good, 1, complex(good{1}, single(0))), "quillmere:notRealSingle",
               "given a complex array of class single", "complex u");
expect_refused(with_arg(good, 3, complex(good{3}, good{3})), "quillmere:notRealSingle",
               "argument 3 (t12)", "complex t12");
expect_refused(with_arg(good, 8, int32(good{8})), "quillmere:notRealSingle",
               "of class int32", "int32 k1");
expect_refused(with_arg(good, 16, good{16} > 0), "quillmere:notRealSingle",
               "of class logical", "logical k23");
expect_refused(with_arg(good, 17, "a"), "quillmere:notRealSingle", "of class char",
               "char dt");
expect_refused(with_arg(good, 7, {good{7}}), "quillmere:notRealSingle", "of class cell",
               "cell t33");
expect_refused(with_arg(good, 11, struct("k", good{11})), "quillmere:notRealSingle",
               "of class struct", "struct k11");

expect_refused(with_arg(good, 5, zeros(4, 3, 3, "single")), "quillmere:tensorSize",
               "argument 5 (t22) must have the extents of u (4x3x2)", "t22 of 4x3x3");
expect_refused(with_arg(good, 2, zeros(4, 3, "single")), "quillmere:tensorSize",
               "given 4x3", "t11 as one plane");
expect_refused(with_arg(good, 4, zeros(3, 4, 2, "single")), "quillmere:tensorSize",
               "argument 4 (t13)", "t13 transposed");
expect_refused(with_arg(good, 6, zeros(4, 3, 2, 0, "single")), "quillmere:tensorSize",
               "given 4x3x2x0", "t23 with an empty fourth extent");
expect_refused(with_arg(good, 1, zeros(4, 3, 2, 0, "single")), "quillmere:volumeSize",
               "argument 1 (u)", "u with an empty fourth extent");

expect_refused(with_arg(good, 8, zeros(26, 1, "single")), "quillmere:stencilSize",
               "argument 8 (k1) must hold at least 27 weights", "k1 of 26");
expect_refused(with_arg(good, 14, zeros(3, 3, 3, "single")), "quillmere:stencilSize",
               "argument 14 (k12) must hold at least 125 weights", "k12 of 3x3x3");
expect_refused(with_arg(good, 15, zeros(1, 124, "single")), "quillmere:stencilSize",
               "given 124", "k13 of 124");

expect_refused(with_arg(good, 17, single([])), "quillmere:emptyDt",
               "argument 17 (dt) must hold at least one sample", "empty dt");
expect_refused(with_arg(good, 17, zeros(1, 0, "single")), "quillmere:emptyDt", "1x0",
               "1x0 dt");

## Too large without holding anything: 2^31 samples promised by the first
## three extents, and an extent that does not fit in 32 bits at all.
expect_refused(with_arg(good, 1, zeros(65536, 32768, 1, 0, "single")), "quillmere:tooLarge",
               "fewer than 2^31 samples", "u of 2^31 samples");
expect_refused(with_arg(good, 1, zeros(0, 3e9, "single")), "quillmere:tooLarge",
               "extents must be below 2^31", "extent of 3e9");

## Octave is still alive and the module still works.
out = quillmere(good{:});
check(isa(out, "single") && isequal(size(out), [4 3 2]), "good call after the bad ones");

if (isempty(failures))
  printf("bad calls refused: %d cases, all passed\n", cases);
  exit(0);
endif
printf("%d failures\n", numel(failures));
exit(1);
