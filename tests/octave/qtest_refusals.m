% Calls fn with each row's arguments, table(:, 2), and checks that it raises
% the row's identifier, table(:, 1); label names the table in messages.
function qtest_refusals(fn, table, label)
  for b = 1:rows(table)
    try
      fn(table{b, 2}{:});
      qtest_check(false, sprintf('%s %d (%s) not raised', label, b, table{b, 1}));
    catch err
      qtest_check(strcmp(err.identifier, table{b, 1}), ...
                  sprintf('%s %d: %s instead of %s', label, b, err.identifier, table{b, 1}));
    end
  end
end
