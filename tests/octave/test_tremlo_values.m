% tremlo's values against independent computations; gradients against finite differences.
[R, C] = ndgrid(0:31, 0:33);
I = 10 + 5 * sin(R / 3) .* cos(C / 4) + 3 * cos((R + C) / 5);
T = 9 + 4 * sin((R(1:11, 1:12) + 2) / 3.2) .* cos(C(1:11, 1:12) / 4.3);
I0 = I; T0 = T;
ssd = @(r, t) mean((r(:) - t(:)) .^ 2);
nc = @(r, t) -sum(r(:) .* t(:)) / sqrt(sum(r(:) .^ 2) * sum(t(:) .^ 2));

% {warp, measure, operator}: SSD and NC over the bilinearly warped grid.
warps = {[14.3 16.6], [15.1 16.2 0.07], [14.8 16.9 -0.05 0.04], [0.03 -0.02 0.05 -0.04 15.2 16.4]};
for i = 1:numel(warps)
  w = warps{i}; k = numel(w);
  [r, t] = tremlo_warped(T, I, w, 'linear');
  for m = {{ssd, 1}, {ssd, 11}, {nc, 2}}
    [f, op] = m{1}{:};
    Y = tremlo(T, I, w(:), [k op 1 1 1]);
    assert(abs(Y - f(r, t)) <= 1e-5 * max(1, abs(f(r, t))), 'k %d operator %d: %g vs %g', k, op, Y, f(r, t));
  end
