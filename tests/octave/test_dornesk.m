% dornesk: mutual information of a template and an affinely warped image, with derivatives
% taken on the image side.
1;

function v = mi_of(H)
  % Mutual information of a table of counts or probabilities.
  P = H / sum(H(:));
  pT = sum(P, 2); pI = sum(P, 1);
  on = P > 0;
  R = P ./ (pT * pI);
  v = sum(P(on) .* log(R(on)));
end

function check_error(f, nout, msg)
  % f() called with nout outputs reports msg and returns nout 1 x 1 single zeros.
  out = cell(1, nout);
  if nout
    text = evalc('[out{:}] = f();');
  else
    text = evalc('f();');
  end
  assert(text, sprintf('\nDORNESK Error: %s\n \n\nAborting...\n', msg));
  for k = 1:nout
    assert(isa(out{k}, 'single') && isequal(size(out{k}), [1 1]) && out{k} == 0);
  end
end

function check_host_error(f)
  % f() ends with a host error (the image library's), not with the host's end.
  try
    f();
    threw = false;
  catch err
    threw = true;
    assert(strncmp(err.identifier, 'dornesk:', 8), err.identifier);
  end
  assert(threw);
end

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
mi = dornesk(T, I, p);
assert(abs(mi - mi_of(H)) < tol * mi);
assert(abs(mi - dornask(T, I, p)) < 1e-12);
assert(isequal(dornesk(T, I, p, 1), mi));
for K = {[0.2; 0.5; 0.3], [0.2 0.5 0.3]}
  assert(abs(dornesk(T, I, p, K{1}) - mi_of(conv2(H, K{1}))) < tol * mi);
end

% Every output against the independent computation, for kernels of several shapes.
for K = {1, [0.2; 0.5; 0.3], [0.2 0.5 0.3], [0.1 0.2; 0.3 0.15; 0.1 0.15]}
  out = cell(1, 4);
  [out{:}] = dornesk(T, I, p, K{1});
  ref = mi_step_reference('I', T, I, p, K{1});
  sizes = {[1 1], [1 6], [6 6], [6 6]};
  for k = 1:4
    assert(isa(out{k}, 'double') && isequal(size(out{k}), sizes{k}));
    assert(max(abs(out{k}(:) - ref{k}(:))) <= tol * max(abs(ref{k}(:))), sprintf('output %d', k));
  end
  assert(isequal(out{3}, out{3}.'));
end

% Outputs are computed only as far as asked, with the same values; with none asked for, MI.
full = cell(1, 4);
[full{:}] = dornesk(T, I, p);
for n = 1:3
  part = cell(1, n);
  [part{:}] = dornesk(T, I, p);
  assert(isequal(part, full(1:n)));
end
dornesk(T, I, p);
assert(isequal(ans, mi));

% Shapes and classes of the inputs: p as a column or longer, integer and single images.
assert(isequal(dornesk(T, I, p'), mi));
assert(isequal(dornesk(T, I, [p 5 5]), mi));
assert(isequal(dornesk(uint8(T), I, single(p)), mi));
Is = single(I);
assert(isequal(dornesk(T, Is, p), dornesk(T, double(Is), p)));
assert(dornesk(3, I, p) == 0);  % a 1 x 1 template fills one cell

% A double template passed twice: the same outputs, and the template is unchanged.
T0 = floor(rand(9, 8) * 6); Tc = T0 + 0;
again = cell(1, 4);
[full{:}] = dornesk(T0, I, p);
[again{:}] = dornesk(T0, I, p);
assert(isequal(full, again));
assert(isequal(T0, Tc));

% Argument errors: message and placeholders.
check_error(@() dornesk(T, I), 2, '3-4 inputs required.');
check_error(@() dornesk(T, I, p, 1, 1), 1, '3-4 inputs required.');
check_error(@() dornesk(T, I), 0, '3-4 inputs required.');
check_error(@() dornesk(T, I, p), 5, '1-4 outputs required');
check_error(@() dornesk(T, I, p(1:5)), 3, 'p must hold 6 values.');
check_error(@() dornesk(T, I, [p(1:5) NaN]), 1, 'p must be finite.');
check_error(@() dornesk(T, I, [Inf p(2:6)]), 1, 'p must be finite.');
check_error(@() dornesk(T, [], p), 2, 'I is empty.');
check_error(@() dornesk(T, zeros(0, 3), p), 1, 'I is empty.');
bad = 'T and I must hold finite, non-negative intensities.';
check_error(@() dornesk(-T, I, p), 4, bad);
check_error(@() dornesk(T, [I NaN(24, 1)], p), 1, bad);
check_error(@() dornesk([T; Inf(1, 8)], I, p), 1, bad);
check_error(@() dornesk(T, I * 1e10, p), 1, 'Intensities too large for a histogram.');
check_error(@() dornesk([T; 1e7 * ones(1, 8)], I, p), 1, 'Intensities too large for a histogram.');

% Errors of the image library end the call, not the host.
check_host_error(@() dornesk([], I, p));
check_host_error(@() dornesk('ab', I, p));
check_host_error(@() dornesk(T, I, p, []));
check_host_error(@() dornesk(T, I, p, ones(1, 1, 1, 2)));
assert(isequal(dornesk(T, I, p), mi));
