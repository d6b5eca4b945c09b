% pelvesk: image-side SSD step against direct computations; identity, shapes, errors.
rand('seed', 12);
close_to = @(a, b) assert(a, b, -1e-10 * max(1, max(abs(b(:)))) - 1e-12);
chk = @(T, I, p) affine_ref('ssd', T, I, p, 'image');

I = 50 * rand(20, 24);
cases = {9, 7, [0.05 -0.03 0.04 0.02 10.3 11.7];
         8, 6, [-0.08 0.06 0.03 -0.05 9.6 12.2];
         8, 6, [0.02 0.1 -0.04 0.03 2.5 20.4]};      % partly outside I: clamped
for c = 1:rows(cases)
  [w, h, p] = cases{c, :};
  T = 50 * rand(w, h);
  [E, G, H, K] = pelvesk(T, I, p);
  ref = chk(T, I, p);
  assert(size(E), [1 1]); assert(size(G), [1 6]); assert(size(H), [6 6]); assert(size(K), [6 6]);
  close_to(E, ref.E); close_to(G, ref.G); close_to(H, ref.H); close_to(K, ref.K);
  assert(isequal(H, H'));
  % the same squared error as the template-side step
  assert(E, pelvask(T, I, p));
  [E2, G2, H2, K2] = pelvesk(T, I, [p(:); 7]);
  assert(isequal({E2, G2, H2, K2}, {E, G, H, K}));
  [E1, G1, H1] = pelvesk(T, I, p);
  assert(isequal({E1, G1, H1}, {E, G, H}));
end

% Identity: I = T and p centring the warp grid on I's pixels; SD from T's own gradients.
for sz = [7 5; 8 6]'
  w = sz(1); h = sz(2);
  T = 20 * rand(w, h);
  p = [0 0 0 0 fix((w - 1) / 2) fix((h - 1) / 2)];
  [E, G, H, K] = pelvesk(T, T, p);
  assert(E, 0); assert(G, zeros(1, 6)); assert(K, zeros(6));
  [~, ~, Ha] = pelvask(T, T, p);
  close_to(H, Ha);
end

% nlhs = 0 still sets the first output.
T = 10 * rand(5, 5); p = [0.01 0 0 0.02 6 7];
pelvesk(T, I, p);
assert(ans, pelvesk(T, I, p));

% Converted inputs.
Tu = uint8(255 * rand(6, 5)); Ii = int16(100 * rand(12, 10));
[E, G, H, K] = pelvesk(Tu, Ii, p);
[Ed, Gd, Hd, Kd] = pelvesk(double(Tu), double(Ii), p);
assert(isequal({E, G, H, K}, {Ed, Gd, Hd, Kd}));

% Double inputs passed twice: same outputs, arrays unchanged.
T = 10 * rand(6, 7); T0 = T; I0 = I;
[a1, b1, c1, d1] = pelvesk(T, I, p);
[a2, b2, c2, d2] = pelvesk(T, I, p);
assert(isequal({a1, b1, c1, d1}, {a2, b2, c2, d2}));
assert(isequal(T, T0) && isequal(I, I0));

E = pelvesk(T, I, [0 0 NaN 0 5 5]);
assert(isnan(E));

% Argument errors.
s1 = single(0);
errs = {'[o1, o2] = pelvesk(T, I);', 2, '3 inputs required.';
        '[o1] = pelvesk(T, I, p, 1);', 1, '3 inputs required.';
        '[o1, o2, o3, o4, o5] = pelvesk(T, I, p);', 5, '1-4 outputs required';
        '[o1, o2, o3, o4] = pelvesk(T, I, zeros(2, 2));', 4, 'p must hold at least 6 values.';
        '[o1, o2] = pelvesk([], I, p);', 2, 'T must be a non-empty numeric or logical array.';
        '[o1] = pelvesk(T, zeros(3, 0), p);', 1, 'I must be a non-empty numeric or logical array.';
        '[o1] = pelvesk(T, struct(), p);', 1, 'I must be a non-empty numeric or logical array.'};
for c = 1:rows(errs)
  clear o1 o2 o3 o4 o5;
  [code, n, msg] = errs{c, :};
  txt = evalc(code);
  assert(txt, ["\nPELVESK Error: " msg "\n \n\nAborting...\n"]);
  for k = 1:n
    assert(isequal(eval(sprintf('o%d', k)), s1) && isa(eval(sprintf('o%d', k)), 'single'));
  end
end
