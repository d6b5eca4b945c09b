% pelvask: template-side SSD step against direct computations; identity, shapes, errors.
rand('seed', 11);
close_to = @(a, b) assert(a, b, -1e-10 * max(1, max(abs(b(:)))) - 1e-12);
chk = @(T, I, p) affine_ref('ssd', T, I, p, 'template');

% Non-trivial affine warp, odd and even template sizes; samples near and beyond I's border.
I = 50 * rand(20, 24);
cases = {9, 7, [0.05 -0.03 0.04 0.02 10.3 11.7];
         8, 6, [-0.08 0.06 0.03 -0.05 9.6 12.2];
         8, 6, [0.02 0.1 -0.04 0.03 2.5 20.4]};      % partly outside I: clamped
for c = 1:rows(cases)
  [w, h, p] = cases{c, :};
  T = 50 * rand(w, h);
  [E, G, H, K] = pelvask(T, I, p);
  ref = chk(T, I, p);
  assert(size(E), [1 1]); assert(size(G), [1 6]); assert(size(H), [6 6]); assert(size(K), [6 6]);
  close_to(E, ref.E); close_to(G, ref.G); close_to(H, ref.H); close_to(K, ref.K);
  assert(isequal(H, H'));
  % p as a column, or with extra values, reads the first six
  [E2, G2, H2, K2] = pelvask(T, I, [p(:); 7; 8]);
  assert(isequal({E2, G2, H2, K2}, {E, G, H, K}));
  % outputs only as far as asked, each the same as with all four
  E1 = pelvask(T, I, p);
  [E3, G3] = pelvask(T, I, p);
  assert(isequal(E1, E) && isequal(E3, E) && isequal(G3, G));
end

% Identity: I = T and p centring the warp grid on I's pixels.
for sz = [7 5; 8 6]'
  w = sz(1); h = sz(2);
  T = 20 * rand(w, h);
  p = [0 0 0 0 fix((w - 1) / 2) fix((h - 1) / 2)];
  [E, G, H, K] = pelvask(T, T, p);
  assert(E, 0); assert(G, zeros(1, 6)); assert(K, zeros(6));
  ref = chk(T, T, p);
  close_to(H, ref.H);
  [X, Y] = ndgrid((0:w - 1) - fix(w / 2), (0:h - 1) - fix(h / 2));
  Tx = affine_ref('dx', T); Ty = affine_ref('dy', T);
  SD = [X(:) .* Tx(:), X(:) .* Ty(:), Y(:) .* Tx(:), Y(:) .* Ty(:), Tx(:), Ty(:)];
  close_to(H, SD' * SD);
end

% nlhs = 0 still sets the first output.
T = 10 * rand(5, 5); p = [0.01 0 0 0.02 6 7];
pelvask(T, I, p);
assert(ans, pelvask(T, I, p));

% Converted inputs: integer and logical arrays give the results of their double values.
Tu = uint8(255 * rand(6, 5)); Il = rand(12, 10) > 0.5;
[E, G, H, K] = pelvask(Tu, Il, p);
[Ed, Gd, Hd, Kd] = pelvask(double(Tu), double(Il), p);
assert(isequal({E, G, H, K}, {Ed, Gd, Hd, Kd}));

% A double T passed twice gives the same outputs and is left unchanged.
T = 10 * rand(6, 7); T0 = T; I0 = I;
[a1, b1, c1, d1] = pelvask(T, I, p);
[a2, b2, c2, d2] = pelvask(T, I, p);
assert(isequal({a1, b1, c1, d1}, {a2, b2, c2, d2}));
assert(isequal(T, T0) && isequal(I, I0));

% A non-numeric coordinate gives NaN, reading nothing outside I.
E = pelvask(T, I, [NaN 0 0 0 5 5]);
assert(isnan(E));

% Argument errors: message, then 1x1 single zeros in every requested slot.
s1 = single(0);
errs = {'[o1, o2] = pelvask(T, I);', 2, '3inputs required.';
        '[o1] = pelvask(T, I, p, []);', 1, '3inputs required.';
        '[o1, o2, o3, o4, o5] = pelvask(T, I, p);', 5, '1-4 outputs required';
        '[o1, o2, o3] = pelvask(T, I, [1 2 3 4 5]);', 3, 'p must hold at least 6 values.';
        '[o1, o2] = pelvask(zeros(0, 3), I, p);', 2, 'T must be a non-empty numeric or logical array.';
        '[o1] = pelvask({T}, I, p);', 1, 'T must be a non-empty numeric or logical array.';
        '[o1, o2] = pelvask(T, [], p);', 2, 'I must be a non-empty numeric or logical array.';
        '[o1] = pelvask(T, ''abc'', p);', 1, 'I must be a non-empty numeric or logical array.'};
for c = 1:rows(errs)
  clear o1 o2 o3 o4 o5;
  [code, n, msg] = errs{c, :};
  txt = evalc(code);
  assert(txt, ["\nPELVASK Error: " msg "\n \n\nAborting...\n"]);
  for k = 1:n
    assert(isequal(eval(sprintf('o%d', k)), s1) && isa(eval(sprintf('o%d', k)), 'single'));
  end
end
txt = evalc('pelvask(T);');
assert(txt, "\nPELVASK Error: 3inputs required.\n \n\nAborting...\n");
