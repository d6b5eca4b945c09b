function help_example(file)
% Runs the example of a help file (the comment lines after "Example", up to "See also") one
% statement at a time in a workspace of its own. A statement commented "% -> text" must print
% text, compared with runs of blanks and line breaks taken as one blank; no statement may print
% an error report or a warning.
  ex__src = fileread(file);
  ex__lines = regexp(ex__src, '\n', 'split');
  ex__lines = regexprep(ex__lines(strncmp(ex__lines, '%', 1)), '^%', '');
  ex__at = find(~cellfun(@isempty, regexp(ex__lines, '^\s*Example\s*$', 'once')));
  assert(numel(ex__at) == 1, '%s: one Example section expected', file);
  ex__n = 0;
  ex__stmt = '';
  for ex__line = ex__lines(ex__at + 1:end)
    ex__text = strtrim(ex__line{1});
    if strncmp(ex__text, 'See also', 8)
      break;
    end
    ex__stmt = [ex__stmt ' ' ex__text];
    if isempty(ex__text) || (numel(ex__text) >= 3 && strcmp(ex__text(end - 2:end), '...'))
      continue;
    end
    ex__claim = regexp(ex__stmt, '%\s*->\s*(.*)$', 'tokens', 'once');
    ex__out = evalc(ex__stmt);
    assert(isempty(strfind(ex__out, 'Error: ')) && isempty(strfind(ex__out, 'Warning')), ...
           '%s: "%s" printed:\n%s', file, strtrim(ex__stmt), ex__out);
    if ~isempty(ex__claim)
      ex__got = strtrim(regexprep(ex__out, '\s+', ' '));
      ex__want = strtrim(regexprep(ex__claim{1}, '\s+', ' '));
      assert(strcmp(ex__got, ex__want), '%s: "%s" printed "%s", its comment says "%s"', ...
             file, strtrim(ex__stmt), ex__got, ex__want);
    end
    ex__n += 1;
    ex__stmt = '';
  end
  assert(ex__n > 0, '%s: empty example', file);
end
