## octave-cli test_module_matches_core.m MODULE_DIR REFERENCE_TOOL
## The Octave module gives the class, size and bits of the core run directly
## on the same data, for many shapes (extents 1 and 2 along each axis, planes,
## 4-D u, an empty volume), and leaves its inputs alone.
1;

function expect_step(tool, args, label)
  before = cellfun(@qtest_bits, args, "UniformOutput", false);
  out = quillmere(args{:});
  again = quillmere(args{:});
  ref = qtest_reference_step(tool, args);
  qtest_check(isa(out, "single") && isreal(out), [label ": output is real single"]);
  qtest_check(isequal(size(out), size(ref)),
        sprintf("%s: size %s, expected %s", label, mat2str(size(out)), mat2str(size(ref))));
  qtest_check(isequal(qtest_bits(out), qtest_bits(ref)), [label ": bits equal the core's"]);
  qtest_check(isequal(qtest_bits(again), qtest_bits(out)), [label ": a second call gives the same bits"]);
  after = cellfun(@qtest_bits, args, "UniformOutput", false);
  qtest_check(isequal(before, after), [label ": inputs unchanged"]);
endfunction

addpath(fileparts(mfilename("fullpath")));
[~, ~, tool] = qtest_setup();

shapes = {};
for a = [1 2 4]
  for b = [1 2 3]
    for c = [1 2 5]
      shapes{end+1} = [a b c];
    endfor
  endfor
endfor
rand("state", 99);
for s = 1:6
  shapes{end+1} = randi([1 9], 1, 3);
endfor
shapes = [shapes, {[4 5], [1 7], [6 1], [3 4 2 2], [2 3 1 3], [0 3 2], [3 0]}];
## Large enough for the vector sweep (rows of more than four voxels, many
## rows per wavefront step), with remainders against every vector width.
shapes = [shapes, {[37 29 11], [64 5 3], [16 16 16], [130 2 2], [13 40 7]}];

for s = 1:numel(shapes)
  dims = shapes{s};
  args = qtest_make_inputs(dims, s);
  expect_step(tool, args, sprintf("u of %s", mat2str(dims)));
endfor

## A plane comes back as a plane, a 4-D u as its first three extents.
args = qtest_make_inputs([5 4], 200);
qtest_check(isequal(size(quillmere(args{:})), [5 4]), "plane keeps its 2-D shape");
args = qtest_make_inputs([3 4 2 2], 201);
qtest_check(isequal(size(quillmere(args{:})), [3 4 2]), "4-D u gives its first three extents");
args = qtest_make_inputs([0 3 2], 202);
out = quillmere(args{:});
qtest_check(isa(out, "single") && isequal(size(out), [0 3 2]), "0x3x2 gives an empty single 0x3x2");

## Longer stencils, a dt vector and an extra input: only the leading
## elements count.
args = qtest_make_inputs([4 3 2], 300);
expected = quillmere(args{:});
longer = args;
longer{9} = cat(1, args{9}(:), single([NaN; Inf; 5]));
longer{15} = cat(4, args{15}, NaN(5, 5, 5, "single"));
longer{17} = [args{17}, single(NaN), single(7)];
longer{18} = "ignored";
qtest_check(isequal(qtest_bits(quillmere(longer{:})), qtest_bits(expected)),
      "longer stencils, dt vector and extra input use leading elements");

## No output asked for: the result still arrives, as ans.
quillmere(args{:});
qtest_check(exist("ans", "var") == 1 && isequal(qtest_bits(ans), qtest_bits(expected)),
      "result made when no output is asked for");

qtest_finish(sprintf("module matches core: %d shapes, all passed", numel(shapes)));
