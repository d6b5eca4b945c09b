function res = hardening_run(cases, mexdir, limit, mb)
% Runs each case (fields module, nout, args, expect) in a child Octave process with MEXDIR on its
% path, within LIMIT seconds (default 60) and MB megabytes of memory (default 3000) each, and
% judges how it ended. Returns a struct array with the fields call, module, ok, outcome, detail
% and seconds (the child's run time), one per case.
  if nargin < 3
    limit = 60;
  end
  if nargin < 4
    mb = 3000;
  end
  here = fileparts(mfilename('fullpath'));
  dir = tempname();
  mkdir(dir);
  cleanup = onCleanup(@() remove_dir(dir));
  for i = 1:numel(cases)
    c = cases(i);
    fid = fopen(fullfile(dir, sprintf('case_%04d.m', i)), 'w');
    fprintf(fid, 'addpath(''%s'');\naddpath(''%s'');\nhardening_child(''%s'', %d, ''%s'');\nexit(0);\n', ...
            mexdir, here, c.module, c.nout, strrep(c.args, '''', ''''''));
    fclose(fid);
  end
  octave = fullfile(OCTAVE_HOME(), 'bin', 'octave');
  if ~exist(octave, 'file')
    octave = 'octave';
  end
  [~, n] = system('nproc');
  jobs = max(1, min(8, str2double(n)));
  status = system(sprintf('"%s" "%s" "%s" %d %d %d', fullfile(here, 'hardening_children'), ...
                          octave, dir, jobs, limit, mb));
  assert(status == 0, 'hardening: the case runner failed');
  res = struct('call', {}, 'module', {}, 'ok', {}, 'outcome', {}, 'detail', {}, 'seconds', {});
  for i = 1:numel(cases)
    base = fullfile(dir, sprintf('case_%04d', i));
    rc = sscanf(read_file([base '.rc']), '%f');
    if numel(rc) < 3
      rc = [NaN NaN NaN];
    end
    [ok, outcome, detail] = judge(cases(i), read_file([base '.out']), read_file([base '.err']), ...
                                  rc(1), limit);
    res(end + 1) = struct('call', call_text(cases(i)), 'module', cases(i).module, 'ok', ok, ...
                          'outcome', outcome, 'detail', detail, 'seconds', rc(3) - rc(2));
  end
end

function [ok, outcome, detail] = judge(c, out, err, rc, limit)
  % The one place that says which endings are sound.
  ok = false;
  detail = '';
  lines = regexp(out, 'HARDEN:[^\n]*', 'match');
  if any(rc == [124 137])
    outcome = 'timeout';
    detail = sprintf('no end within %d s', limit);
    return;
  end
  if ~isempty(strfind(err, 'AddressSanitizer: hard rss limit exhausted'))
    % The sanitized allocator cannot fail an allocation by throwing, so the memory bound ends the
    % process; without the sanitizer the same call meets the bound as std::bad_alloc.
    outcome = 'memory';
    detail = 'stopped at the memory bound; acceptable where an error is';
    ok = strcmp(c.expect, 'any') || ~isempty(strfind(c.expect, 'host'));
    return;
  end
  san = regexp(err, '[^\n]*(ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error:)[^\n]*', 'match', 'once');
  if ~isempty(san)
    outcome = 'sanitizer';
    detail = strtrim(san);
    return;
  end
  if isnan(rc) || rc ~= 0 || ~any(strcmp(lines, 'HARDEN:done'))
    outcome = 'crash';
    detail = sprintf('exit status %g; %s', rc, last_lines(err, 3));
    return;
  end
  setup = regexp(out, 'HARDEN:setup ([^\n]*)', 'tokens', 'once');
  if ~isempty(setup)
    outcome = 'table';
    detail = ['inputs not built: ' setup{1}];
    return;
  end
  reported = ~isempty(strfind(out, [prefix_of(c.module) ' Error: ']));
  hosterr = regexp(out, 'HARDEN:error ([^|\n]*)\|([^\n]*)', 'tokens', 'once');
  outs = regexp(out, 'HARDEN:out \d+ (\S+) (\S+) real=(\d) placeholder=(\d)', 'tokens');
  if ~isempty(hosterr)
    outcome = 'host';
    [id, msg] = deal(hosterr{:});
    detail = sprintf('%s: %s', id, msg);
    if reported
      detail = ['error report and host error both: ' detail];
      return;
    end
    if isempty(strtrim(msg)) || ~strncmpi(id, [c.module ':'], numel(c.module) + 1)
      detail = ['host error not raised by the module: ' detail];
      return;
    end
  elseif any(strcmp(lines, 'HARDEN:returned'))
    placeholders = all(cellfun(@(t) strcmp(t{4}, '1'), outs));
    if reported
      outcome = 'report';
      detail = first_line_after(out, [prefix_of(c.module) ' Error: ']);
      if isempty(strfind(out, "\n\nAborting...\n"))
        detail = ['report without its ending: ' detail];
        return;
      end
      if numel(outs) ~= c.nout || ~placeholders
        detail = ['report without a 1x1 single placeholder in every slot: ' detail];
        return;
      end
    else
      outcome = 'result';
      bad = outs(cellfun(@(t) ~strcmp(t{1}, 'double') || ~strcmp(t{3}, '1'), outs));
      detail = strjoin(cellfun(@(t) sprintf('%s %s', t{1}, t{2}), outs, 'UniformOutput', false), ', ');
      if c.nout > 0 && placeholders
        detail = ['placeholders without an error report: ' detail];
        return;
      end
      if ~isempty(bad)
        detail = ['an output that is not a real double array: ' detail];
        return;
      end
    end
  else
    outcome = 'crash';
    detail = 'the call neither returned nor raised an error';
    return;
  end
  changed = regexp(out, 'HARDEN:changed ([^\n]*)', 'tokens', 'once');
  if isempty(changed) || ~isempty(strtrim(changed{1}))
    detail = sprintf('caller input(s) %s changed by the call; %s', strtrim([changed{:}]), detail);
    return;
  end
  if ~strcmp(c.expect, 'any') && ~any(strcmp(outcome, strsplit(c.expect, '|')))
    detail = sprintf('expected %s; %s', c.expect, detail);
    return;
  end
  ok = true;
end

function p = prefix_of(module)
  if strcmp(module, 'tremlo')
    p = module;
  else
    p = upper(module);
  end
end

function s = call_text(c)
  s = sprintf('%s(%s)', c.module, c.args(2:end - 1));
  if c.nout > 0
    s = sprintf('[%s] = %s', strjoin(arrayfun(@(k) sprintf('o%d', k), 1:c.nout, 'UniformOutput', false), ','), s);
  end
end

function s = first_line_after(text, mark)
  k = strfind(text, mark);
  s = strtok(text(k(1) + numel(mark):end), "\n");
end

function s = last_lines(text, n)
  l = strsplit(strtrim(text), "\n");
  l = l(cellfun(@(x) isempty(strfind(x, 'ignoring const execution_exception')), l));
  s = strjoin(l(max(1, end - n + 1):end), ' / ');
end

function s = read_file(name)
  if exist(name, 'file')
    s = fileread(name);
  else
    s = '';
  end
end

function remove_dir(dir)
  confirm_recursive_rmdir(false, 'local');
  rmdir(dir, 's');
end
