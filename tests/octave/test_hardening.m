% No input takes the host down: every module is called with the bad inputs of hardening_cases, each
% call in its own Octave process, and must end in its error report, an error it raises, or a result;
% never in a crash, a hang, a sanitizer report or a changed input.
% HARDENING_ALLOW_MISSING=1 skips modules that are not built instead of failing.
modules = {'tremlo', 'dornask', 'dornesk', 'pelvask', 'pelvesk', 'quillet'};
mexdir = fileparts(which('hostcheck'));
for k = 1:numel(modules)
  if isempty(mexdir)
    mexdir = fileparts(which(modules{k}));
  end
end
assert(~isempty(mexdir), 'hardening: no module directory on the path');
built = cellfun(@(m) isfile(fullfile(mexdir, [m '.mex'])), modules);
missing = modules(~built);
if ~isempty(missing)
  if strcmp(getenv('HARDENING_ALLOW_MISSING'), '1')
    printf('skipped (not built): %s\n', strjoin(missing, ', '));
  else
    error('hardening: modules not built: %s', strjoin(missing, ', '));
  end
end

cases = hardening_cases();
cases = cases(ismember({cases.module}, modules(built)));
tic;
res = hardening_run(cases, mexdir);
printf('%d calls in %.0f s\n', numel(res), toc);
for k = find(built)
  mine = strcmp({res.module}, modules{k});
  ends = {res(mine).outcome};
  printf('%s: %d cases (%d error reports, %d host errors, %d results), %d failed\n', modules{k}, ...
         sum(mine), sum(strcmp(ends, 'report')), sum(strcmp(ends, 'host')), ...
         sum(strcmp(ends, 'result')), sum(mine & ~[res.ok]));
end
[~, order] = sort([res.seconds], 'descend');
for r = res(order(1:min(3, end)))
  printf('slowest: %.1f s %s\n', r.seconds, r.call);
end
bad = res(~[res.ok]);
for r = bad
  printf('FAIL %s\n     %s: %s\n', r.call, r.outcome, r.detail);
end
assert(isempty(bad), 'hardening: %d of %d calls failed', numel(bad), numel(res));
