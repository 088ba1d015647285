## qtest_check(ok, what)
## Records a failed check in the global list `failures` (which the calling
## test script prints and turns into its exit status) and says so at once.
function qtest_check(ok, what)
  global failures
  if (! ok)
    failures{end+1} = what;
    printf("FAIL: %s\n", what);
  endif
endfunction
