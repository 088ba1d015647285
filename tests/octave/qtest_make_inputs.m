## args = qtest_make_inputs(dims, seed)
## The seventeen inputs of a quillmere call on a volume of extents dims
## (given as written, so [4 5] is a plane and [4 5 3 2] a 4-D u): random
## single data, with zeros of both signs, subnormals, infinities and NaN
## sprinkled into u.
function args = qtest_make_inputs(dims, seed)
  rand("state", seed);
  shape = dims;
  if (numel(shape) < 2)
    shape(end+1:2) = 1;
  endif
  args = cell(1, 17);
  u = single(2 * rand(shape) - 1);
  specials = single([0, -0, 1e-40, -3e-39, Inf, -Inf, NaN, 3e38]);
  pick = rand(shape) < 0.1;
  u(pick) = specials(randi(numel(specials), nnz(pick), 1));
  args{1} = u;
  base = shape(1:min(3, end));
  for i = 2:7
    args{i} = single(2 * rand(base) - 1);
  endfor
  for i = 8:10
    args{i} = single(rand(3, 3, 3) - 0.5);
  endfor
  for i = 11:16
    args{i} = single(0.5 * rand(5, 5, 5) - 0.25);
  endfor
  args{17} = single(0.01 + 0.1 * rand());
endfunction