end
% Nearest-neighbour sampling and a sampling rate of 2.
w = [14.2 16.3];
[r, t] = tremlo_warped(T, I, w, 'nearest');
assert(abs(tremlo(T, I, w', [2 1 1 0 1]) - ssd(r, t)) <= 1e-5 * ssd(r, t));
[r, t] = tremlo_warped(T, I, w, 'linear', 2);
assert(abs(tremlo(T, I, w', [2 1 1 1 2]) - ssd(r, t)) <= 1e-5 * ssd(r, t));
% Many warps in one call give the values of separate calls.
W = [14 + rand(1, 5); 16 + rand(1, 5)];
Y = tremlo(T, I, W, [2 2 1 1 1]);
for j = 1:5
  assert(Y(j) == tremlo(T, I, W(:, j), [2 2 1 1 1]));
end
% Identities: the template cut from the reference gives SSD 0 and NC -1 at its place.
Tc = I(5:15, 8:19);
wc = [mean(4:14); mean(7:18)];   % centre of rows 5..15 and columns 8..19, counted from 0
[Y, D] = tremlo(Tc, I, wc, [2 1 1 1 1]);
assert(abs(Y) < 1e-9 && all(abs(D) < 1e-9));
assert(abs(tremlo(Tc, I, wc, [2 2 1 1 1]) + 1) < 1e-6);
assert(abs(tremlo(ones(5), 3 * ones(9), [4; 4], [2 2 1 1 1]) + 1) < 1e-6);

% Mutual information at integer shifts with nearest-neighbour sampling, against a histogram
% counted by accumarray; the fourth output is that joint histogram.
rand('seed', 3);
Iq = floor(8 * rand(25, 27)); Tq = Iq(6:16, 4:16);
Tq(Tq > 5) = 7 - Tq(Tq > 5);   % a template that is a function of the reference, not a copy
Tq(1:3, 1:3) = 2;
for shift = [0 0; 1 -2; -3 2]'
  w = [10 + shift(1); 9 + shift(2)];
  [r, t] = tremlo_warped(Tq, Iq, w, 'nearest');
  n = max(max(Iq(:)), max(Tq(:))) + 1;
  Pj = accumarray([r(:) + 1, t(:) + 1], 1, [n n]) / numel(t);
  ent = @(p) -sum(p(p > 0) .* log(p(p > 0)));
  want = ent(Pj) - ent(sum(Pj, 1)) - ent(sum(Pj, 2));
  [Y, ~, ~, H] = tremlo(Tq, Iq, w, [2 3 1 0 1]);
  assert(abs(Y - want) < 1e-5, 'MI at shift %s: %g vs %g', mat2str(shift'), Y, want);
  assert(max(abs(H(:) - Pj(:))) < 1e-6, 'joint histogram at shift %s', mat2str(shift'));
  % Partial-volume weights at integer positions put each sample on its own pixel.
  assert(abs(tremlo(Tq, Iq, w, [2 4 1 0 1]) - want) < 1e-5, 'PV MI at shift %s', mat2str(shift'));
end
% The same at the intensity ranges of real images, 8 to 12 bits, with a window Z too: the
% fourth output is the counted histogram convolved with Z (conv2, 'same'), the value is
% that histogram's. Several warps in one call bin each on its own.
Z = [1 2 0; 3 8 2; 1 2 1] / 20;   % not symmetric: the orientation counts
for L = [256 1024 4096]
  Ib = floor(L * rand(48, 44)); Tb = mod(3 * Ib(9:38, 7:32) + 11, L);
  W = [23.5 + [0 2 -3]; 21.5 + [0 -1 4]];
  Y = tremlo(Tb, Ib, W, [2 3 1 0 1]);
  for j = 1:columns(W)
    [r, t] = tremlo_warped(Tb, Ib, W(:, j), 'nearest');
    n = max(max(Ib(:)), max(Tb(:))) + 1;
    Pj = accumarray([r(:) + 1, t(:) + 1], 1, [n n], [], 0, true) / numel(t);
    want = ent(nonzeros(Pj)) - ent(nonzeros(sum(Pj, 1))) - ent(nonzeros(sum(Pj, 2)));
    assert(abs(Y(j) - want) < 1e-5, '%d levels, warp %d: MI %g vs %g', L, j, Y(j), want);
    assert(abs(tremlo(Tb, Ib, W(:, j), [2 4 1 0 1]) - want) < 1e-5, '%d levels: PV MI', L);
    if L > 1024, continue; end
    [Yz, ~, ~, H] = tremlo(Tb, Ib, W(:, j), [2 3 1 0 1], Z);
    Pz = conv2(full(Pj), Z, 'same');
    assert(max(abs(H(:) - Pz(:))) < 1e-7, '%d levels, warp %d: smoothed histogram', L, j);
    want = ent(Pz(:)) - ent(sum(Pz, 1)) - ent(sum(Pz, 2));
    assert(abs(Yz - want) < 1e-5, '%d levels, warp %d: MI with Z %g vs %g', L, j, Yz, want);
  end
end

% At the size of a photograph's template: 256 x 256 samples of an 8-bit scene (texture and
% noise, most of the 256 levels used), whole-pixel warps. Every output count takes its own
% binning (dense counts for the value, rows binned in turn with derivatives), and each gives
% the value of the counted histogram.
[R, C] = ndgrid(0:319, 0:319);
randn("seed", 7);
I8 = floor(127.5 + 80 * sin(R / 9) .* cos(C / 13) + 30 * cos((R - 2 * C) / 17) + 15 * randn(320, 320));
I8 = min(max(I8, 0), 255);
T8 = I8(21:276, 31:286);
for w = [127.5 + [20 23 12]; 127.5 + [30 26 41]]
  [r, t] = tremlo_warped(T8, I8, w, 'nearest');
  Pj = accumarray([r(:) + 1, t(:) + 1], 1, [256 256]) / numel(t);
  want = ent(Pj) - ent(sum(Pj, 1)) - ent(sum(Pj, 2));
  for op = [3 4]
    [Y1] = tremlo(T8, I8, w, [2 op 1 0 1]);
    [Y2, ~] = tremlo(T8, I8, w, [2 op 1 0 1]);
    [Y3, ~, ~, H] = tremlo(T8, I8, w, [2 op 1 0 1]);
    assert(all(abs([Y1 Y2 Y3] - want) < 1e-5), 'operator %d, 256 x 256, warp %s: %s vs %g', ...
           op, mat2str(w'), mat2str([Y1 Y2 Y3], 8), want);
    assert(max(abs(H(:) - Pj(:))) < 1e-7, 'operator %d, 256 x 256: joint histogram', op);
  end
end
% Gradients of SSD and NC (and the full SSD Hessian) against central differences of the
% tremlo values over W, with bicubic and bilinear sampling.
steps = {[1e-2 1e-2], [1e-2 1e-2 1e-3], [1e-2 1e-2 1e-3 1e-3], [1e-3 1e-3 1e-3 1e-3 1e-2 1e-2]};
for i = 1:numel(warps)
  w = warps{i}(:); k = numel(w); hs = steps{i};
  for op = [1 11 2]
    for interp = [3 1]
      P = [k op 1 interp 1];
      [Y, D, DD] = tremlo(T, I, w, P);
      Wp = repmat(w, 1, k) + diag(hs); Wm = repmat(w, 1, k) - diag(hs);
      [Yp, Dp] = tremlo(T, I, Wp, P); [Ym, Dm] = tremlo(T, I, Wm, P);
      fd = (Yp - Ym) ./ (2 * hs(:));
      tol = 1e-2 * norm(D) + 1e-4;
      if interp == 1, tol = 3 * tol; end
      assert(norm(fd - D) <= tol, 'gradient k %d op %d interp %d: %s vs %s', k, op, interp, ...
             mat2str(fd', 4), mat2str(D', 4));
      assert(norm(DD - DD', 'fro') <= 1e-5 * norm(DD, 'fro'), 'symmetric Hessian k %d op %d', k, op);
      if op == 11 && interp == 3
        fdH = (Dp - Dm) ./ (2 * hs);
        assert(norm(fdH - DD, 'fro') <= 2e-2 * norm(DD, 'fro'), 'Hessian k %d: %s vs %s', k, ...
               mat2str(fdH, 3), mat2str(DD, 3));
      end
    end
  end
end
% Where the residual vanishes the Gauss-Newton and the full Hessian agree.
w6 = [0; 0; 0; 0; wc];
[~, ~, H1] = tremlo(Tc, I, w6, [6 1 1 3 1]);
[~, ~, H11] = tremlo(Tc, I, w6, [6 11 1 3 1]);
assert(norm(H1 - H11, 'fro') <= 1e-4 * norm(H1, 'fro'));
assert(all(eig((H1 + H1') / 2) >= -1e-6 * norm(H1)));

assert(isequal(I, I0) && isequal(T, T0));
