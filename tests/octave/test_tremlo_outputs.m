% tremlo's outputs: sizes by warp count and warp type, decoding of P, the fourth output.
rand('seed', 7);
T = round(20 * rand(7, 9)); I = round(20 * rand(15, 17));
T0 = T; I0 = I;
sz3 = @(a) [size(a, 1) size(a, 2) size(a, 3)];

% Sizes of Y, D, DD and the fourth output for n = 0, 1, 2 warps and each warp type (n = 0:
% fewer than k elements in W).
for k = [2 3 4 6]
  for n = 0:2
    W = 0.1 * randn(k, n);
    if n == 0, W = 0.1 * randn(k - 1, 1); end
    W0 = W;
    for op = [1 3]
      [txt, o] = tremlo_call(4, T, I, W, [k op 1 1 1]);
      assert(isempty(txt), 'k %d n %d op %d printed [%s]', k, n, op, txt);
      if n == 0
        assert(all(cellfun(@isempty, o)), 'k %d: n = 0 gives empty outputs', k);
        continue;
      end
      assert(isequal(size(o{1}), [n 1]), 'Y, k %d n %d', k, n);
      assert(isequal(size(o{2}), [k n]), 'D, k %d n %d', k, n);
      assert(isequal(sz3(o{3}), [k k n]), 'DD, k %d n %d', k, n);
      if op == 1
        assert(isequal(o{4}, ones(1, 1, n)), 'fourth output of SSD, k %d n %d', k, n);
      else
        nb = max(I(:)) + 1;
        assert(isequal(sz3(o{4}), [nb nb n]), 'fourth output of MI, k %d n %d', k, n);
      end
      assert(all(cellfun(@(a) strcmp(class(a), 'double'), o)));
      % Fewer outputs give the same leading outputs.
      for nout = 0:3
        [~, o2] = tremlo_call(max(nout, 1), T, I, W, [k op 1 1 1]);
        for m = 1:max(nout, 1)
          assert(isequal(o2{m}, o{m}), 'k %d n %d op %d: output %d with %d outputs', k, n, op, m, nout);
        end
      end
    end
    assert(isequal(W, W0));
  end
end
assert(isequal(T, T0) && isequal(I, I0));

% No output requested: every warp is still evaluated and Y comes back as ans.
W = [0 1 -1; 0 0.5 2];
Y = tremlo(T, I, W, [2 1 1 1 1]);
tremlo(T, I, W, [2 1 1 1 1]);
assert(isequal(ans, Y) && numel(Y) == 3);

% 13 elements with k = 6: two warps, the 13th ignored; fewer than k elements: no warp.
W = 0.05 * randn(13, 1);
[Y, D, DD] = tremlo(T, I, W, [6 1 1 1 1]);
[Y2, D2, DD2] = tremlo(T, I, reshape(W(1:12), 6, 2), [6 1 1 1 1]);
assert(isequal(Y, Y2) && isequal(D, D2) && isequal(DD, DD2) && numel(Y) == 2);
[Y, D] = tremlo(T, I, W(1:5), [6 1 1 1 1]);
assert(isempty(Y) && isempty(D));

% A single affine warp: D is a 6x1 column; two warps: DD is 6x6x2, symmetric pages.
[~, D, DD] = tremlo(T, I, zeros(6, 1), [6 1 1 1 1]);
assert(isequal(size(D), [6 1]) && isequal(size(DD), [6 6]));
[~, ~, DD] = tremlo(T, I, 0.1 * randn(6, 2), [6 1 1 1 1]);
assert(isequal(size(DD), [6 6 2]));
assert(max(abs(DD - permute(DD, [2 1 3]))(:)) <= 1e-6 * max(abs(DD(:))));

% Decoding of P: only five values count, in storage order whatever the shape; codes are
% truncated; the warp type is taken modulo 10.
W = 0.3 * randn(2, 3);
[Y, D, DD] = tremlo(T, I, W, [2 1 1 1 1]);
same = {[2 1 1 1 1 99 -4], [2; 1; 1; 1; 1], [2 1; 1 1; 1 0], [2.9 1.7 1.2 1.9 1], ...
        [12 1 1 1 1], [32 1 1 1 1]};
for i = 1:numel(same)
  [Y2, D2, DD2] = tremlo(T, I, W, same{i});
  assert(isequal(Y2, Y) && isequal(D2, D) && isequal(DD2, DD), 'P form %d', i);
