## b = qtest_bits(x)
## The raw bytes of a value, for comparisons that must see every bit (signed
## zeros, NaN payloads): numeric, logical and char arrays by their storage
## (real and imaginary parts), cells and structs element by element.
function b = qtest_bits(x)
  if (isnumeric(x) || islogical(x) || ischar(x))
    b = typecast(reshape(x, [], 1), "uint8");
    if (iscomplex(x))
      b = [typecast(reshape(real(x), [], 1), "uint8"); typecast(reshape(imag(x), [], 1), "uint8")];
    endif
  elseif (iscell(x))
    b = cellfun(@qtest_bits, x, "UniformOutput", false);
  elseif (isstruct(x))
    b = qtest_bits(struct2cell(x));
  else
    b = x;
  endif
endfunction
