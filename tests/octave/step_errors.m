function step_errors(name, table)
% Argument errors of step module `name`: each row {f, nout, msg} of the cell array `table`
% calls f() with nout outputs, which must print the module's report of msg and return nout
% 1 x 1 single zeros.
  prefix = ["\n" upper(name) " Error: "];
  for c = 1:rows(table)
    [f, nout, msg] = table{c, :};
    out = cell(1, nout);
    if nout
      text = evalc('[out{:}] = f();');
    else
      text = evalc('f();');
    end
    assert(text, [prefix msg "\n \n\nAborting...\n"]);
    for k = 1:nout
      assert(isa(out{k}, 'single') && isequal(size(out{k}), [1 1]) && out{k} == 0, ...
             '%s: output %d', msg, k);
    end
  end
end
