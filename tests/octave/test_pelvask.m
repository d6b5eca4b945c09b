% pelvask: template-side SSD step against direct computations; identity, shapes, errors.
rand('seed', 11);
close_to = @(a, b) assert(a, b, -1e-10 * max(1, max(abs(b(:)))) - 1e-12);
[I, runs, ids] = ssd_step_checks(@pelvask, 'template');

for r = runs
  % p as a column, or with extra values, reads the first six
  [E2, G2, H2, K2] = pelvask(r.T, I, [r.p(:); 7; 8]);
  assert(isequal({E2, G2, H2, K2}, {r.E, r.G, r.H, r.K}));
  % outputs only as far as asked, each the same as with all four
  E1 = pelvask(r.T, I, r.p);
  [E3, G3] = pelvask(r.T, I, r.p);
  assert(isequal(E1, r.E) && isequal(E3, r.E) && isequal(G3, r.G));
end

% Identity: H is SD' SD of T's own forward differences.
for r = ids
  [w, h] = size(r.T);
  [X, Y] = ndgrid((0:w - 1) - fix(w / 2), (0:h - 1) - fix(h / 2));
  Tx = affine_ref('dx', r.T); Ty = affine_ref('dy', r.T);
  SD = [X(:) .* Tx(:), X(:) .* Ty(:), Y(:) .* Tx(:), Y(:) .* Ty(:), Tx(:), Ty(:)];
  close_to(r.H, SD' * SD);
end

% nlhs = 0 still sets the first output.
T = 10 * rand(5, 5); p = [0.01 0 0 0.02 6 7];
pelvask(T, I, p);
assert(ans, pelvask(T, I, p));

% Converted inputs: integer and logical arrays give the results of their double values.
step_converted(@pelvask, 4, uint8(255 * rand(6, 5)), rand(12, 10) > 0.5, p);

% A double T passed twice gives the same outputs and is left unchanged.
T = 10 * rand(6, 7);
step_repeat(@pelvask, 4, T, I, p);

% A non-numeric coordinate gives NaN, reading nothing outside I.
E = pelvask(T, I, [NaN 0 0 0 5 5]);
assert(isnan(E));

% Argument errors: message, then 1x1 single zeros in every requested slot.
step_errors('pelvask', {
  @() pelvask(T, I), 2, '3inputs required.';
  @() pelvask(T, I, p, []), 1, '3inputs required.';
  @() pelvask(T, I, p), 5, '1-4 outputs required';
  @() pelvask(T, I, [1 2 3 4 5]), 3, 'p must hold at least 6 values.';
  @() pelvask(zeros(0, 3), I, p), 2, 'T must be a non-empty numeric or logical array.';
  @() pelvask({T}, I, p), 1, 'T must be a non-empty numeric or logical array.';
  @() pelvask(T, [], p), 2, 'I must be a non-empty numeric or logical array.';
  @() pelvask(T, 'abc', p), 1, 'I must be a non-empty numeric or logical array.';
  @() pelvask(T), 0, '3inputs required.'});
