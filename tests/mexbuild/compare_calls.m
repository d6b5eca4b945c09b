function compare_calls(fileA, fileB)
% Compares two recordings of call_table call by call, prints every difference and fails if
% there is one. Also fails when the table ran no module at all (every call refused or failed).
  a = load(fileA); b = load(fileB);
  assert(isequal(a.names, b.names), 'the two recordings are of different tables');
  nbad = 0;
  for c = 1:numel(a.names)
    x = a.R{c}; y = b.R{c}; why = {};
    for m = 1:max(numel(x.out), numel(y.out))
      if m > numel(x.out) || m > numel(y.out) || ~strcmp(x.out{m}, y.out{m})
        why{end + 1} = sprintf('output %d', m);
      end
    end
    if ~strcmp(x.txt, y.txt), why{end + 1} = 'printed text'; end
    if ~strcmp(x.id, y.id), why{end + 1} = sprintf('identifier [%s] vs [%s]', x.id, y.id); end
    if ~strcmp(x.msg, y.msg), why{end + 1} = sprintf('message [%s] vs [%s]', x.msg, y.msg); end
    if ~isempty(why)
      nbad = nbad + 1;
      printf('DIFF %s: %s\n', a.names{c}, strjoin(why, ', '));
    end
  end
  computed = cellfun(@(r) isempty(r.id) && isempty(strfind(r.txt, 'Error: ')) && ...
                          ~isempty(r.out) && strncmp(r.out{1}, 'double', 6), a.R);
  raised = cellfun(@(r) ~isempty(r.id), a.R);
  reported = cellfun(@(r) ~isempty(strfind(r.txt, 'Error: ')), a.R);
  printf('%d of %d calls differ (%d computed, %d error reports, %d errors raised)\n', nbad, ...
         numel(a.names), nnz(computed), nnz(reported), nnz(raised));
  assert(nbad == 0, '%d calls differ', nbad);
  assert(nnz(computed) > numel(a.names) / 2, 'most calls computed nothing');
end
