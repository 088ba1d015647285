## qtest_finish(summary)
## Ends a test script that checks with qtest_check: prints summary and exits
## 0 when nothing failed, else prints the number of failures and exits 1.
function qtest_finish(summary)
  global failures
  if (isempty(failures))
    printf("%s\n", summary);
    exit(0);
  endif
  printf("%d failures\n", numel(failures));
  exit(1);
endfunction
