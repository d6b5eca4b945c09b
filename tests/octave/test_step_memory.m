% Allocation failures of every module end the call with the host error "<module>:outOfMemory",
% the module named once in the message: each call in an Octave process of its own, under a
% memory bound that a 20000 x 20000 image converted to double precision (3.2 GB) exceeds, and
% that tremlo's fourth output at 4096 levels over 16 warps (2.1 GB as double) exceeds beside
% its single-precision histograms.
% (Under AddressSanitizer the bound stops the process instead; that ending is accepted.)
big = 'zeros(20000, 20000, ''uint8'')';
calls = {
  'tremlo',  1, ['{' big ', I, W, P}']
  'tremlo',  4, '{put(T, 1, 4095), I, repmat(W, 1, 16), [2 3 1 1 1]}'
  'dornask', 5, ['{' big ', I, p, K}']
  'dornesk', 4, ['{T, ' big ', p}']
  'pelvask', 4, ['{' big ', I, p}']
  'pelvesk', 4, ['{T, ' big ', p}']
  'quillet', 1, ['{S, ' big ', p}']
  'quillet', 1, '{[1e5 1e5], I, p}'};
cases = struct('module', calls(:, 1), 'nout', calls(:, 2), 'args', calls(:, 3), 'expect', 'host');
mexdir = fileparts(which('dornask'));
res = hardening_run(cases', mexdir, 60, 1000);
for r = res
  if strcmp(r.outcome, 'memory')
    continue;
  end
  assert(r.ok && strcmp(r.outcome, 'host'), '%s: %s %s', r.call, r.outcome, r.detail);
  id = [r.module ':outOfMemory: '];
  assert(strncmp(r.detail, id, numel(id)), '%s: %s', r.call, r.detail);
  assert(numel(strfind(r.detail, r.module)) == 2, 'the module named once: %s', r.detail);
end
