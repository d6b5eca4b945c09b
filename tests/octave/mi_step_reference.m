function out = mi_step_reference(side, T, I, p, K)
% Independent Octave computation of the outputs of dornask (side 'T') and dornesk (side 'I'):
% histograms with accumarray, smoothing with conv2, warps with interp2 on clamped coordinates,
% gradients with diff. out is a cell of the outputs {MI, G, H1, H2[, H3]}.
  T = double(T); I = double(I); p = double(p(:)');
  if nargin < 5, K = 1; end
  K = double(K);
  [Kw, Kh] = size(K);
  if side == 'T'
    nT = fix(max(T(:))) + Kw + 2; nI = fix(max(I(:))) + Kh;
    oT = fix((Kw + 1) / 2); oI = fix((Kh - 1) / 2);
  else
    nT = fix(max(T(:))) + Kw; nI = fix(max(I(:))) + Kh + 2;
    oT = fix((Kw - 1) / 2); oI = fix((Kh + 1) / 2);
  end
  N = numel(T);
  Tb = T + oT;
  Iw = warp(I, size(T), p) + oI;
  bins = [fix(Tb(:)) + 1, fix(Iw(:)) + 1];
  jnt = @(w) accumarray(bins, w(:), [nT nI]) / N;
  mrg = @(w) accumarray(bins(:, 1), w(:), [nT 1]) / N;

  P = smooth(jnt(ones(size(T))), K);
  out{1} = ent(sum(P, 2)) + ent(sum(P, 1)) - ent(P);

  % Steepest-descent images from the template's or the warped image's gradients.
  [X, Y] = gridxy(size(T));
  if side == 'T'
    [Gx, Gy] = fgrad(Tb);
    [Gxx, Gxy] = fgrad(Gx); [Gyx, Gyy] = fgrad(Gy);
  else
    [Ix, Iy] = fgrad(I);
    [Ixx, Ixy] = fgrad(Ix); [Iyx, Iyy] = fgrad(Iy);
    Gx = warp(Ix, size(T), p); Gy = warp(Iy, size(T), p);
    Gxx = warp(Ixx, size(T), p); Gxy = warp(Ixy, size(T), p);
    Gyx = warp(Iyx, size(T), p); Gyy = warp(Iyy, size(T), p);
  end
  SD = {X .* Gx, X .* Gy, Y .* Gx, Y .* Gy, Gx, Gy};
  % J' Hg J with J = [X 0 Y 0 1 0; 0 X 0 Y 0 1] and Hg = [Gxx Gyx; Gxy Gyy].
  Jx = {X, 0, Y, 0, 1, 0}; Jy = {0, X, 0, Y, 0, 1};
  JHJ = cell(6);
  for r = 1:6
    for s = 1:6
      JHJ{r, s} = Jx{r} .* Gxx .* Jx{s} + Jx{r} .* Gyx .* Jy{s} ...
                + Jy{r} .* Gxy .* Jx{s} + Jy{r} .* Gyy .* Jy{s} + zeros(size(T));
    end
  end

  if side == 'T'
    Kd = smooth(place(K, [Kw + 1, Kh], [1 0]), [-1; 1]);
    P1 = smooth(P, [0.5; 0.5]);
    P2 = smooth(P, [0.25; 0.5; 0.25]);
    canvas = place(K, [Kw + 2, Kh], [1 0]);
    K2 = smooth(canvas, [-1; 2; -1]); K1 = smooth(canvas, [-0.5; 0; 0.5]);
    W1 = weights(P1, sum(P1, 2), sum(P1, 1));
    W2 = weights(P2, sum(P2, 2), sum(P2, 1));
  else
    Kd = smooth(place(K, [Kw, Kh + 1], [0 1]), [-1, 1]);
    P1 = smooth(P, [0.5, 0.5]);
    P2 = smooth(P, [0.25, 0.5, 0.25]);
    canvas = place(K, [Kw, Kh + 2], [0 1]);
    K2 = smooth(canvas, [-1, 2, -1]); K1 = smooth(canvas, [-0.5, 0, 0.5]);
    W1 = weights(P1, ones(nT, 1), sum(P1, 1));
    W2 = weights(P2, ones(nT, 1), sum(P2, 1));
  end
  dP = cell(1, 6);
  G = zeros(1, 6);
  for k = 1:6
    dP{k} = smooth(jnt(SD{k}), Kd);
    G(k) = sum(dP{k}(:) .* W1(:));
  end
  out{2} = G;

  H = zeros(6);
  if side == 'T'
    Km = sum(K, 2);
    cm = place(Km, [Kw + 2, 1], [1 0]);
    Km2 = smooth(cm, [-1; 2; -1]); Km1 = smooth(cm, [-0.5; 0; 0.5]);
    pTs = smooth(mrg(ones(size(T))), [0.25; 0.5; 0.25]);
    on = pTs ~= 0;
    dpT = cell(1, 6);
    for k = 1:6, dpT{k} = smooth(mrg(SD{k}), Km1); end
    for r = 1:6
      for s = 1:6
        B = smooth(mrg(SD{r} .* SD{s}), Km2);
        H(r, s) = -sum(dpT{r}(on) .* dpT{s}(on) ./ pTs(on) + 2 * B(on));
      end
    end
  else
    on = P1 ~= 0;
    pI1 = repmat(sum(P1, 1), nT, 1);
    for r = 1:6
      for s = 1:6
        H(r, s) = sum(dP{r}(on) .* dP{s}(on) .* (1 ./ P1(on) - 1 ./ pI1(on)));
      end
    end
  end
  out{3} = H;

  if side == 'T'
    on = P1 ~= 0;
    for r = 1:6
      for s = 1:6
        H(r, s) = sum(dP{r}(on) .* dP{s}(on) ./ P1(on));
      end
    end
    out{4} = H;
  end

  for r = 1:6
    for s = 1:6
      A = smooth(jnt(SD{r} .* SD{s}), K2);
      C = smooth(jnt(JHJ{r, s}), K1);
      H(r, s) = sum((A(:) + C(:)) .* W2(:));
    end
  end
  out{end + 1} = H;
end

function v = warp(I, sz, p)
  % I sampled bilinearly on the template's warp grid, coordinates clamped into I.
  xs = (0:sz(1) - 1)' - fix((sz(1) - 1) / 2);
  ys = (0:sz(2) - 1) - fix((sz(2) - 1) / 2);
  X = repmat(xs, 1, sz(2)); Y = repmat(ys, sz(1), 1);
  xw = double(single((1 + p(1)) * X + p(3) * Y + p(5)));
  yw = double(single(p(2) * X + (1 + p(4)) * Y + p(6)));
  xw = min(max(xw, 0), size(I, 1) - 1);
  yw = min(max(yw, 0), size(I, 2) - 1);
  v = interp2(I, yw + 1, xw + 1, 'linear');
end

function [X, Y] = gridxy(sz)
  X = repmat((0:sz(1) - 1)' - fix(sz(1) / 2), 1, sz(2));
  Y = repmat((0:sz(2) - 1) - fix(sz(2) / 2), sz(1), 1);
end

function [gx, gy] = fgrad(v)
  gx = [diff(v, 1, 1); zeros(1, size(v, 2))];
  gy = [diff(v, 1, 2), zeros(size(v, 1), 1)];
end

function r = smooth(t, m)
  % out(x, y) = sum of m(i, j) t(x + fix(mw / 2) - i, y + fix(mh / 2) - j), zero outside t.
  f = conv2(t, m);
  cx = fix(size(m, 1) / 2); cy = fix(size(m, 2) / 2);
  r = f(cx + 1:cx + size(t, 1), cy + 1:cy + size(t, 2));
end

function c = place(K, sz, at)
  c = zeros(sz);
  c(at(1) + (1:size(K, 1)), at(2) + (1:size(K, 2))) = K;
end

function W = weights(P, pT, pI)
  W = zeros(size(P));
  on = P ~= 0;
  R = log(P ./ (pT * pI)) + 1;
  W(on) = R(on);
end

function e = ent(P)
  v = P(P > 0);
  e = -sum(v .* log(v));
end
