% pelvesk: image-side SSD step against direct computations; identity, shapes, errors.
rand('seed', 12);
close_to = @(a, b) assert(a, b, -1e-10 * max(1, max(abs(b(:)))) - 1e-12);
[I, runs, ids] = ssd_step_checks(@pelvesk, 'image');

for r = runs
  % the same squared error as the template-side step
  assert(r.E, pelvask(r.T, I, r.p));
  [E2, G2, H2, K2] = pelvesk(r.T, I, [r.p(:); 7]);
  assert(isequal({E2, G2, H2, K2}, {r.E, r.G, r.H, r.K}));
  [E1, G1, H1] = pelvesk(r.T, I, r.p);
  assert(isequal({E1, G1, H1}, {r.E, r.G, r.H}));
end

% Identity: SD from T's own gradients, as on the template side.
for r = ids
  [~, ~, Ha] = pelvask(r.T, r.T, r.p);
  close_to(r.H, Ha);
end

% nlhs = 0 still sets the first output.
T = 10 * rand(5, 5); p = [0.01 0 0 0.02 6 7];
pelvesk(T, I, p);
assert(ans, pelvesk(T, I, p));

% Converted inputs.
step_converted(@pelvesk, 4, uint8(255 * rand(6, 5)), int16(100 * rand(12, 10)), p);

% Double inputs passed twice: same outputs, arrays unchanged.
T = 10 * rand(6, 7);
step_repeat(@pelvesk, 4, T, I, p);

E = pelvesk(T, I, [0 0 NaN 0 5 5]);
assert(isnan(E));

% Argument errors.
step_errors('pelvesk', {
  @() pelvesk(T, I), 2, '3 inputs required.';
  @() pelvesk(T, I, p, 1), 1, '3 inputs required.';
  @() pelvesk(T, I, p), 5, '1-4 outputs required';
  @() pelvesk(T, I, zeros(2, 2)), 4, 'p must hold at least 6 values.';
  @() pelvesk([], I, p), 2, 'T must be a non-empty numeric or logical array.';
  @() pelvesk(T, zeros(3, 0), p), 1, 'I must be a non-empty numeric or logical array.';
  @() pelvesk(T, struct(), p), 1, 'I must be a non-empty numeric or logical array.'});