end
W6 = 0.02 * randn(6, 2);
assert(isequal(tremlo(T, I, W6, [26 1 1 1 1]), tremlo(T, I, W6, [6 1 1 1 1])));
assert(isequal(tremlo(T, I, W6, [6.9 1 1 1 1]), tremlo(T, I, W6, [6 1 1 1 1])));

% Operators that fall to plain MI: 3, 8, -1, 0 and 100; 100 has a fourth output of ones.
W = [0 0.5; 0 -1.25];
[Y, D, DD, H] = tremlo(T, I, W, [2 3 1 1 1]);
for op = [8 -1 0 12 100]
  [Y2, D2, DD2, H2] = tremlo(T, I, W, [2 op 1 1 1]);
  assert(isequal(Y2, Y) && isequal(D2, D) && isequal(DD2, DD), 'operator %d', op);
  if op == 100
    assert(isequal(H2, ones(1, 1, 2)));
  else
    assert(isequal(H2, H), 'operator %d histogram', op);
  end
end
% The fourth output of operators 1, 2 and 11 holds ones (a 1x1 matrix for one warp).
for op = [1 2 11]
  [~, ~, ~, H] = tremlo(T, I, W, [2 op 1 1 1]);
  assert(isequal(H, ones(1, 1, 2)), 'operator %d', op);
  [~, ~, ~, H] = tremlo(T, I, W(:, 1), [2 op 1 1 1]);
  assert(isequal(H, 1), 'operator %d, one warp', op);
end

% The Parzen window: absent, empty or one element means no smoothing.
[Y, D, DD, H] = tremlo(T, I, W, [2 3 1 1 1]);
for Z = {[], 5, zeros(0, 3)}
  [Y2, D2, DD2, H2] = tremlo(T, I, W, [2 3 1 1 1], Z{1});
  assert(isequal(Y2, Y) && isequal(D2, D) && isequal(DD2, DD) && isequal(H2, H));
end
[Y2, ~, ~, H2] = tremlo(T, I, W, [2 3 1 1 1], [1 2 1] / 4);
assert(!isequal(Y2, Y) && isequal(size(H2), size(H)));

% Operators 6 and 7 run with bilinear interpolation and rate 1 (operator 7 also order 1).
W = [0.3 -0.7; 0.2 1.1];
for op = [6 7]
  [Y, D, DD, H] = tremlo(T, I, W, [2 op 1 1 1]);
  assert(all(isfinite(Y)) && all(Y <= 0) && !any(D(:)) && !any(DD(:)));
  assert(isequal(size(H, 3), 2) && abs(sum(H(:)) - 2) < 1e-3, 'operator %d histogram mass', op);
  forced = {[2 op 1 3 1], [2 op 1 0 2.5], [2 op 1 1 0.5]};
  if op == 7, forced{end + 1} = [2 op 3 1 1]; end
  for i = 1:numel(forced)
    [Y2, ~, ~, H2] = tremlo(T, I, W, forced{i});
    assert(isequal(Y2, Y) && isequal(H2, H), 'operator %d setting %d', op, i);
  end
end

% A template larger than the reference: the warning, and the outputs all the same.
[txt, o] = tremlo_call(2, I, T, [0; 0], [2 1 1 1 1]);
assert(strcmp(txt, 'tremlo Warning - Tmp bigger then Ref Image.'));
assert(isscalar(o{1}) && isequal(size(o{2}), [2 1]));
[txt, o] = tremlo_call(1, ones(3, 20), ones(20, 3), [0; 0], [2 1 1 1 1]);
assert(strcmp(txt, 'tremlo Warning - Tmp bigger then Ref Image.') && o{1} == 0);

% The measures' own messages reach standard output, in order.
[txt, o] = tremlo_call(1, T, I, [0; 0], [2 1 1 1 0]);
assert(strcmp(txt, "CCostFn::setSampleRate warning: Sample Rate very low or negative: 0 Setting to 1.\n"), ...
       '[%s]', txt);
assert(isequal(o{1}, tremlo(T, I, [0; 0], [2 1 1 1 1])));

% Every accepted class converts to the same values.
W = [0.4; -0.3];
Y = tremlo(T, I, W, [2 3 1 1 1]);
for cls = {'single', 'uint8', 'int16', 'uint16', 'int32', 'uint32', 'int64', 'uint64'}
  c = cls{1};
  assert(isequal(tremlo(cast(T, c), cast(I, c), W, cast([2 3 1 1 1], c)), Y), c);
end
assert(isequal(tremlo(T > 10, I > 10, W, [2 3 1 1 1]), tremlo(double(T > 10), double(I > 10), W, [2 3 1 1 1])));
