function found = lint_shared_syntax(file, kind)
% Octave-only syntax and names in a .m file that MATLAB must run as well. KIND 'code' reads
% every line as code; 'help' reads a help text: every line must be a % comment, and the lines
% of its Example section (up to "See also") are read as code. A line whose comment says
% "Octave only" runs only in Octave (behind a test of OCTAVE_VERSION): Octave's own functions
% may be called there, but its syntax must still be shared, since MATLAB reads the whole file.
% Returns a struct array with the fields line (number), what (the construct) and text (the
% line), one element per finding.
  lines = regexp(fileread(file), '\r?\n', 'split');
  if ~isempty(lines) && isempty(lines{end})
    lines(end) = [];
  end
  found = struct('line', {}, 'what', {}, 'text', {});
  inExample = false;
  for n = 1:numel(lines)
    line = lines{n};
    if strcmp(kind, 'help')
      if isempty(regexp(line, '^\s*%', 'once'))
        if ~isempty(strtrim(line))
          found = note(found, n, 'a help line that is not a % comment', line);
        end
        continue;
      end
      body = regexprep(line, '^\s*%', '', 'once');
      if ~isempty(regexp(body, '^\s*Example\s*$', 'once'))
        inExample = true;
        continue;
      end
      if ~isempty(regexp(body, '^\s*See also', 'once'))
        inExample = false;
      end
      if ~inExample
        continue;
      end
      line = body;
    end
    [code, lexed, comment] = strip_line(line);
    for k = 1:numel(lexed)
      found = note(found, n, lexed{k}, lines{n});
    end
    whats = check_code(code, isempty(strfind(comment, 'Octave only')));
    for k = 1:numel(whats)
      found = note(found, n, whats{k}, lines{n});
    end
  end
end

function found = note(found, n, what, text)
  found(end + 1) = struct('line', n, 'what', what, 'text', text);
end

% The code of one line with every string replaced by $ and the comment removed, what the
% lexing itself found (double quotes, # comments, backslash continuations), and the comment.
function [code, what, comment] = strip_line(line)
  code = '';
  what = {};
  comment = '';
  k = 1;
  n = numel(line);
  while k <= n
    ch = line(k);
    if ch == '%'
      comment = line(k:end);
      break;
    elseif ch == '#'
      what{end + 1} = '# comment (use %)';
      comment = line(k:end);
      break;
    elseif strncmp(line(k:end), '...', 3)
      break;
    elseif ch == '"'
      what{end + 1} = 'double-quoted string (use single quotes)';
      j = k + 1;
      while j <= n && ~(line(j) == '"' && ~(j < n && line(j + 1) == '"'))
        if line(j) == '\' || line(j) == '"'
          j = j + 1;
        end
        j = j + 1;
      end
      code = [code '$'];
      k = j + 1;
    elseif ch == ''''
      if k > 1 && ~isempty(regexp(line(k - 1), '[\w)\]}.''$]', 'once'))
        code = [code ''''];  % transpose
        k = k + 1;
      else
        j = k + 1;
        while j <= n && ~(line(j) == '''' && ~(j < n && line(j + 1) == ''''))
          if line(j) == ''''
            j = j + 1;
          end
          j = j + 1;
        end
        code = [code '$'];
        k = j + 1;
      end
    else
      code = [code ch];
      k = k + 1;
    end
  end
  if ~isempty(regexp(code, '\\\s*$', 'once'))
    what{end + 1} = 'backslash continuation (use ...)';
  end
end

function what = check_code(code, checkNames)
  what = {};
  rules = {
    '!=',                                                   '!= (use ~=)';
    '!(?!=)',                                               '! (use ~)';
    '(?<![<>=~!])([-+*/^|&]|\.[*/^])=(?!=)',                'compound assignment such as += (use x = x + ...)';
    '\*\*',                                                 '** (use ^)';
    '[A-Za-z_]\w*\s*(\+\+|--)\s*($|[;,)\]])',               'increment or decrement operator';
    '(^|[;,(\[=\s])(\+\+|--)\s*[A-Za-z_]',                  'increment or decrement operator';
    '\]\s*[({]',                                            'indexing an array literal';
    '\$[({]',                                               'indexing a string';
    ['(?<![\w.])(endfunction|endif|endfor|endwhile|endswitch|end_try_catch|' ...
     'end_unwind_protect|unwind_protect_cleanup|unwind_protect|until|do)(?!\w)'], ...
                                                            'Octave-only keyword (use end, try)';
    };
  for r = 1:size(rules, 1)
    if ~isempty(regexp(code, rules{r, 1}, 'once'))
      what{end + 1} = rules{r, 2};
    end
  end
  % A call's or a transpose's result indexed at once: f(x)(1), x'(1). A parenthesised list
  % after @ is the parameter list of an anonymous function: @(x)(x + 1) is shared syntax.
  for at = regexp(code, '[)''][({]')
    if code(at) == ''''
      what{end + 1} = 'indexing a transpose';
    elseif ~after_anonymous(code, at)
      what{end + 1} = 'indexing the result of a call or an expression';
    end
  end
  names = {'printf', 'puts', 'fputs', 'fdisp', 'rows', 'columns', 'isargout', 'nthargout', ...
           'print_usage', 'viridis', 'cubehelix', 'ocean', 'postpad', 'prepad', 'ifelse', ...
           'merge', 'fflush', 'stdout', 'stderr', 'index', 'rindex', 'ostrsplit', 'substr', ...
           'isdigit', 'isalpha', 'isupper', 'islower', 'toascii', 'do_string_escapes', ...
           'undo_string_escapes', 'hash', 'md5sum', 'is_function_handle', 'lgamma', 'vec', ...
           'lookup', 'resize', 'program_name', 'argv', 'nproc', 'usleep', 'OCTAVE_VERSION', ...
           'confirm_recursive_rmdir', 'unsetenv', 'mkoctfile'};
  for k = 1:numel(names) * checkNames
    if ~isempty(regexp(code, ['(?<![\w.])' names{k} '(?!\w)'], 'once'))
      what{end + 1} = sprintf('Octave-only function %s', names{k});
    end
  end
end

% Whether the ) at position at closes the parameter list of an anonymous function.
function yes = after_anonymous(code, at)
  depth = 0;
  for k = at:-1:1
    if code(k) == ')'
      depth = depth + 1;
    elseif code(k) == '('
      depth = depth - 1;
      if depth == 0
        yes = k > 1 && code(k - 1) == '@';
        return;
      end
    end
  end
  yes = false;
end
