% The lint names each Octave-only construct on its own line and nothing else (lint_cases.txt),
% reads help texts as comments with code in their Example section; and examples/, help/ and
% build_mex.m use only the syntax that MATLAB and Octave share.
here = fileparts(mfilename('fullpath'));
root = fileparts(fileparts(here));
work = tempname();
mkdir(work);
cleanup = onCleanup(@() delete(fullfile(work, '*.m')));

% Every line of the table alone in a file: the one expected finding, or none.
rows = regexp(fileread(fullfile(here, 'lint_cases.txt')), '\n', 'split');
rows = rows(~cellfun(@isempty, rows) & ~strncmp(rows, '#', 1));
fails = {};
for k = 1:numel(rows)
  parts = regexp(rows{k}, '\t', 'split');
  file = fullfile(work, sprintf('case%d.m', k));
  fid = fopen(file, 'w');
  fprintf(fid, '%s\n', parts{1});
  fclose(fid);
  got = lint_shared_syntax(file, 'code');
  whats = {got.what};
  if strcmp(parts{2}, '-')
    ok = isempty(whats);
  else
    ok = numel(whats) == 1 && strncmp(whats{1}, parts{2}, numel(parts{2}));
  end
  if ~ok
    fails{end + 1} = sprintf('  %s\n    expected: %s\n    found:    %s', parts{1}, parts{2}, ...
                             strjoin(whats, '; '));
  end
end
assert(isempty(fails), 'lint cases:\n%s', strjoin(fails, '\n'));

% A help text: prose is not code, the Example section is; a line outside a comment is named.
file = fullfile(work, 'helpcase.m');
fid = fopen(file, 'w');
fprintf(fid, ['%% f  Does x += 1 in prose, which is not code.\n%%\n%%   Example\n' ...
              '%%     y = f(1);        %% -> y = 2\n%%     printf(''%%d\\n'', y)\n' ...
              '%%\n%%   See also g, rows(x).\n# not a comment\n']);
fclose(fid);
got = lint_shared_syntax(file, 'help');
assert(isequal([got.line], [5 8]) && strncmp(got(1).what, 'Octave-only function printf', 27) ...
       && strncmp(got(2).what, 'a help line', 11), 'help case: %s', strjoin({got.what}, '; '));

% The files users run.
files = [cellfun(@(f) fullfile(root, 'examples', f), {dir(fullfile(root, 'examples', '*.m')).name}, ...
                 'UniformOutput', false), {fullfile(root, 'build_mex.m')}];
helps = cellfun(@(f) fullfile(root, 'help', f), {dir(fullfile(root, 'help', '*.m')).name}, ...
                'UniformOutput', false);
assert(numel(files) >= 3 && numel(helps) >= 6, 'files to lint not found under %s', root);
report = {};
for f = [files, helps]
  kind = 'code';
  if any(strcmp(f{1}, helps))
    kind = 'help';
  end
  for g = lint_shared_syntax(f{1}, kind)
    report{end + 1} = sprintf('%s:%d: %s: %s', strrep(f{1}, [root filesep], ''), g.line, ...
                              g.what, strtrim(g.text));
  end
end
printf('%d files linted, %d findings\n', numel(files) + numel(helps), numel(report));
if ~isempty(report)
  printf('%s\n', report{:});
end
assert(isempty(report), '%d lines use Octave-only syntax (listed above)', numel(report));
