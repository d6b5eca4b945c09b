function fx = mi_step_checks(name, side, symmetric)
% The checks both mutual-information step modules pass: module `name` takes its derivatives on
% `side` ('T' template, 'I' image, as mi_step_reference) and gives 5 (template side) or 4
% outputs; the outputs listed in `symmetric` are symmetric matrices. Returns the fixture
% (fx.T, fx.I, fx.p) and its mutual information fx.mi.
  f = str2func(name);
  nout = 4 + strcmp(side, 'T');
  rand('state', 11);
  T = floor(rand(9, 8) * 6);
  I = rand(24, 21) * 7;
  p = [0.03 -0.02 0.04 -0.05 1.3 -0.6];
  tol = 1e-11;

  % The warped image on the template grid (clamped into I), binned with T by accumarray.
  xs = (0:8)' - 4; ys = (0:7) - 3;
  X = repmat(xs, 1, 8); Y = repmat(ys, 9, 1);
  xw = min(max(double(single((1 + p(1)) * X + p(3) * Y + p(5))), 0), 23);
  yw = min(max(double(single(p(2) * X + (1 + p(4)) * Y + p(6))), 0), 20);
  Iw = interp2(I, yw + 1, xw + 1);
  H = accumarray([fix(T(:)) + 1, fix(Iw(:)) + 1], 1);

  % MI with the default kernel, and with kernels along the template and the image bins: the
  % bin margins keep the whole smoothed table.
  mi = f(T, I, p);
  assert(abs(mi - mi_of(H)) < tol * mi);
  assert(isequal(f(T, I, p, 1), mi));
  for K = {[0.2; 0.5; 0.3], [0.2 0.5 0.3]}
    assert(abs(f(T, I, p, K{1}) - mi_of(conv2(H, K{1}))) < tol * mi);
  end

  % Every output against the independent computation, for kernels of several shapes.
  sizes = {[1 1], [1 6], [6 6], [6 6], [6 6]};
  for K = {1, [0.2; 0.5; 0.3], [0.2 0.5 0.3], [0.1 0.2; 0.3 0.15; 0.1 0.15]}
    out = cell(1, nout);
    [out{:}] = f(T, I, p, K{1});
    ref = mi_step_reference(side, T, I, p, K{1});
    for k = 1:nout
      assert(isa(out{k}, 'double') && isequal(size(out{k}), sizes{k}));
      assert(max(abs(out{k}(:) - ref{k}(:))) <= tol * max(abs(ref{k}(:))), sprintf('output %d', k));
    end
    for k = symmetric
      assert(isequal(out{k}, out{k}.'));
    end
  end

  % Outputs are computed only as far as asked, with the same values; with none asked for, MI.
  full = cell(1, nout);
  [full{:}] = f(T, I, p);
  for n = 1:nout - 1
    part = cell(1, n);
    [part{:}] = f(T, I, p);
    assert(isequal(part, full(1:n)));
  end
  f(T, I, p);
  assert(isequal(ans, mi));

  % Shapes and classes of the inputs: p as a column or longer, integer and single images.
  assert(isequal(f(T, I, p'), mi));
  assert(isequal(f(T, I, [p 5 5]), mi));
  assert(isequal(f(uint8(T), I, single(p)), mi));
  Is = single(I);
  assert(isequal(f(T, Is, p), f(T, double(Is), p)));
  assert(f(3, I, p) == 0);  % a 1 x 1 template fills one cell

  % A double template passed twice: the same outputs, and the template is unchanged.
  T0 = floor(rand(9, 8) * 6);
  step_repeat(f, nout, T0, I, p);

  % 12-bit intensities and a 31 x 31 kernel: calls in a row at different warps give what each
  % gives in a freshly loaded module (nothing of one call's tables reaches the next).
  [x, y] = ndgrid(0:99, 0:89);
  I12 = floor(4095.99 * (0.5 + 0.3 * sin(x / 9) .* cos(y / 13) + 0.15 * sin((x + 2 * y) / 7)));
  T12 = I12(21:61, 26:60);
  [u, v] = ndgrid(-15:15, -15:15);
  K31 = exp(-(u - 2) .^ 2 / 60 - (v + 1) .^ 2 / 90 - u .* v / 200);
  K31 = K31 / sum(K31(:));
  warps = {[0.02 -0.01 0.03 0.01 40.6 42.3], [-0.03 0.02 0.01 -0.02 38.2 44.9], [0 0 0 0 8 10]};
  fresh = cell(size(warps));
  for w = 1:numel(warps)
    clear(name);
    fresh{w} = cell(1, nout);
    [fresh{w}{:}] = f(T12, I12, warps{w}, K31);
  end
  for w = [1 2 3 2 1 3]
    again = cell(1, nout);
    [again{:}] = f(T12, I12, warps{w}, K31);
    assert(isequal(again, fresh{w}), 'warp %d after others', w);
  end
  assert(~isequal(fresh{1}, fresh{2}));

  % Argument errors: message and placeholders.
  bad = 'T and I must hold finite, non-negative intensities.';
  big = 'Intensities too large for a histogram.';
  step_errors(name, {
    @() f(T, I), 2, '3-4 inputs required.';
    @() f(T, I, p, 1, 1), 1, '3-4 inputs required.';
    @() f(T, I), 0, '3-4 inputs required.';
    @() f(T, I, p), nout + 1, sprintf('1-%d outputs required', nout);
    @() f(T, I, p(1:5)), 3, 'p must hold 6 values.';
    @() f(T, I, [p(1:5) NaN]), 1, 'p must be finite.';
    @() f(T, I, [Inf p(2:6)]), 1, 'p must be finite.';
    @() f(T, [], p), 2, 'I is empty.';
    @() f(T, zeros(0, 3), p), 1, 'I is empty.';
    @() f(-T, I, p), nout, bad;
    @() f(T, [I NaN(24, 1)], p), 1, bad;
    @() f([T; Inf(1, 8)], I, p), 1, bad;
    @() f(T, I * 1e10, p), 1, big;
    @() f([T; 1e7 * ones(1, 8)], I, p), 1, big;
    @() f(1e10 * ones(3), zeros(5), p, []), 1, big});   % one side 0 bins wide: still bounded

  % Errors of the image library end the call, not the host.
  step_host_error(name, @() f([], I, p), 'imageLibrary');
  step_host_error(name, @() f('ab', I, p), 'imageLibrary');
  step_host_error(name, @() f(T, I, p, []), 'imageLibrary');
  step_host_error(name, @() f(T, I, p, ones(1, 1, 1, 2)), 'imageLibrary');
  assert(isequal(f(T, I, p), mi));

  fx = struct('T', T, 'I', I, 'p', p, 'mi', mi);
end
