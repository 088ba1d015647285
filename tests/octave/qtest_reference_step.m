## out = qtest_reference_step(tool, args)
## The core's own step of the call args (a cell of seventeen inputs), run by
## the quillmere_reference_step tool on the same bits: u's first three
## extents and samples, every tensor sample, the leading 27 / 125 weights
## of each stencil and the first dt. Returns single data shaped like the
## first three extents.
function out = qtest_reference_step(tool, args)
  u = args{1};
  sz = size(u);
  sz(end+1:3) = 1;
  dims = sz(1:3);
  n = prod(dims);
  infile = [tempname() ".in"];
  outfile = [tempname() ".out"];
  fid = fopen(infile, "wb");
  fwrite(fid, int32(dims), "int32");
  # Raw bits, so NaN payloads and signed zeros cross unchanged.
  bits = @(x, count) typecast(reshape(x(1:count), [], 1), "uint32");
  fwrite(fid, bits(u, n), "uint32");
  for i = 2:7
    fwrite(fid, bits(args{i}, n), "uint32");
  endfor
  for i = 8:10
    fwrite(fid, bits(args{i}, 27), "uint32");
  endfor
  for i = 11:16
    fwrite(fid, bits(args{i}, 125), "uint32");
  endfor
  fwrite(fid, bits(args{17}, 1), "uint32");
  fclose(fid);
  [status, text] = system(sprintf('"%s" "%s" "%s"', tool, infile, outfile));
  delete(infile);
  if (status != 0)
    error("qtest:reference", "reference step failed: %s", text);
  endif
  fid = fopen(outfile, "rb");
  raw = fread(fid, Inf, "uint32=>uint32");
  fclose(fid);
  delete(outfile);
  out = reshape(typecast(raw, "single"), dims);
endfunction
