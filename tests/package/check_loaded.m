function check_loaded(prefix, moddirFile)
% After pkg load imgalign: every module is the compiled one from the package's folder under
% prefix, help reads its text, and one call of each gives what an independent computation
% says. Writes the folder of the modules to moddirFile.
  assert(isempty(which('tremlo')), 'tremlo is on the path before pkg load');
  pkg('load', 'imgalign');
  names = {'tremlo', 'dornask', 'dornesk', 'pelvask', 'pelvesk', 'quillet'};
  forms = {'[Y, D, DD, H] = tremlo(T, I, W, P)', '[MI, G, H1, H2, H3] = dornask(T, I, p)', ...
           '[MI, G, H1, H2] = dornesk(T, I, p)', '[E, G, H, K] = pelvask(T, I, p)', ...
           '[E, G, H, K] = pelvesk(T, I, p)', 'R = quillet(S, I, p)'};
  dir = fileparts(which('tremlo'));
  assert(strncmp(dir, prefix, numel(prefix)), 'tremlo is in %s, not under %s', dir, prefix);
  for k = 1:numel(names)
    assert(exist(names{k}) == 3, '%s is not a compiled module', names{k});
    assert(strcmp(fileparts(which(names{k})), dir), '%s is not beside tremlo', names{k});
    text = evalc(['help ' names{k}]);
    assert(~isempty(strfind(text, forms{k})), 'help %s does not show "%s"', names{k}, forms{k});
  end
  printf('install_and_check: help tremlo: %s\n', get_first_help_sentence('tremlo'));

  % An image and a template cut out of it at (59, 49) from 0: every measure at the truth.
  I = round(100 + 50 * sin((0:127)' / 6) + 50 * cos((0:127) / 9));
  T = I(40:80, 30:70);
  p = [0 0 0 0 59 49];
  h = accumarray(T(:) + 1, 1) / numel(T);
  h = h(h > 0);
  entropy = -sum(h .* log(h));  % MI of T with itself
  assert(tremlo(T, I, [59; 49], [2 1 1 1 1]) == 0, 'tremlo');
  assert(abs(dornask(T, I, p) - entropy) < 1e-12, 'dornask');
  assert(abs(dornesk(T, I, p) - entropy) < 1e-12, 'dornesk');
  assert(pelvask(T, I, p) == 0, 'pelvask');
  assert(pelvesk(T, I, p) == 0, 'pelvesk');
  assert(isequal(quillet([41 41], I, p), T), 'quillet');
  printf('install_and_check: pkg load imgalign: 6 modules and their help from %s\n', dir);
  pkg('unload', 'imgalign');
  assert(isempty(which('tremlo')), 'tremlo is still on the path after pkg unload');
  fid = fopen(moddirFile, 'w');
  fprintf(fid, '%s', dir);
  fclose(fid);
end
