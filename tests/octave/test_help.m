% help <module> prints the comment file placed beside each module, the calls still reach the
% compiled modules, and every example in the help files runs and prints what it claims.
forms = {'tremlo',  '[Y, D, DD, H] = tremlo(T, I, W, P)';
         'dornask', '[MI, G, H1, H2, H3] = dornask(T, I, p)';
         'dornesk', '[MI, G, H1, H2] = dornesk(T, I, p)';
         'pelvask', '[E, G, H, K] = pelvask(T, I, p)';
         'pelvesk', '[E, G, H, K] = pelvesk(T, I, p)';
         'quillet', 'R = quillet(S, I, p)'};
for k = 1:rows(forms)
  [name, form] = forms{k, :};
  assert(exist(name) == 3, '%s: not the compiled module', name);
  file = fullfile(fileparts(which(name)), [name '.m']);
  assert(isfile(file), '%s: no help file beside the module', name);
  text = evalc(['help ' name]);
  assert(!isempty(strfind(text, form)), '%s: help does not show "%s"', name, form);
  first = strtrim(get_first_help_sentence(name));
  assert(strncmp(first, [name ' '], numel(name) + 1) && first(end) == '.', ...
         '%s: first help line "%s"', name, first);
  help_example(file);
end
